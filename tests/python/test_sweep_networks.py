"""Networks built as users build them, solved by the backward-forward sweep: each gives the load flow
that Newton-Goldstein finds, or a refusal that says what is wrong, never a converged pair over
potentials and currents that are no solution."""

import random

import numpy as np
import pytest
from support import PHASES, carray

Z = carray([[0.1 + 0.05j, 0.02j], [0.02j, 0.1 + 0.05j]])  # two coupled conductors
Y = carray([[1e-3j, 0], [0, 1e-3j]])
THREE = [(k, k) for k in range(3)]
FOUR = [(k, k) for k in range(4)]
TWO = [(0, 0), (1, 1)]


def network(cy, elements):
    items = np.empty(len(elements), dtype=object)
    items[:] = elements
    return cy.CyElectricalNetwork(items, len(elements))


class Build:
    """A list of elements under construction, with the joins users write."""

    def __init__(self, cy):
        self.cy, self.elements = cy, []

    def add(self, element):
        self.elements.append(element)
        return element

    def source(self, earthed=True):
        source = self.add(self.cy.CyVoltageSource(2, carray([230])))
        if earthed:
            source.connect(self.add(self.cy.CyPotentialRef()), [(1, 0)])
        return self.bus(source)

    def bus(self, at=None, start=(230, 0)):
        bus = self.add(self.cy.CyBus(2, carray(start)))
        if at is not None:
            bus.connect(at, TWO)
        return bus

    def line(self, near, far=None, cls="CySimplifiedLine", args=(Z,)):
        """A two-conductor line from near (side 1) to far, a new bus unless given: (line, far)."""
        line = self.add(getattr(self.cy, cls)(2, *args))
        line.connect_side(near, TWO, True)
        far = far or self.bus()
        line.connect_side(far, TWO, False)
        return line, far

    def load(self, bus, power=3000 + 600j):
        load = self.add(self.cy.CyPowerLoad(2, carray([power])))
        bus.connect(load, TWO)
        return load


# ---------------------------------------------------------------- the networks


def radial(cy):
    """Two lines and two loads from the source outwards; the far bus is read."""
    b = Build(cy)
    _, mid = b.line(b.source())
    b.load(mid)
    _, far = b.line(mid)
    b.load(far)
    return b.elements, far


def open_switch_island(cy):
    b = Build(cy)
    near = b.source()
    switch = b.add(cy.CyOpenSwitch(2))
    switch.connect_side(near, TWO, True)
    island = b.bus()
    switch.connect_side(island, TWO, False)
    b.load(island, 5000)
    return b.elements, island


def three_phase(cy, powers, wires=3):
    """A three-phase source (neutral held at zero), a line of `wires` conductors and a four-port star
    load whose neutral meets the line's fourth conductor only if there is one."""
    source = cy.CyVoltageSource(4, carray(PHASES))
    ref = cy.CyPotentialRef()
    source.connect(ref, [(3, 0)])
    near = cy.CyBus(4, carray([*PHASES, 0]))
    near.connect(source, FOUR)
    pairs = FOUR[:wires]
    line = cy.CySimplifiedLine(wires, (np.eye(wires) * (0.1 + 0.05j)).ravel())
    far = cy.CyBus(4, carray([*PHASES, 0]))
    line.connect_side(near, pairs, True)
    line.connect_side(far, pairs, False)
    load = cy.CyPowerLoad(4, carray(powers))
    far.connect(load, FOUR)
    return [source, ref, near, line, far, load], far


def floating_star_point(cy):
    return three_phase(cy, [2000, 2100, 2200])


def balanced_floating_star_point(cy):
    return three_phase(cy, [2000, 2000, 2000])


def shunt_line(cy, ground):
    b = Build(cy)
    source_bus = b.source()
    line, far = b.line(source_bus, cls="CyShuntLine", args=(Y, Z))
    b.load(far)
    if ground == "earthed":
        earth = b.add(cy.CyGround())
        earth.connect(b.add(cy.CyPotentialRef()), [(0, 0)])
        earth.connect(line, [(0, 4)])
    elif ground == "a ground element only":
        b.add(cy.CyGround()).connect(line, [(0, 4)])
    elif ground == "the far neutral":
        far.connect(line, [(1, 4)])
    return b.elements, far


