"""The network wrapper: which elements it takes, what it refuses, and the references it keeps."""

import gc
import pickle
import sys
import weakref

import numpy as np
import pytest

MODULE = "load_flow_engine.cy_engine"


def objects(*items):
    array = np.empty(len(items), dtype=object)
    array[:] = items
    return array


def bus(cy, *potentials):
    return cy.CyBus(len(potentials), np.array(potentials, dtype=complex))


def variables(cy, network):
    return list(cy.CyBackwardForward(network).get_variables())


def test_only_the_first_nb_elements_are_read(cy):
    first, second = bus(cy, 1 + 2j, 3 + 4j), bus(cy, 5j)
    items = objects(first, second, "not an element")
    assert variables(cy, cy.CyElectricalNetwork(items, 1)) == [1, 2, 3, 4]
    assert variables(cy, cy.CyElectricalNetwork(items, 2)) == [1, 2, 3, 4, 0, 5]
    for empty in (cy.CyElectricalNetwork(items[2:], 0), cy.CyElectricalNetwork(None, 0)):
        assert variables(cy, empty) == []
    keyword = cy.CyElectricalNetwork(nb_elements=1, elements=items)
    assert variables(cy, keyword) == [1, 2, 3, 4]


def test_nodes_are_numbered_once_in_first_seen_order(cy):
    first, second = bus(cy, 1, 2), bus(cy, 3, 4)
    second.connect(first, [(0, 1)])  # second's node 0 absorbs first's node 1 and keeps 3
    ref = cy.CyPotentialRef()
    ref.connect(second, [(0, 1)])  # held at zero: no variables
    network = cy.CyElectricalNetwork(objects(first, second, ref), 3)
    assert variables(cy, network) == [1, 0, 3, 0]


REFUSALS = [
    # (items, nb_elements, exception, message)
    (lambda cy, b: objects(b), -1, RuntimeError, "vector"),
    (lambda cy, b: None, -1, RuntimeError, "vector"),
    (lambda cy, b: None, 1, ValueError, "elements needs at least 1 values, got 0"),
    (lambda cy, b: objects(b), 2, ValueError, "elements needs at least 2 values, got 1"),
    (lambda cy, b: objects(b, 3), 2, TypeError,
     f"elements[1] has incorrect type (expected {MODULE}.CyElement, got int)"),
    (lambda cy, b: objects(None), 1, TypeError,
     f"elements[0] has incorrect type (expected {MODULE}.CyElement, got NoneType)"),
    (lambda cy, b: objects(b, cy.CyElectricalNetwork(None, 0)), 2, TypeError,
     f"elements[1] has incorrect type (expected {MODULE}.CyElement, got {MODULE}.CyElectricalNetwork)"),
    (lambda cy, b: objects(b, cy.CyElement()), 2, TypeError, "elements[1]: CyElement holds no engine object"),
    (lambda cy, b: objects(cy.CyLoad(), b), 2, TypeError, "elements[0]: CyLoad holds no engine object"),
    (lambda cy, b: objects(type("Mine", (cy.CyBranch,), {})()), 1, TypeError,
     "elements[0]: Mine holds no engine object"),
    (lambda cy, b: objects(b, bus(cy, 1), b), 3, ValueError, "elements[2] is elements[0] again"),
    (lambda cy, b: np.zeros(2), 1, ValueError, "Buffer dtype mismatch, expected 'Python object' but got 'double'"),
    (lambda cy, b: objects(b, b).reshape(1, 2), 1, ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (lambda cy, b: [b], 1, TypeError, "a bytes-like object is required, not 'list'"),
]


@pytest.mark.parametrize("items, nb_elements, exception, message", REFUSALS)
def test_refusals_build_nothing_and_keep_nothing(cy, items, nb_elements, exception, message):
    element = bus(cy, 1)
    given = items(cy, element)
    before = sys.getrefcount(element)
    with pytest.raises(exception) as failure:
        cy.CyElectricalNetwork(given, nb_elements)
    assert str(failure.value) == message
    del failure
    assert sys.getrefcount(element) == before


def test_an_element_may_be_in_several_networks(cy):
    shared = bus(cy, 7)
    one = cy.CyElectricalNetwork(objects(shared), 1)
    two = cy.CyElectricalNetwork(objects(bus(cy, 1), shared), 2)
    assert variables(cy, one) == [7, 0] and variables(cy, two) == [1, 0, 7, 0]


def test_argument_rules_and_pickling(cy):
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes exactly 2 positional arguments \(1 given\)$"):
        cy.CyElectricalNetwork(None)
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        cy.CyElectricalNetwork(None, 2**31)
    network = cy.CyElectricalNetwork(None, 0)
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(network)
    assert cy.CyElectricalNetwork.__doc__ is None


def test_a_subclass_is_built_and_accepted_by_the_solvers(cy):
    seen = []

    class Network(cy.CyElectricalNetwork):
        def __init__(self, elements, nb_elements):
            seen.append(nb_elements)

    network = Network(objects(bus(cy, 2j)), 1)
    assert seen == [1] and variables(cy, network) == [0, 2]


# ---------------------------------------------------------------- references


def tracked_bus(cy, value):
    """A bus of a Python subclass, which takes weak references and attributes."""
    return type("TrackedBus", (cy.CyBus,), {})(1, np.array([value], dtype=complex))


def test_the_network_keeps_its_element_wrappers_alive(cy):
    elements = [tracked_bus(cy, k) for k in range(3)]
    watched = [weakref.ref(e) for e in elements]
    network = cy.CyElectricalNetwork(objects(*elements), 2)
    referents = gc.get_referents(network)
    assert elements[0] in referents and elements[1] in referents and elements[2] not in referents
    del elements, referents
    gc.collect()
    assert [w() is None for w in watched] == [False, False, True]
    assert variables(cy, network) == [0, 0, 1, 0]
    del network
    gc.collect()
    assert all(w() is None for w in watched)


@pytest.mark.parametrize("with_solver", [False, True])
def test_cycles_through_the_wrappers_are_collected(cy, with_solver):
    element = tracked_bus(cy, 3)
    network_class = type("TrackedNetwork", (cy.CyElectricalNetwork,), {})
    network = network_class(objects(element), 1)
    element.network = network  # element -> network -> element
    network.itself = network
    watched = [weakref.ref(element), weakref.ref(network)]
    if with_solver:
        solver = type("TrackedSolver", (cy.CyBackwardForward,), {})(network)
        element.solver = solver  # element -> solver -> network -> element
        solver.itself = solver
        watched.append(weakref.ref(solver))
        del solver
    del element, network
    gc.collect()
    assert all(w() is None for w in watched)
