"""The element wrapper bases: joining ports and reading potentials and currents."""

import numpy as np
import pytest


def make_bus(cy, *potentials):
    return cy.CyBus(len(potentials), np.array(potentials, dtype=complex))


def potentials(element, n):
    return list(element.get_potentials(n))


DOCSTRINGS = {
    ("CyElement", "connect"): "CyElement.connect(self, CyElement cy_element, connections)",
    ("CyElement", "connect_ports"): "CyElement.connect_ports(self, int[::1] ports)",
    ("CyElement", "disconnect"): "CyElement.disconnect(self)",
    ("CyElement", "get_potentials"): "CyElement.get_potentials(self, int n)",
    ("CyElement", "get_currents"): "CyElement.get_currents(self, int n)",
    ("CyElement", "get_port_potential"): "CyElement.get_port_potential(self, int index)",
    ("CyElement", "get_port_current"): "CyElement.get_port_current(self, int index)",
    ("CyBranch", "connect_side"): "CyBranch.connect_side(self, CyElement element, connections, bool beginning)",
    ("CyBranch", "get_side_potentials"): "CyBranch.get_side_potentials(self, int n1, int n2)",
    ("CyBranch", "get_side_currents"): "CyBranch.get_side_currents(self, int n1, int n2)",
    ("CyLoad", "get_inner_currents"): "CyLoad.get_inner_currents(self, int size)",
}


@pytest.mark.parametrize("cls, method", DOCSTRINGS)
def test_docstrings(cy, cls, method):
    assert getattr(getattr(cy, cls), method).__doc__ == DOCSTRINGS[cls, method]


# ---------------------------------------------------------------- connect


def test_connect_keeps_the_callers_node(cy):
    a, b = make_bus(cy, 230, 1), make_bus(cy, 2, 0)
    a.connect(b, [(0, 1)])
    assert potentials(a, 2) == [230, 1] and potentials(b, 2) == [2, 230]
    c, d = make_bus(cy, 230, 1), make_bus(cy, 2, 0)
    d.connect(c, [(1, 0)])
    assert potentials(c, 2) == [0, 1] and potentials(d, 2) == [2, 0]


def test_joins_accumulate_and_a_self_merge_does_nothing(cy):
    a, b, c = make_bus(cy, 1), make_bus(cy, 2), make_bus(cy, 3)
    a.connect(b, [(0, 0)])
    b.connect(c, [(0, 0)])  # b's node is now a's node, which absorbs c's
    a.connect(a, [(0, 0)])
    assert [potentials(x, 1) for x in (a, b, c)] == [[1], [1], [1]]


def test_connect_pairs_from_any_iterable(cy):
    a, b = make_bus(cy, 1, 2), make_bus(cy, 3, 4)
    a.connect(b, ([i, j] for i, j in [(0, 1), (1, 0)]))
    assert potentials(b, 2) == [2, 1]
    c, d = make_bus(cy, 5), make_bus(cy, 6)
    c.connect(d, [iter((np.int32(0), 0.5))])
    assert potentials(d, 1) == [5]


def test_connect_with_nothing_to_join_needs_no_element(cy):
    a = make_bus(cy, 1)
    a.connect(None, [])
    a.connect(cy.CyElement(), ())
    assert potentials(a, 1) == [1]


@pytest.mark.parametrize(
    "pairs, exception, message",
    [
        ([(0, 0), (0, 1, 2)], ValueError, "too many values to unpack (expected 2)"),
        ([(0, 0), (0,)], ValueError, "need more than 1 value to unpack"),
        ([(0, 0), ()], ValueError, "need more than 0 values to unpack"),
        ([(0, 0), iter([0])], ValueError, "need more than 1 value to unpack"),
        ([(0, 0), iter([0, 0, 0])], ValueError, "too many values to unpack (expected 2)"),
        ([(0, 0), 5], TypeError, "'int' object is not iterable"),
        ([(0, 0), ("0", 0)], TypeError, "an integer is required"),
        ([(0, 0), (0, 2**31)], OverflowError, "value too large to convert to int"),
        (None, TypeError, "'NoneType' object is not iterable"),
        ([(0, 0), (1, 0)], IndexError, "connect: index 1 out of range for self with 1 port"),
        ([(0, 0), (-1, 0)], IndexError, "connect: index -1 out of range for self with 1 port"),
        ([(0, 0), (0, 2)], IndexError, "connect: index 2 out of range for cy_element with 2 ports"),
    ],
)
def test_connect_refusals_join_nothing(cy, pairs, exception, message):
    a, b = make_bus(cy, 1), make_bus(cy, 2, 3)
    with pytest.raises(exception) as failure:
        a.connect(b, pairs)
    assert str(failure.value) == message
    assert potentials(a, 1) == [1] and potentials(b, 2) == [2, 3]
    b.connect(a, [(1, 0)])  # a's port still has a node of its own
    assert potentials(a, 1) == [3]