def delta_source(cy, held):
    """A 400 V delta source on a three-wire line to a delta load; its nodes are held either by a
    delta potential reference or by a potential reference at one port."""
    source = cy.CyDeltaVoltageSource(3, carray([400, 400 * PHASES[1] / 230]))
    near = cy.CyBus(3, carray(PHASES))
    near.connect(source, THREE)
    elements = [source, near]
    if held == "delta reference":
        reference = cy.CyDeltaPotentialRef(3)
        near.connect(reference, THREE)
    else:
        reference = cy.CyPotentialRef()
        near.connect(reference, [(held, 0)])
    elements.append(reference)
    line = cy.CySimplifiedLine(3, (np.eye(3) * (0.1 + 0.05j)).ravel())
    far = cy.CyBus(3, carray(PHASES))
    line.connect_side(near, THREE, True)
    line.connect_side(far, THREE, False)
    load = cy.CyDeltaPowerLoad(3, carray([3000, 2000, 1000 + 500j]))
    far.connect(load, THREE)
    return [*elements, line, far, load], far


def shunt_ground_on_a_shifted_node(cy):
    """A delta source whose level a delta reference sets, a shunt line with its ground on port 0: a
    node the reference moves, which the sweep would take at zero."""
    source, level = cy.CyDeltaVoltageSource(2, carray([-400])), cy.CyDeltaPotentialRef(2)
    bus = cy.CyBus(2, carray([-200, 200]))
    bus.connect(source, TWO)
    bus.connect(level, TWO)
    line = cy.CyShuntLine(1, carray([2e-3j]), carray([0.5]))
    line.connect_side(bus, [(0, 1)], True)
    bus.connect(line, [(0, 2)])
    return [source, level, bus, line], bus


def unearthed_source(cy):
    b = Build(cy)
    _, far = b.line(b.source(earthed=False))
    b.load(far)
    return b.elements, far


def ring(cy):
    b = Build(cy)
    first = b.source()
    _, second = b.line(first)
    _, third = b.line(second)
    b.line(third, first)
    b.load(second)
    b.load(third)
    return b.elements, third


def second_source(cy):
    b = Build(cy)
    _, far = b.line(b.source())
    b.load(far)
    far.connect(b.add(cy.CyVoltageSource(2, carray([231]))), TWO)
    return b.elements, far


def turned_line(cy):
    b = Build(cy)
    near = b.source()
    far = b.bus()
    b.line(far, near)  # side 1 at the far bus
    b.load(far)
    return b.elements, far


def neutral_earthed_at_both_ends(cy):
    b = Build(cy)
    _, far = b.line(b.source())
    far.connect(b.add(cy.CyPotentialRef()), [(1, 0)])
    b.load(far)
    return b.elements, far


def transformer_and_regulator(cy):
    b = Build(cy)
    source = b.add(cy.CyVoltageSource(2, carray([11e3])))
    source.connect(b.add(cy.CyPotentialRef()), [(1, 0)])
    k = 230 / 11e3
    transformer = b.add(cy.CySingleTransformer(0.02 + 0.05j, 1e-7 - 6e-7j, k))
    transformer.connect_side(source, TWO, True)
    low = b.bus(start=(230, 0))
    transformer.connect_side(low, TWO, False)
    low.connect(b.add(cy.CyPotentialRef()), [(1, 0)])
    _, far = b.line(low)
    regulator = b.add(cy.CySingleVoltageRegulator(0.01 + 0.03j, 1e-5 - 1e-4j, 230, 0.1, 1000, 0))
    regulator.connect_side(far, TWO, True)
    regulated = b.bus()
    regulator.connect_side(regulated, TWO, False)
    b.load(regulated, 8000 + 2000j)
    return b.elements, regulated


