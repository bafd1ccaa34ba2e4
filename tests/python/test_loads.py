"""Constant power, current and admittance loads, star and delta."""

import copy
import pickle

import numpy as np
import pytest
from support import NO_REDUCE, PHASES, SOLVERS, SolvedCircuit, carray

# class: (wiring, argument of the constructor and the array update, array update, scalar update)
LOADS = {
    "CyPowerLoad": ("star", "powers", "update_powers", "update_power"),
    "CyDeltaPowerLoad": ("delta", "powers", "update_powers", None),
    "CyAdmittanceLoad": ("star", "admittances", "update_admittances", "update_admittance"),
    "CyDeltaAdmittanceLoad": ("delta", "admittances", "update_admittances", None),
    "CyCurrentLoad": ("star", "currents", "update_currents", "update_current"),
    "CyDeltaCurrentLoad": ("delta", "currents", "update_currents", None),
}

DOCSTRINGS = {
    ("CyPowerLoad", "update_powers"): "CyPowerLoad.update_powers(self, double complex[::1] powers)",
    ("CyPowerLoad", "update_power"): "CyPowerLoad.update_power(self, double complex power)",
    ("CyDeltaPowerLoad", "update_powers"): "CyDeltaPowerLoad.update_powers(self, double complex[::1] powers)",
    ("CyAdmittanceLoad", "update_admittances"):
        "CyAdmittanceLoad.update_admittances(self, double complex[::1] admittances)",
    ("CyAdmittanceLoad", "update_admittance"): "CyAdmittanceLoad.update_admittance(self, double complex admittance)",
    ("CyDeltaAdmittanceLoad", "update_admittances"):
        "CyDeltaAdmittanceLoad.update_admittances(self, double complex[::1] admittances)",
    ("CyCurrentLoad", "update_currents"): "CyCurrentLoad.update_currents(self, double complex[::1] currents)",
    ("CyCurrentLoad", "update_current"): "CyCurrentLoad.update_current(self, double complex current)",
    ("CyDeltaCurrentLoad", "update_currents"): "CyDeltaCurrentLoad.update_currents(self, double complex[::1] currents)",
}

# Three unbalanced values per family: the star loads use them between phase and neutral, the delta
# loads between phases (so the same value is drawn at sqrt(3) times the voltage).
VALUES = {
    "powers": [3000 + 900j, 1800 + 400j, 2400 - 300j],
    "currents": [12 - 4j, 6 + 1j, 9 - 2j],
    "admittances": [0.05 - 0.01j, 0.02 - 0.004j, 0.035 + 0.002j],
}

START = np.array([*PHASES, 0], dtype=complex)
# Four coupled conductors, row by row.
Z_LINE = np.full(16, 0.002j, dtype=complex)
Z_LINE[::5] = 0.04 + 0.015j


def make_load(cy, name, n, values):
    return getattr(cy, name)(n, carray(values))


def ports_of(name):
    return 4 if LOADS[name][0] == "star" else 3


class Feeder(SolvedCircuit):
    """A star source with its neutral held at zero feeds a load through a four-conductor line."""

    def __init__(self, cy, load, load_ports=None):
        """load_ports: the far bus's port of each load port, by default the load's own ports."""
        self.cy = cy
        self.source = cy.CyVoltageSource(4, carray(PHASES))
        ref = cy.CyPotentialRef()
        ref.connect(self.source, [(0, 3)])
        near, far = cy.CyBus(4, START), cy.CyBus(4, START)
        near.connect(self.source, [(k, k) for k in range(4)])
        line = cy.CySimplifiedLine(4, Z_LINE)
        line.connect_side(near, [(k, k) for k in range(4)], True)
        line.connect_side(far, [(k, k) for k in range(4)], False)
        far.connect(load, [(p, k) for k, p in enumerate(load_ports or range(ports_of(type(load).__name__)))])
        self.far, self.load = far, load
        self.elements = [self.source, ref, near, line, far, load]

    def solution(self):
        return self.far.get_potentials(4)


def voltages_across(name, potentials):
    if LOADS[name][0] == "star":
        return potentials[:3] - potentials[3]
    return potentials - np.roll(potentials, -1)


def expected_inner_currents(name, values, u):
    values = carray(values)
    family = LOADS[name][1]
    if family == "powers":
        return np.conj(values / u)
    if family == "currents":
        return values * u / np.abs(u)
    return values * u


