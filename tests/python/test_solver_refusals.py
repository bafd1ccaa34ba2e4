"""What the Newton family refuses and what it must keep solving: potentials that run away where no
source feeds constant-power loads, non-finite results, and networks whose topology changed after
they were built (refused by every solver), beside the true solutions that resemble them."""

import cmath
import math

import numpy as np
import pytest
from support import PHASES, carray

A = cmath.exp(-2j * math.pi / 3)
ROTATION = np.array([1, A, A * A])
RUN_AWAY = r"^1 The potential of the node of port {} of the {} at position {} ran away to "
TOLERANCES = (1e-4, 1e-6, 1e-9, 1e-12)
NEWTON_FAMILY = {
    "newton": lambda cy, network: cy.CyNewton(network, True),
    "goldstein": lambda cy, network: cy.CyNewtonGoldstein(network, True, 0.1, 0.9, True),
}
SOLVERS = {**NEWTON_FAMILY, "sweep": lambda cy, network: cy.CyBackwardForward(network)}


def network(cy, elements):
    items = np.empty(len(elements), dtype=object)
    items[:] = elements
    return cy.CyElectricalNetwork(items, len(elements))


def potentials(element):
    """Every potential of an element of up to eight ports."""
    for n in range(8, 0, -1):
        try:
            return element.get_potentials(n)
        except ValueError:
            continue
    raise AssertionError("no potentials")


def pairs(n):
    return [(k, k) for k in range(n)]


def earthed_source(cy, phases=PHASES, start=None):
    """A star source, its neutral held at zero, on a bus of its ports: (elements, bus)."""
    n = len(phases) + 1
    source, earth = cy.CyVoltageSource(n, carray(phases)), cy.CyPotentialRef()
    source.connect(earth, [(n - 1, 0)])
    bus = cy.CyBus(n, carray([*(phases if start is None else start), 0]))
    bus.connect(source, pairs(n))
    return [source, earth, bus], bus


def two_wire_line(cy, near, z, start=(230, 0)):
    """A line of z per conductor from near to a new two-port bus: (line, far bus)."""
    line = cy.CySimplifiedLine(2, carray([z, 0, 0, z]))
    line.connect_side(near, pairs(2), True)
    far = cy.CyBus(2, carray(start))
    line.connect_side(far, pairs(2), False)
    return line, far


def star_point_feeder(cy, length=200.0, powers=(2000, 2100, 2200), earthed=False):
    """Three wires of `length` m to a four-port star load whose star point only the load holds
    (or, earthed, a potential reference too): (elements, far bus)."""
    elements, near = earthed_source(cy)
    z = length / 1000 * (np.eye(3) * (0.206 + 0.09j) + (1 - np.eye(3)) * 0.035j)
    line = cy.CySimplifiedLine(3, carray(z))
    line.connect_side(near, pairs(3), True)
    far = cy.CyBus(4, carray([*PHASES, 0]))
    line.connect_side(far, pairs(3), False)
    load = cy.CyPowerLoad(4, carray(powers))
    far.connect(load, pairs(4))
    elements += [line, far, load]
    if earthed:
        earth = cy.CyPotentialRef()
        far.connect(earth, [(3, 0)])
        elements.append(earth)
    return elements, far


def mv_island(cy, power):
    """A 20 kV source and, behind an open four-pole switch, an island with its own earth and a star
    load of `power` VA per phase: (elements, island bus)."""
    phases = 20e3 / math.sqrt(3) * ROTATION
    elements, near = earthed_source(cy, phases)
    switch = cy.CyOpenSwitch(4)
    switch.connect_side(near, pairs(4), True)
    island = cy.CyBus(4, carray([*phases, 0]))
    switch.connect_side(island, pairs(4), False)
    island_earth, load = cy.CyPotentialRef(), cy.CyPowerLoad(4, carray([power] * 3))
    island.connect(island_earth, [(3, 0)])
    island.connect(load, pairs(4))
    return elements + [switch, island, island_earth, load], island