@pytest.mark.parametrize("other", [None, "abstract"])
def test_connect_refuses_an_element_without_engine_object(cy, other):
    a = make_bus(cy, 1)
    target = cy.CyElement() if other == "abstract" else None
    with pytest.raises(TypeError, match="^CyElement holds no engine object$"):
        a.connect(target, [(0, 0)])


# ---------------------------------------------------------------- connect_ports, disconnect


def test_connect_ports_joins_into_the_first_listed_port(cy):
    a = make_bus(cy, 1, 2, 3)
    a.connect_ports(np.array([2, 0, 1], dtype=np.int32))
    assert potentials(a, 3) == [3, 3, 3]
    for nothing in (np.array([1], dtype=np.int32), None, np.zeros(0, np.int32)):
        b = make_bus(cy, 1, 2)
        b.connect_ports(nothing)
        assert potentials(b, 2) == [1, 2]


@pytest.mark.parametrize(
    "ports, exception, message",
    [
        (np.array([0, 3], dtype=np.int32), IndexError, "connect_ports: index 3 out of range for self with 3 ports"),
        (np.array([-1, 0], dtype=np.int32), IndexError, "connect_ports: index -1 out of range for self with 3 ports"),
        (np.array([5], dtype=np.int32), IndexError, "connect_ports: index 5 out of range for self with 3 ports"),
        (np.array([0, 1]), ValueError, "Buffer dtype mismatch, expected 'int' but got 'long'"),
    ],
)
def test_connect_ports_refusals_join_nothing(cy, ports, exception, message):
    a = make_bus(cy, 1, 2, 3)
    with pytest.raises(exception) as failure:
        a.connect_ports(ports)
    assert str(failure.value) == message
    assert potentials(a, 3) == [1, 2, 3]


def test_disconnect_leaves_the_potential_but_later_merges_no_longer_carry_the_port(cy):
    a, b, c = make_bus(cy, 230), make_bus(cy, 0), make_bus(cy, 7)
    a.connect(b, [(0, 0)])
    b.disconnect()
    assert potentials(b, 1) == [230]
    c.connect(a, [(0, 0)])
    assert potentials(a, 1) == [7] and potentials(b, 1) == [230]


def test_a_disconnected_element_can_go_while_its_peers_stay(cy):
    a = make_bus(cy, 5)
    b = make_bus(cy, 0)
    a.connect(b, [(0, 0)])
    b.disconnect()
    del b
    c = make_bus(cy, 9)
    c.connect(a, [(0, 0)])
    assert potentials(a, 1) == [9]


def test_an_element_can_go_before_the_elements_joined_to_it(cy):
    a = make_bus(cy, 5)
    b = make_bus(cy, 0)
    a.connect(b, [(0, 0)])
    del b  # its port leaves the shared node
    c = make_bus(cy, 9)
    c.connect(a, [(0, 0)])
    assert potentials(a, 1) == [9]


# ---------------------------------------------------------------- readers


def test_readers(cy):
    a = make_bus(cy, 1, 2j)
    for read in (a.get_potentials, a.get_currents):
        for n in (0, 1, 2):
            result = read(n)
            assert result.dtype == np.complex128 and result.shape == (n,)
    assert list(a.get_currents(2)) == [0, 0]
    assert a.get_port_potential(1) == 2j and type(a.get_port_potential(1)) is complex
    assert a.get_port_current(0) == 0j and type(a.get_port_current(0)) is complex


@pytest.mark.parametrize("method", ["get_potentials", "get_currents"])
def test_reader_counts(cy, method):
    a = make_bus(cy, 1, 2)
    with pytest.raises(ValueError) as failure:
        getattr(a, method)(3)
    assert str(failure.value) == f"{method}: n = 3 exceeds the 2 ports of self"
    with pytest.raises(ValueError, match="negative dimensions"):
        getattr(a, method)(-1)


@pytest.mark.parametrize("method", ["get_port_potential", "get_port_current"])
@pytest.mark.parametrize("index", [2, -1, 2**31 - 1])
def test_reader_indices(cy, method, index):
    a = make_bus(cy, 1, 2)
    with pytest.raises(IndexError) as failure:
        getattr(a, method)(index)
    assert str(failure.value) == f"{method}: index {index} out of range for self with 2 ports"


# ---------------------------------------------------------------- branches