def loads_on_the_source_bus(cy):
    """Loads of each kind right on the source's bus, which starts 10 V off the source's voltage: only
    the source moves their node."""
    b = Build(cy)
    source = b.add(cy.CyVoltageSource(2, carray([230])))
    source.connect(b.add(cy.CyPotentialRef()), [(1, 0)])
    bus = b.bus(source, start=(220, 0))
    b.load(bus)
    bus.connect(b.add(cy.CyCurrentLoad(2, carray([4 + 1j]))), TWO)
    bus.connect(b.add(cy.CyAdmittanceLoad(2, carray([0.02 - 0.01j]))), TWO)
    return b.elements, bus


def delta_source_through_a_switch(cy):
    """A delta source earthed at port 0, a closed switch and a delta admittance load, the buses started
    at 0.9 pu."""
    source = cy.CyDeltaVoltageSource(3, carray([400, 400 * PHASES[1] / 230]))
    reference = cy.CyPotentialRef()
    start = carray(0.9 * (PHASES - PHASES[0]))
    near, far = cy.CyBus(3, start), cy.CyBus(3, start)
    near.connect(source, THREE)
    near.connect(reference, [(0, 0)])
    switch = cy.CySwitch(3)
    switch.connect_side(near, THREE, True)
    switch.connect_side(far, THREE, False)
    load = cy.CyDeltaAdmittanceLoad(3, carray([0.02, 0.01 + 0.005j, 0.015]))
    far.connect(load, THREE)
    return [source, reference, near, switch, far, load], far


def disconnected_before_the_build(cy, what):
    """The radial feeder with its far load, or the line to it, disconnected before the network is
    built and listed all the same."""
    elements, far = radial(cy)
    elements[-1 if what == "load" else -3].disconnect()
    return elements, far


# Each with what must agree: the potentials, or only the voltages against the last port where
# nothing fixes the network's potential level.
SOLVED = {
    "radial feeder": (radial, "potentials"),
    "balanced star point on a three-wire line": (balanced_floating_star_point, "potentials"),
    "earthed shunt line": (lambda cy: shunt_line(cy, "earthed"), "potentials"),
    "delta source held by a delta reference": (lambda cy: delta_source(cy, "delta reference"), "potentials"),
    "delta source held at port 0": (lambda cy: delta_source(cy, 0), "potentials"),
    "source with an unearthed neutral": (unearthed_source, "voltages"),
    "transformer and regulator": (transformer_and_regulator, "potentials"),
    "loads right on the source's bus": (loads_on_the_source_bus, "potentials"),
    "delta source through a closed switch": (delta_source_through_a_switch, "potentials"),
    "a load disconnected before the build": (lambda cy: disconnected_before_the_build(cy, "load"), "potentials"),
}

REFUSED = {
    "island behind an open switch": (open_switch_island, r"do not balance at the node of port 2 of the open switch "
                                                         r"at position 3: 21\.7 A reach no source"),
    "star point on a three-wire line": (floating_star_point, "do not balance at the node of port 3 of the bus "
                                                             "at position 4: 0.759 A"),
    "shunt line's ground port joined to nothing": (lambda cy: shunt_line(cy, "nothing"),
                                                   "do not balance at the node of port 4 of the shunt line"),
    "shunt line's ground joined to a ground only": (lambda cy: shunt_line(cy, "a ground element only"),
                                                    "do not balance at the node of port 4 of the shunt line"),
    "shunt line's ground on the far neutral": (lambda cy: shunt_line(cy, "the far neutral"),
                                               "ground port of the shunt line at position 3 is joined to the node "
                                               "whose potential port 3 of the shunt line at position 3 imposes"),
    "delta source held at port 2": (lambda cy: delta_source(cy, 2),
                                    "delta voltage source at position 0 cannot impose its voltages: a potential "
                                    "reference holds its port 2 at zero"),
    "ring": (ring, "imposed twice, by port 0 of the voltage source at position 0 and by port 2 of the line at "
                   "position 7: a mesh"),
    "second source": (second_source, "imposed twice"),
    "line turned round": (turned_line, "imposed twice, by port 0 of the voltage source at position 0 and by port 2 "
                                       "of the line at position 4"),
    "neutral earthed at both ends": (neutral_earthed_at_both_ends, "holds at zero the node whose potential port 3 "
                                                                   "of the line at position 3 imposes"),
    "shunt line's ground on a node a delta reference shifts": (
        shunt_ground_on_a_shifted_node, "ground port of the shunt line at position 3 is joined to the node whose "
                                        "potential port 0 of the delta potential reference at position 1 shifts"),
    "the line to a load disconnected before the build": (
        lambda cy: disconnected_before_the_build(cy, "line"),
        r"do not balance at the node of port 0 of the bus at position 7: 13\.3 A reach no source"),
}