def back_fed_transformer(cy):
    """A 230 V source on the low side of a 33 kV / 230 V transformer, a 20 kW load on its 33 kV side,
    whose bus starts well off: (elements, 33 kV bus)."""
    elements, low = earthed_source(cy, [230])
    transformer = cy.CySingleTransformer(0.002 + 0.005j, 1e-6 - 1e-5j, 230 / 33e3)
    high = cy.CyBus(2, carray([45e3, 0]))
    high_earth, load = cy.CyPotentialRef(), cy.CyPowerLoad(2, carray([20e3]))
    high.connect(high_earth, [(1, 0)])
    transformer.connect_side(high, pairs(2), True)
    transformer.connect_side(low, pairs(2), False)
    high.connect(load, pairs(2))
    return elements + [transformer, high, high_earth, load], high


def island_feeder(cy, closed=False):
    """A 2 kW load behind an open switch, the island's neutral held by its own reference; closed, the
    same load fed through a closed switch instead: (elements, island bus)."""
    source, earth = cy.CyVoltageSource(2, carray([230])), cy.CyPotentialRef()
    source.connect(earth, [(1, 0)])
    near = cy.CyBus(2, carray([230, 0]))
    near.connect(source, pairs(2))
    switch = cy.CySwitch(2) if closed else cy.CyOpenSwitch(2)
    switch.connect_side(near, pairs(2), True)
    island = cy.CyBus(2, carray([230, 0]))
    switch.connect_side(island, pairs(2), False)
    load = cy.CyPowerLoad(2, carray([2000]))
    island.connect(load, pairs(2))
    if closed:
        return [source, earth, near, switch, island, load], island
    island_earth = cy.CyPotentialRef()
    island.connect(island_earth, [(1, 0)])
    return [source, earth, near, switch, island, load, island_earth], island


def mv_lv_feeder(cy, whv, wlv, clock):
    """A 20 kV source, a 400 kVA transformer of the given vector group at the ratio of 20 kV / 400 V
    and an LV line to loads of 60 kVA: (elements, LV far bus)."""
    hv_phases = 20e3 / math.sqrt(3) * ROTATION
    elements, hv = earthed_source(cy, hv_phases)
    hv_winding = 20e3 / math.sqrt(3) if whv == "Y" else 20e3
    lv_winding = {"y": 400 / math.sqrt(3), "d": 400.0, "z": 400 / 3}[wlv]
    n1, n2 = (4 if whv == "Y" else 3), (3 if wlv == "d" else 4)
    transformer = cy.CyThreePhaseTransformer(n1, n2, whv, wlv, 0.0064 + 0.016j, 1e-7 - 5e-7j,
                                             lv_winding / hv_winding, clock)
    transformer.connect_side(hv, pairs(n1), True)
    lv_phases = 400 / math.sqrt(3) * ROTATION * cmath.exp(-1j * clock * math.pi / 6)
    lv = cy.CyBus(n2, carray([*lv_phases, 0][:n2]))
    transformer.connect_side(lv, pairs(n2), False)
    level = cy.CyPotentialRef() if n2 == 4 else cy.CyDeltaPotentialRef(3)
    lv.connect(level, [(3, 0)] if n2 == 4 else pairs(3))
    line = cy.CySimplifiedLine(n2, carray(np.eye(n2) * (0.03 + 0.015j)))
    line.connect_side(lv, pairs(n2), True)
    far = cy.CyBus(n2, carray([*lv_phases, 0][:n2]))
    line.connect_side(far, pairs(n2), False)
    if n2 == 4:
        load = cy.CyPowerLoad(4, carray([20e3 + 5e3j, 15e3, 25e3 + 2e3j]))
    else:
        load = cy.CyDeltaPowerLoad(3, carray([20e3 + 5e3j, 15e3, 25e3 + 2e3j]))
    far.connect(load, pairs(n2))
    return elements + [transformer, lv, level, line, far, load], far


def current_load_star_point(cy):
    """One conductor to a 10 A constant-current load whose star point is joined to nothing: (elements,
    the load, whose star point runs away until |U|^2 overflows)."""
    elements, near = earthed_source(cy, [230])
    line = cy.CySimplifiedLine(1, carray([0.1 + 0.05j]))
    line.connect_side(near, [(0, 0)], True)
    far = cy.CyBus(1, carray([210 + 20j]))
    line.connect_side(far, [(0, 0)], False)
    load = cy.CyCurrentLoad(2, carray([10]))
    far.connect(load, [(0, 0)])
    return elements + [line, far, load], load


