"""Buses, grounds, potential references and switches; pickling and subclassing of every class."""

import copy
import pickle

import numpy as np
import pytest
from support import NO_REDUCE

ELEMENT_MESSAGE = "self.element cannot be converted to a Python object for pickling"

# How to build an instance of each class present in the module, and its pickling message.
FACTORIES = {
    "CyElement": (lambda cy: cy.CyElement(), ELEMENT_MESSAGE),
    "CyBranch": (lambda cy: cy.CyBranch(), ELEMENT_MESSAGE),
    "CyLoad": (lambda cy: cy.CyLoad(), ELEMENT_MESSAGE),
    "CyBus": (lambda cy: cy.CyBus(2, np.zeros(2, complex)), NO_REDUCE),
    "CyGround": (lambda cy: cy.CyGround(), NO_REDUCE),
    "CyPotentialRef": (lambda cy: cy.CyPotentialRef(), NO_REDUCE),
    "CyDeltaPotentialRef": (lambda cy: cy.CyDeltaPotentialRef(3), NO_REDUCE),
    "CySwitch": (lambda cy: cy.CySwitch(2), NO_REDUCE),
    "CyOpenSwitch": (lambda cy: cy.CyOpenSwitch(2), NO_REDUCE),
}


def make_bus(cy, *potentials):
    return cy.CyBus(len(potentials), np.array(potentials, dtype=complex))


@pytest.mark.parametrize("name", FACTORIES)
@pytest.mark.parametrize("refuse", [pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__reduce__(),
                                    lambda o: o.__setstate__(None), lambda o: o.__reduce_ex__(2)])
def test_pickling_and_copying_are_refused(cy, name, refuse):
    make, message = FACTORIES[name]
    with pytest.raises(TypeError) as failure:
        refuse(make(cy))
    assert str(failure.value) == message


@pytest.mark.parametrize("name", FACTORIES)
def test_subclasses_are_built_like_their_class_and_inherit_the_refusal(cy, name):
    make, message = FACTORIES[name]
    base = type(make(cy))
    seen = []

    class Sub(base):
        def __init__(self, *args, **kwargs):
            seen.append((args, kwargs))

    instance = make(type("Namespace", (), {name: Sub})())
    assert isinstance(instance, base) and seen
    with pytest.raises(TypeError) as failure:
        pickle.dumps(instance)
    assert str(failure.value) == message
    instance.attribute = 1  # a Python subclass has a dictionary
    assert instance.attribute == 1


def test_a_subclass_may_define_its_own_reduce(cy):
    class Copyable(cy.CyGround):
        def __reduce__(self):
            return (Copyable, ())

    original = Copyable()
    duplicate = copy.copy(original)
    assert isinstance(duplicate, Copyable) and duplicate is not original


def test_subclass_finaliser_runs(cy):
    finalised = []

    class Finalised(cy.CySwitch):
        def __del__(self):
            finalised.append(True)

    Finalised(1)
    assert finalised == [True]


def test_failed_construction_of_a_subclass_runs_no_init(cy):
    seen = []

    class Sub(cy.CyBus):
        def __init__(self, *args):
            seen.append(args)

    with pytest.raises(ValueError):
        Sub(2, np.zeros(1, complex))
    with pytest.raises(RuntimeError, match="^vector$"):
        Sub(-1, None)
    assert seen == []


# ---------------------------------------------------------------- buses


def test_bus_starts_at_its_potentials(cy):
    bus = make_bus(cy, 230, -115 + 199.2j)
    assert list(bus.get_potentials(2)) == [230, -115 + 199.2j]
    longer = cy.CyBus(1, np.array([1, 2, 3], dtype=complex))
    assert list(longer.get_potentials(1)) == [1]
    assert cy.CyBus(0, None).get_potentials(0).shape == (0,)


@pytest.mark.parametrize(
    "n, values, message",
    [
        (3, np.zeros(2, complex), "potentials needs at least 3 values, got 2"),
        (1, None, "potentials needs at least 1 values, got 0"),
    ],
)
def test_bus_needs_a_potential_per_port(cy, n, values, message):
    with pytest.raises(ValueError) as failure:
        cy.CyBus(n, values)
    assert str(failure.value) == message