def every_port(element, read):
    """read(element, n) over all the ports of an element of up to eight."""
    for n in range(8, 0, -1):
        try:
            return read(element, n)
        except ValueError:
            continue
    raise AssertionError("no ports")


def potentials(element):
    return every_port(element, lambda e, n: e.get_potentials(n))


def currents(elements):
    return np.concatenate([every_port(e, lambda e, n: e.get_currents(n)) for e in elements])


@pytest.mark.parametrize("name", SOLVED)
def test_what_the_sweep_solves_is_the_load_flow(cy, name):
    build, compared = SOLVED[name]

    def read(bus):
        v = potentials(bus)
        return v if compared == "potentials" else v - v[-1]

    elements, probe = build(cy)
    done, error = cy.CyBackwardForward(network(cy, elements)).solve_load_flow(500, 1e-11)
    assert done < 500 and error <= 1e-11
    swept, swept_currents = read(probe), currents(elements)
    elements, probe = build(cy)
    solver = cy.CyNewtonGoldstein(network(cy, elements), True, 0.1, 0.9, True)
    done, error = solver.solve_load_flow(50, 1e-10)
    assert done < 50 and error <= 1e-10
    np.testing.assert_allclose(swept, read(probe), atol=1e-6)
    np.testing.assert_allclose(swept_currents, currents(elements), atol=1e-6)


@pytest.mark.parametrize("name", REFUSED)
def test_what_the_sweep_cannot_solve_is_refused(cy, name):
    build, message = REFUSED[name]
    elements, probe = build(cy)
    solver = cy.CyBackwardForward(network(cy, elements))
    with pytest.raises(RuntimeError, match=message) as failure:
        solver.solve_load_flow(500, 1e-9)
    assert str(failure.value).startswith("2 ") and "Newton-Goldstein" in str(failure.value)
    # Refused again, whatever the settings: never a converged pair.
    for iterations, tolerance in ((1, 1e3), (20, 1e-9)):
        with pytest.raises(RuntimeError, match=message):
            solver.solve_load_flow(iterations, tolerance)


def test_elements_in_any_order_give_the_source_to_leaves_solution(cy):
    elements, probe = radial(cy)
    expected = cy.CyBackwardForward(network(cy, elements)).solve_load_flow(100, 1e-9)
    solution = probe.get_potentials(2)
    rng = random.Random(5)
    for _ in range(200):
        elements, probe = radial(cy)
        rng.shuffle(elements)
        assert cy.CyBackwardForward(network(cy, elements)).solve_load_flow(100, 1e-9) == expected
        np.testing.assert_array_equal(probe.get_potentials(2), solution)


def test_the_iteration_limit_is_still_no_failure(cy):
    elements, _ = radial(cy)
    done, error = cy.CyBackwardForward(network(cy, elements)).solve_load_flow(2, 1e-12)
    assert done == 2 and error > 1e-12


# ---------------------------------------------------------------- in place, in any listing

SERIES_LOADS = {
    "constant power": lambda cy: cy.CyPowerLoad(2, carray([2300 + 400j])),
    "constant current": lambda cy: cy.CyCurrentLoad(2, carray([10 + 2j])),
    "constant admittance": lambda cy: cy.CyAdmittanceLoad(2, carray([0.04 - 0.01j])),
}