def regulated_feeder(cy):
    """A 230 V line to a regulator holding 235 V over a 6 kW load: (elements, regulated bus)."""
    elements, near = earthed_source(cy, [230])
    line, mid = two_wire_line(cy, near, 0.3 + 0.1j)
    regulator = cy.CySingleVoltageRegulator(0.01 + 0.03j, 1e-5 - 1e-4j, 235.0, 0.1, 1000.0, 0.0)
    regulator.connect_side(mid, pairs(2), True)
    regulated = cy.CyBus(2, carray([230, 0]))
    regulator.connect_side(regulated, pairs(2), False)
    load = cy.CyPowerLoad(2, carray([6000 + 1000j]))
    regulated.connect(load, pairs(2))
    return elements + [line, mid, regulator, regulated, load], regulated


def flexible_feeder(cy):
    """A volt-var PV unit of 5 kW at the end of a line, its bus started high: (elements, its bus)."""
    elements, near = earthed_source(cy, [240])
    line, far = two_wire_line(cy, near, 0.4 + 0.2j, start=(245, 0))
    constant = cy.CyControl("constant", 0, 0, 0, 0, 1, 1e-4)
    volt_var = cy.CyControl("q_u", 207, 218, 237, 248, 300, 1e-4)
    law = cy.CyFlexibleParameter(constant, volt_var, cy.CyProjection("euclidean", 300, 1e-4), 6000, -3000, 3000)
    pv = cy.CyFlexibleLoad(2, carray([-5000]), np.array([law], dtype=object))
    far.connect(pv, pairs(2))
    return elements + [line, far, pv], far


def unearthed_neutral(cy):
    """A three-phase source whose neutral nothing holds, feeding a four-wire line to an unbalanced
    star load: (elements, far bus)."""
    source = cy.CyVoltageSource(4, carray(PHASES))
    near = cy.CyBus(4, carray([*PHASES, 0]))
    near.connect(source, pairs(4))
    line = cy.CySimplifiedLine(4, carray(np.eye(4) * (0.05 + 0.02j)))
    line.connect_side(near, pairs(4), True)
    far = cy.CyBus(4, carray([*PHASES, 0]))
    line.connect_side(far, pairs(4), False)
    load = cy.CyPowerLoad(4, carray([3000, 1000 + 500j, 2000]))
    far.connect(load, pairs(4))
    return [source, near, line, far, load], far


# ---------------------------------------------------------------- run-away potentials

RUN_AWAYS = [
    # (name, build, solvers, where: port, kind, position)
    *[(f"star point at the end of {m:.0f} m", lambda cy, m=m: star_point_feeder(cy, m), ["newton"], (3, "bus", 4))
      for m in (50.0, 200.0, 300.0)],
    ("island behind an open switch", island_feeder, ["newton", "goldstein"], (2, "open switch", 3)),
    ("a constant-current load's free star point", current_load_star_point, ["newton", "goldstein"], (1, "load", 5)),
    # Small loads: their balance weighed by the potential stays small, but it balances nothing.
    ("3 x 300 W on a 20 kV island", lambda cy: mv_island(cy, 300), ["newton", "goldstein"], (4, "open switch", 3)),
]


@pytest.mark.parametrize("tolerance", (1e-4, 1e-6, 1e-9))
@pytest.mark.parametrize("name, build, kinds, where", RUN_AWAYS, ids=[case[0] for case in RUN_AWAYS])
def test_potentials_that_run_away_are_refused(cy, name, build, kinds, where, tolerance):
    for kind in kinds:
        elements, probe = build(cy)
        solver = NEWTON_FAMILY[kind](cy, network(cy, elements))
        with pytest.raises(RuntimeError, match=RUN_AWAY.format(*where)) as failure:
            solver.solve_load_flow(200, tolerance)
        assert ("try Newton-Goldstein" if kind == "newton" else "initialize_potentials") in str(failure.value)
        # Refused again from where it stopped: never a converged pair.
        with pytest.raises(RuntimeError, match=RUN_AWAY.format(*where)):
            solver.solve_load_flow(200, tolerance)