@pytest.mark.parametrize("cls, method", DOCSTRINGS)
def test_docstrings(cy, cls, method):
    assert getattr(getattr(cy, cls), method).__doc__ == DOCSTRINGS[cls, method]


@pytest.mark.parametrize("name", LOADS)
def test_pickling_and_copying_are_refused(cy, name):
    load = make_load(cy, name, 3, VALUES[LOADS[name][1]])
    for refuse in (pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__setstate__(None)):
        with pytest.raises(TypeError) as failure:
            refuse(load)
        assert str(failure.value) == NO_REDUCE


@pytest.mark.parametrize("name", [n for n in LOADS if LOADS[n][3] is None])
def test_delta_loads_have_no_scalar_update(cy, name):
    load = make_load(cy, name, 3, VALUES[LOADS[name][1]])
    scalar = {"powers": "update_power", "admittances": "update_admittance", "currents": "update_current"}
    with pytest.raises(AttributeError):
        getattr(load, scalar[LOADS[name][1]])(1)


# ---------------------------------------------------------------- construction


def construction_cases():
    for name, (wiring, argument, _, _) in LOADS.items():
        needed = (lambda n: n - 1) if wiring == "star" else (lambda n: n)
        for n in (-1, 0) if wiring == "star" else (-1,):
            yield name, n, None, RuntimeError, "vector"
        yield name, 4, [1, 2], ValueError, f"{argument} needs at least {needed(4)} values, got 2"
        yield name, 2, None, ValueError, f"{argument} needs at least {needed(2)} values, got 0"
        yield name, 3, [], ValueError, f"{argument} needs at least {needed(3)} values, got 0"


@pytest.mark.parametrize("name, n, values, exception, message", list(construction_cases()))
def test_constructor_refusals(cy, name, n, values, exception, message):
    with pytest.raises(exception) as failure:
        getattr(cy, name)(n, None if values is None else carray(values))
    assert str(failure.value) == message


@pytest.mark.parametrize("name", LOADS)
def test_smallest_loads_read_nothing(cy, name):
    wiring, argument, array_update, scalar_update = LOADS[name]
    n = 1 if wiring == "star" else 0
    for values in (None, carray([])):
        load = getattr(cy, name)(**{"n": n, argument: values})
        assert getattr(load, array_update)(None) is None
        if scalar_update:
            assert getattr(load, scalar_update)(5 + 5j) is None
        assert load.get_inner_currents(0).shape == (0,)
        assert list(load.get_inner_currents(2)) == [0, 0]


# ---------------------------------------------------------------- inner currents


@pytest.mark.parametrize("name", LOADS)
def test_inner_current_count(cy, name):
    n = ports_of(name)
    count = n - 1 if LOADS[name][0] == "star" else n
    load = make_load(cy, name, n, VALUES[LOADS[name][1]])
    assert load.get_inner_currents(count).shape == (count,)
    with pytest.raises(ValueError) as failure:
        load.get_inner_currents(count - 1)
    assert str(failure.value) == f"get_inner_currents: size = {count - 1} is below the {count} values the load writes"


@pytest.mark.parametrize("name", [n for n in LOADS if LOADS[n][0] == "delta"])
def test_delta_inner_currents_follow_the_potentials_before_any_solve(cy, name):
    values = VALUES[LOADS[name][1]]
    load = make_load(cy, name, 3, values)
    bus = cy.CyBus(3, carray(PHASES))
    bus.connect(load, [(0, 0), (1, 1), (2, 2)])
    inner = load.get_inner_currents(5)
    expected = expected_inner_currents(name, values, voltages_across(name, carray(PHASES)))
    np.testing.assert_allclose(inner[:3], expected, rtol=1e-12)
    assert list(inner[3:]) == [0, 0]