@pytest.mark.parametrize("load_kind", SERIES_LOADS)
def test_source_voltages_in_a_time_series_give_a_new_solvers_load_flow(cy, load_kind):
    """A load right on a star source's bus, a second behind a closed switch: only the source moves
    their nodes. Its voltage is updated in place step after step; each step equals a newly built
    sweep's solve and Newton-Goldstein's."""

    def feeder():
        b = Build(cy)
        bus = b.source()
        bus.connect(b.add(SERIES_LOADS[load_kind](cy)), TWO)
        switch = b.add(cy.CySwitch(2))
        switch.connect_side(bus, TWO, True)
        beyond = b.bus()
        switch.connect_side(beyond, TWO, False)
        beyond.connect(b.add(SERIES_LOADS[load_kind](cy)), TWO)
        return b.elements

    elements = feeder()
    sweep = cy.CyBackwardForward(network(cy, elements))
    for u in (230, 207, 253, 253, 230 + 5j):
        elements[0].update_voltages(carray([u]))
        done, error = sweep.solve_load_flow(100, 1e-10)
        assert done < 100 and error <= 1e-10
        for make in (cy.CyBackwardForward, lambda n: cy.CyNewtonGoldstein(n, True, 0.1, 0.9, True)):
            fresh = feeder()
            fresh[0].update_voltages(carray([u]))
            solver = make(network(cy, fresh))
            assert solver.solve_load_flow(100, 1e-10)[1] <= 1e-10
            np.testing.assert_allclose(currents(elements), currents(fresh), atol=1e-8, err_msg=f"{u} V")


def neutral_switch(cy):
    """A line feeds the phase; a closed one-pole switch joins the source's earthed neutral to the load
    bus's earthed neutral: a switch between two nodes held at zero, whose current the load's sets."""
    b = Build(cy)
    source = b.add(cy.CyVoltageSource(2, carray([230])))
    source.connect(b.add(cy.CyPotentialRef()), [(1, 0)])
    line = b.add(cy.CySimplifiedLine(1, carray([0.3 + 0.1j])))
    line.connect_side(source, [(0, 0)], True)
    far = b.bus()
    line.connect_side(far, [(0, 0)], False)
    far.connect(b.add(cy.CyPotentialRef()), [(1, 0)])
    switch = b.add(cy.CySwitch(1))
    switch.connect_side(source, [(0, 1)], True)
    switch.connect_side(far, [(0, 1)], False)
    b.load(far, 5000 + 1000j)
    return b.elements, far


@pytest.mark.parametrize("build", [lambda cy: delta_source(cy, "delta reference"), neutral_switch],
                         ids=["a delta reference", "a switch between two nodes held at zero"])
def test_any_listing_gives_the_same_bits(cy, build):
    elements, far = build(cy)
    expected = cy.CyBackwardForward(network(cy, elements)).solve_load_flow(100, 1e-12)
    solution = potentials(far).tobytes(), currents(elements).tobytes()
    n = len(elements)
    rng = random.Random(3)
    for listing in [list(range(n))[::-1], *(rng.sample(range(n), n) for _ in range(30))]:
        elements, far = build(cy)
        ordered = [elements[k] for k in listing]
        assert cy.CyBackwardForward(network(cy, ordered)).solve_load_flow(100, 1e-12) == expected, listing
        assert (potentials(far).tobytes(), currents(elements).tobytes()) == solution, listing


def test_an_infinite_current_left_in_the_result_is_refused(cy):
    """A star load whose star point nothing holds, a phase on the node a reference holds at zero: the
    star point stays at 0 V, so that phase sees no voltage and draws an infinite current."""
    source = cy.CyDeltaVoltageSource(3, carray([400, 400 * PHASES[1] / 230]))
    earth = cy.CyPotentialRef()
    source.connect(earth, [(0, 0)])
    bus = cy.CyBus(3, carray([0, -400, -400 - 400 * PHASES[1] / 230]))
    bus.connect(source, THREE)
    load = cy.CyPowerLoad(4, carray([1000 + 300j] * 3))
    bus.connect(load, THREE)
    solver = cy.CyBackwardForward(network(cy, [source, earth, bus, load]))
    for iterations, tolerance in ((100, 1e-9), (1, 1e3)):
        with pytest.raises(RuntimeError, match=r"^2 NaN value encountered at iteration \d+\. $"):
            solver.solve_load_flow(iterations, tolerance)