SOLUTIONS = {
    "the star point that Newton-Goldstein finds": (star_point_feeder, ["goldstein"]),
    "a balanced floating star point": (lambda cy: star_point_feeder(cy, powers=(2000, 2000, 2000)), ["newton"]),
    "an earthed star point": (lambda cy: star_point_feeder(cy, earthed=True), ["newton", "goldstein"]),
    "the island's switch closed": (lambda cy: island_feeder(cy, closed=True), ["newton", "goldstein"]),
    "an unearthed source neutral": (unearthed_neutral, ["newton", "goldstein"]),
    "a regulator": (regulated_feeder, ["newton", "goldstein"]),
    "a volt-var PV unit": (flexible_feeder, ["newton", "goldstein"]),
    "a transformer fed from its low side": (back_fed_transformer, ["newton", "goldstein"]),
    **{
        f"20 kV through {whv}{wlv}{clock}": (lambda cy, w=(whv, wlv, clock): mv_lv_feeder(cy, *w), ["newton", "goldstein"])
        for whv, wlv, clock in [("Y", "y", 0), ("Y", "y", 6), ("D", "y", 11), ("D", "y", 5), ("Y", "z", 11),
                                ("Y", "d", 1), ("D", "d", 0), ("D", "z", 10)]
    },
}


@pytest.mark.parametrize("name", SOLUTIONS)
def test_true_solutions_are_never_refused(cy, name):
    build, kinds = SOLUTIONS[name]
    for kind in kinds:
        elements, probe = build(cy)
        reference = NEWTON_FAMILY[kind](cy, network(cy, elements))
        done, error = reference.solve_load_flow(50, 1e-10)
        assert done < 50 and error <= 1e-10
        solution = potentials(probe)
        for tolerance in TOLERANCES:
            elements, probe = build(cy)
            solver = NEWTON_FAMILY[kind](cy, network(cy, elements))
            done, error = solver.solve_load_flow(50, tolerance)  # no refusal
            if error <= tolerance:
                np.testing.assert_allclose(potentials(probe), solution, atol=max(1e3 * tolerance, 1e-6))


@pytest.mark.parametrize("load", ["CyPowerLoad", "CyCurrentLoad"])
def test_a_load_between_nodes_held_at_zero_is_refused(cy, load):
    """No voltage drives it and no balance holds it: its current, computed at the end, is infinite."""
    for kind, make in NEWTON_FAMILY.items():
        elements, bus = earthed_source(cy, [230])
        shorted = getattr(cy, load)(2, carray([1000 if load == "CyPowerLoad" else 10]))
        elements[1].connect(shorted, [(0, 0), (0, 1)])
        with pytest.raises(RuntimeError, match=r"^1 NaN value encountered at iteration \d+\. $"):
            make(cy, network(cy, [*elements, shorted])).solve_load_flow(20, 1e-9)


def test_a_nan_that_no_jacobian_shows_is_refused(cy):
    """A source voltage updated to NaN over admittance loads only: every equation is linear, the
    Jacobian stays finite, and the NaN would otherwise come back as the error."""
    for kind, make in NEWTON_FAMILY.items():
        elements, bus = earthed_source(cy, [230])
        load = cy.CyAdmittanceLoad(2, carray([0.05]))
        bus.connect(load, pairs(2))
        solver = make(cy, network(cy, [*elements, load]))
        assert solver.solve_load_flow(60, 1e-9)[1] <= 1e-9
        elements[0].update_voltages(carray([complex("nan")]))
        for limit in (60, 0):
            with pytest.raises(RuntimeError) as failure:
                solver.solve_load_flow(limit, 1e-9)
            assert str(failure.value) == f"1 NaN value encountered at iteration {limit}. ", kind


# ---------------------------------------------------------------- topology changed after the build

JOINED = "the network's elements were joined after it was built: build a new network"
DISCONNECTED = "the network's elements were disconnected after it was built: build a new network"


def two_bus_feeder(cy):
    elements, near = earthed_source(cy, [230])
    line, far = two_wire_line(cy, near, 0.5)
    load = cy.CyPowerLoad(2, carray([5000]))
    far.connect(load, pairs(2))
    return elements + [line, far, load]


def disconnect_the_load(cy, elements):
    elements[-1].disconnect()


def disconnect_the_line(cy, elements):
    elements[3].disconnect()


def join_a_new_load(cy, elements):
    late = cy.CyPowerLoad(2, carray([2000]))
    elements[4].connect(late, pairs(2))
    return late  # kept alive: a load that goes away leaves its node as it was


def join_two_nodes(cy, elements):
    elements[4].connect_ports(np.array([0, 1], dtype=np.int32))