@pytest.mark.parametrize("beginning, side_index", [(True, 0), (False, 1)])
def test_connect_side_keeps_the_other_elements_node(cy, beginning, side_index):
    switch = cy.CySwitch(2)
    bus = make_bus(cy, 230, 5)
    switch.connect_side(bus, [(0, 0)], beginning)
    sides = switch.get_side_potentials(2, 2)
    assert list(sides[side_index]) == [230, 0] and list(sides[1 - side_index]) == [0, 0]
    assert potentials(bus, 2) == [230, 5]


def test_side_readers(cy):
    switch = cy.CySwitch(2)
    for read in (switch.get_side_potentials, switch.get_side_currents):
        first, second = read(0, 0)
        assert first.dtype == second.dtype == np.complex128 and first.shape == second.shape == (0,)
        first, second = read(2, 1)
        assert first.shape == (2,) and second.shape == (1,)


@pytest.mark.parametrize("method", ["get_side_potentials", "get_side_currents"])
def test_side_reader_counts(cy, method):
    switch = cy.CySwitch(1)
    with pytest.raises(ValueError) as failure:
        getattr(switch, method)(2, 0)
    assert str(failure.value) == f"{method}: n1 = 2 exceeds the 1 port of side1"
    with pytest.raises(ValueError) as failure:
        getattr(switch, method)(1, 2)
    assert str(failure.value) == f"{method}: n2 = 2 exceeds the 1 port of side2"
    with pytest.raises(ValueError, match="negative dimensions"):
        getattr(switch, method)(0, -1)


@pytest.mark.parametrize(
    "pairs, beginning, message",
    [
        ([(0, 0), (1, 0)], True, "connect_side: index 1 out of range for side1 with 1 port"),
        ([(0, 0), (1, 0)], False, "connect_side: index 1 out of range for side2 with 1 port"),
        ([(0, 0), (0, 1)], True, "connect_side: index 1 out of range for element with 1 port"),
    ],
)
def test_connect_side_refusals_join_nothing(cy, pairs, beginning, message):
    switch = cy.CySwitch(1)
    bus = make_bus(cy, 230)
    with pytest.raises(IndexError) as failure:
        switch.connect_side(bus, pairs, beginning)
    assert str(failure.value) == message
    assert [list(side) for side in switch.get_side_potentials(1, 1)] == [[0], [0]]


def test_connect_side_needs_an_element_only_with_pairs(cy):
    switch = cy.CySwitch(1)
    switch.connect_side(None, [], True)
    with pytest.raises(TypeError, match="^CyElement holds no engine object$"):
        switch.connect_side(None, [(0, 0)], True)
    with pytest.raises(TypeError, match="^CyBranch holds no engine object$"):
        switch.connect_side(cy.CyBranch(), [(0, 0)], False)


# ---------------------------------------------------------------- abstract wrappers

BARE_CALLS = [
    ("CyElement", lambda e: e.get_potentials(0)),
    ("CyElement", lambda e: e.get_currents(0)),
    ("CyElement", lambda e: e.get_port_potential(0)),
    ("CyElement", lambda e: e.get_port_current(0)),
    ("CyElement", lambda e: e.connect(None, [])),
    ("CyElement", lambda e: e.connect_ports(None)),
    ("CyElement", lambda e: e.disconnect()),
    ("CyBranch", lambda e: e.get_side_potentials(0, 0)),
    ("CyBranch", lambda e: e.get_side_currents(0, 0)),
    ("CyBranch", lambda e: e.connect_side(None, [], True)),
    ("CyLoad", lambda e: e.get_inner_currents(0)),
]


@pytest.mark.parametrize("cls, call", BARE_CALLS)
def test_abstract_wrappers_hold_no_engine_object(cy, cls, call):
    base = getattr(cy, cls)
    subclass = type("Mine", (base,), {})
    for wrapper, name in ((base(1, 2, x=3), cls), (subclass(), "Mine")):
        with pytest.raises(TypeError) as failure:
            call(wrapper)
        assert str(failure.value) == f"{name} holds no engine object"


def test_argument_errors_come_before_the_engine_check(cy):
    with pytest.raises(TypeError, match="takes exactly 1 positional argument"):
        cy.CyElement().get_potentials()


def test_a_method_on_an_engine_object_of_another_kind_is_refused(cy):
    class Both(cy.CyBus, cy.CySwitch):  # the bus constructor comes first: it holds a Bus
        pass

    both = Both(1, np.zeros(1, complex))
    assert potentials(both, 1) == [0]
    with pytest.raises(TypeError, match="^Both holds an engine object of another kind$"):
        both.get_side_potentials(0, 0)