def test_initialize_potentials(cy):
    bus = make_bus(cy, 1, 2, 3)
    assert bus.initialize_potentials(np.array([4, 5, 6, 7], dtype=complex)) is None
    assert list(bus.get_potentials(3)) == [4, 5, 6]
    with pytest.raises(ValueError) as failure:
        bus.initialize_potentials(np.array([9, 9], dtype=complex))
    assert str(failure.value) == "potentials needs at least 3 values, got 2"
    assert list(bus.get_potentials(3)) == [4, 5, 6]
    with pytest.raises(ValueError):
        bus.initialize_potentials(None)
    assert cy.CyBus.initialize_potentials.__doc__ == (
        "CyBus.initialize_potentials(self, double complex[::1] potentials)"
    )


def test_initialize_potentials_on_shared_and_zero_nodes(cy):
    bus = make_bus(cy, 1, 2, 3)
    bus.connect_ports(np.array([0, 1], dtype=np.int32))
    ref = cy.CyPotentialRef()
    ref.connect(bus, [(0, 2)])
    bus.initialize_potentials(np.array([10, 20, 30], dtype=complex))
    assert list(bus.get_potentials(3)) == [20, 20, 0]


# ---------------------------------------------------------------- grounds and references


@pytest.mark.parametrize("make", [lambda cy: cy.CyGround(), lambda cy: cy.CyGround(1, 2, n=3)])
def test_ground_has_one_port_whatever_it_is_given(cy, make):
    ground = make(cy)
    assert list(ground.get_potentials(1)) == [0]
    with pytest.raises(ValueError, match="exceeds the 1 port of self"):
        ground.get_potentials(2)


def test_potential_reference_holds_its_node_at_zero(cy):
    ref = cy.CyPotentialRef("ignored", x=1)
    bus = make_bus(cy, 230, 5)
    bus.connect(ref, [(0, 0)])  # the bus's node absorbs the reference's and stays at zero
    assert list(bus.get_potentials(2)) == [0, 5]
    other = make_bus(cy, 7)
    other.connect(bus, [(0, 0)])
    assert list(other.get_potentials(1)) == [0]
    assert ref.get_current() == 0j and type(ref.get_current()) is complex


def test_delta_potential_reference(cy):
    ref = cy.CyDeltaPotentialRef(3)
    assert ref.get_current() == 0j
    assert list(ref.get_currents(3)) == [0, 0, 0]
    for n in (0, -1):
        with pytest.raises(RuntimeError, match="^vector$"):
            cy.CyDeltaPotentialRef(n)


@pytest.mark.parametrize("cls", ["CyPotentialRef", "CyDeltaPotentialRef"])
def test_reference_getters(cy, cls):
    ref = FACTORIES[cls][0](cy)
    assert getattr(cy, cls).get_current.__doc__ == f"{cls}.get_current(self)"
    with pytest.raises(TypeError) as failure:
        ref.get_current(1)
    assert str(failure.value) == "get_current() takes exactly 0 positional arguments (1 given)"


# ---------------------------------------------------------------- switches


@pytest.mark.parametrize("cls", ["CySwitch", "CyOpenSwitch"])
def test_switch_sides(cy, cls):
    switch = getattr(cy, cls)(3)
    assert [side.shape for side in switch.get_side_potentials(3, 3)] == [(3,), (3,)]
    assert switch.get_potentials(6).shape == (6,)
    empty = getattr(cy, cls)(0)
    assert [side.shape for side in empty.get_side_currents(0, 0)] == [(0,), (0,)]
    with pytest.raises(RuntimeError, match="^vector$"):
        getattr(cy, cls)(-1)
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        getattr(cy, cls)(2**31)


def test_switch_joins_two_buses_side_by_side(cy):
    switch = cy.CySwitch(2)
    upstream, downstream = make_bus(cy, 1, 2), make_bus(cy, 3, 4)
    switch.connect_side(upstream, [(0, 0), (1, 1)], True)
    switch.connect_side(downstream, [(0, 0), (1, 1)], False)
    first, second = switch.get_side_potentials(2, 2)
    assert list(first) == [1, 2] and list(second) == [3, 4]
    assert list(switch.get_potentials(4)) == [1, 2, 3, 4]