CHANGES = {
    "a listed load disconnected": (disconnect_the_load, DISCONNECTED),
    "a listed line disconnected": (disconnect_the_line, DISCONNECTED),
    "an unlisted load joined to a listed bus": (join_a_new_load, JOINED),
    "two nodes of the network joined": (join_two_nodes, JOINED),
}


@pytest.mark.parametrize("kind", SOLVERS)
@pytest.mark.parametrize("change", CHANGES)
def test_a_topology_changed_after_the_build_is_refused(cy, change, kind):
    make = SOLVERS[kind]
    elements = two_bus_feeder(cy)
    built = network(cy, elements)
    solver = make(cy, built)
    solver.solve_load_flow(100, 1e-9)
    apply, message = CHANGES[change]
    kept = apply(cy, elements)
    before = [potentials(e).tobytes() for e in elements], solver.get_variables()
    for call in (lambda: solver.solve_load_flow(100, 1e-9), lambda: make(cy, built)):
        with pytest.raises(ValueError) as failure:
            call()
        assert str(failure.value) == message
    assert ([potentials(e).tobytes() for e in elements], solver.get_variables().tobytes()) == (
        before[0], before[1].tobytes())
    # A new network of the same list solves the topology as it now stands.
    fresh = make(cy, network(cy, elements))
    try:
        done, error = fresh.solve_load_flow(100, 1e-9)
    except RuntimeError:
        return  # what the change cut off may have no load flow
    assert error <= 1e-9
    del kept


def test_a_node_an_unlisted_reference_lets_go_is_refused(cy):
    """An earth the network does not list holds the far neutral at the build; disconnected afterwards,
    it lets the node go, which changes what the network's variables are."""
    for kind, make in SOLVERS.items():
        elements = two_bus_feeder(cy)
        earth = cy.CyPotentialRef()
        elements[4].connect(earth, [(1, 0)])
        built = network(cy, elements)
        solver = make(cy, built)
        earth.disconnect()
        for call in (lambda: solver.solve_load_flow(100, 1e-9), lambda: make(cy, built)):
            with pytest.raises(ValueError, match="^" + DISCONNECTED + "$"):
                call()


def test_unlisted_elements_joined_to_each_other_do_not_count(cy):
    for kind, make in SOLVERS.items():
        elements = two_bus_feeder(cy)
        solver = make(cy, network(cy, elements))
        solver.solve_load_flow(100, 1e-9)
        bus, load = cy.CyBus(2, carray([230, 0])), cy.CyPowerLoad(2, carray([1000]))
        bus.connect(load, pairs(2))
        load.disconnect()
        assert solver.solve_load_flow(100, 1e-9)[1] <= 1e-9, kind
        make(cy, network(cy, elements))


def test_a_reference_disconnected_before_the_build_holds_nothing(cy):
    """The source's earth disconnected, the load earthed on its own: nothing returns the load's
    current to the source, so none flows (Newton), or the sweep finds the source's neutral free."""
    for kind, make in SOLVERS.items():
        source, earth = cy.CyVoltageSource(2, carray([230])), cy.CyPotentialRef()
        source.connect(earth, [(1, 0)])
        earth.disconnect()
        load, other = cy.CyAdmittanceLoad(2, carray([0.1])), cy.CyPotentialRef()
        source.connect(load, [(0, 0)])
        load.connect(other, [(1, 0)])
        solver = make(cy, network(cy, [source, earth, load, other]))
        if kind == "sweep":
            with pytest.raises(RuntimeError, match="do not balance at the node of port 1 of the voltage source"):
                solver.solve_load_flow(50, 1e-9)
            continue
        assert solver.solve_load_flow(50, 1e-9)[1] <= 1e-9
        assert abs(load.get_port_current(0)) < 1e-9, kind
        assert abs(source.get_port_potential(1) + 230) < 1e-9, kind


def test_an_element_disconnected_before_the_build_takes_no_part(cy):
    """Listed all the same, a disconnected load draws nothing and reads zero for every solver."""
    for kind, make in SOLVERS.items():
        elements = two_bus_feeder(cy)
        elements[-1].disconnect()
        solver = make(cy, network(cy, elements))
        assert solver.solve_load_flow(100, 1e-9)[1] <= 1e-9
        assert np.array_equal(elements[-1].get_currents(2), [0, 0])
        np.testing.assert_allclose(elements[4].get_potentials(2), [230, 0], atol=1e-9)