@pytest.mark.parametrize("kind", SOLVERS)
@pytest.mark.parametrize("name", LOADS)
def test_each_law_holds_at_the_solution(cy, name, kind):
    values = VALUES[LOADS[name][1]]
    feeder = Feeder(cy, make_load(cy, name, ports_of(name), values))
    potentials = feeder.solve(kind)
    load = feeder.load
    n = ports_of(name)
    inner = load.get_inner_currents(n + 1)
    u = voltages_across(name, load.get_potentials(n))
    np.testing.assert_allclose(inner[: len(u)], expected_inner_currents(name, values, u), rtol=1e-9)
    assert np.all(inner[len(u):] == 0)
    currents = load.get_currents(n)
    if LOADS[name][0] == "star":
        np.testing.assert_allclose(currents, [*inner[:3], -inner[:3].sum()], rtol=1e-12, atol=1e-12)
    else:
        np.testing.assert_allclose(currents, inner[:3] - np.roll(inner[:3], 1), rtol=1e-12, atol=1e-12)
    # The load is heavy enough to pull the far end away from the source.
    assert np.abs(potentials[:3] - PHASES).min() > 0.1


# ---------------------------------------------------------------- updates


def reference_solution(cy, name, values, kind="newton"):
    return Feeder(cy, make_load(cy, name, ports_of(name), values)).solve(kind)


@pytest.mark.parametrize("kind", SOLVERS)
@pytest.mark.parametrize("when", ["before_network", "before_solver", "between_solves"])
@pytest.mark.parametrize("name", LOADS)
def test_array_update_acts_like_a_load_built_with_the_new_values(cy, name, when, kind):
    wiring, argument, array_update, _ = LOADS[name]
    old = VALUES[argument]
    new = [v * f for v, f in zip(old, (1.6, 0.3, 1.1))]
    feeder = Feeder(cy, make_load(cy, name, ports_of(name), old))
    update = getattr(feeder.load, array_update)
    longer = carray([*new, 99, 99])  # extra values are ignored
    if when == "before_network":
        update(longer)
    network = feeder.network()
    if when == "before_solver":
        assert update(**{argument: longer}) is None
    if when == "between_solves":
        first = feeder.solve(kind, network)
        np.testing.assert_allclose(first, reference_solution(cy, name, old), atol=1e-6)
        update(longer)
        # Nothing moves until the next solve.
        np.testing.assert_array_equal(feeder.far.get_potentials(4), first)
    np.testing.assert_allclose(feeder.solve(kind, network), reference_solution(cy, name, new), atol=1e-6)


@pytest.mark.parametrize("kind", ["newton", "backward_forward"])
@pytest.mark.parametrize("name", LOADS)
def test_refused_updates_change_nothing(cy, name, kind):
    wiring, argument, array_update, scalar_update = LOADS[name]
    values = VALUES[argument]
    feeder = Feeder(cy, make_load(cy, name, ports_of(name), values))
    first = feeder.solve(kind)
    refusals = [
        (lambda: getattr(feeder.load, array_update)(carray([7, 7])), f"{argument} needs at least 3 values, got 2"),
        (lambda: getattr(feeder.load, array_update)(None), f"{argument} needs at least 3 values, got 0"),
    ]
    if scalar_update:
        refusals.append(
            (lambda: getattr(feeder.load, scalar_update)(7), f"{scalar_update} needs an element with a single value")
        )
    for refuse, message in refusals:
        with pytest.raises(ValueError) as failure:
            refuse()
        assert str(failure.value) == message
    np.testing.assert_allclose(feeder.solve(kind), first, atol=1e-9)


@pytest.mark.parametrize("kind", ["newton", "backward_forward"])
@pytest.mark.parametrize("name", [n for n in LOADS if LOADS[n][3]])
def test_scalar_update_of_a_single_phase_load(cy, name, kind):
    _, argument, array_update, scalar_update = LOADS[name]
    old = VALUES[argument][0]
    new = old * 3
    by_scalar = Feeder(cy, make_load(cy, name, 2, [old]), load_ports=[1, 3])
    by_array = Feeder(cy, make_load(cy, name, 2, [old]), load_ports=[1, 3])
    fresh = Feeder(cy, make_load(cy, name, 2, [new]), load_ports=[1, 3]).solve(kind)
    before = by_scalar.solve(kind)
    by_array.solve(kind)
    assert getattr(by_scalar.load, scalar_update)(**{scalar_update[len("update_"):]: new}) is None
    getattr(by_array.load, array_update)(carray([new]))
    after = by_scalar.solve(kind)
    assert np.abs(after - before).max() > 0.1
    np.testing.assert_allclose(after, fresh, atol=1e-6)
    np.testing.assert_allclose(by_array.solve(kind), after, atol=1e-9)
