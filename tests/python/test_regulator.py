"""The single-phase voltage regulator."""

import gc
import math

import numpy as np
import pytest
from support import SOLVERS, SolvedCircuit, assert_copies_refused, carray

DOCSTRINGS = {
    "update_parameters":
        "CySingleVoltageRegulator.update_parameters(self, double complex z2, double complex ym, double u_ref)",
    "get_tap": "CySingleVoltageRegulator.get_tap(self)",
    "compute_tap": "CySingleVoltageRegulator.compute_tap(self, double u_in)",
}

Z2, YM, U_REF, U_RANGE = 0.02 + 0.04j, 1e-5 - 1e-4j, 230.0, 0.1
Z_LINE = carray([0.2 + 0.1j, 0, 0, 0.2 + 0.1j])
POWER = 5000 + 1000j


def smooth_clamp(x, u_range, alpha):
    lo, hi = 1 - u_range, 1 + u_range

    def soft_positive(y):
        return 0.5 * (y + abs(y)) + math.log1p(math.exp(-alpha * abs(y))) / alpha

    return lo + soft_positive(x - lo) - soft_positive(x - hi)


def hard_clamp(x, u_range):
    return min(max(x, 1 - u_range), 1 + u_range)


def make_regulator(cy, alpha=1000.0, phi=0.0, z2=Z2, u_ref=U_REF):
    return cy.CySingleVoltageRegulator(z2, YM, u_ref, U_RANGE, alpha, phi)


class Feeder(SolvedCircuit):
    """Source (neutral held at zero), a line, the regulator, a constant-power load on its secondary;
    phase and neutral, each side on a bus of its own."""

    def __init__(self, cy, u_source, regulator=None):
        self.cy = cy
        source = cy.CyVoltageSource(2, carray([u_source]))
        ref = cy.CyPotentialRef()
        ref.connect(source, [(0, 1)])
        start = carray([230, 0])
        self.bus0, self.bus1, self.bus2 = cy.CyBus(2, start), cy.CyBus(2, start), cy.CyBus(2, start)
        self.bus0.connect(source, [(0, 0), (1, 1)])
        line = cy.CySimplifiedLine(2, Z_LINE)
        line.connect_side(self.bus0, [(0, 0), (1, 1)], True)
        line.connect_side(self.bus1, [(0, 0), (1, 1)], False)
        self.regulator = regulator or make_regulator(cy)
        self.regulator.connect_side(self.bus1, [(0, 0), (1, 1)], True)
        self.regulator.connect_side(self.bus2, [(0, 0), (1, 1)], False)
        self.load = cy.CyPowerLoad(2, carray([POWER]))
        self.bus2.connect(self.load, [(0, 0), (1, 1)])
        self.elements = [source, ref, self.bus0, line, self.bus1, self.regulator, self.bus2, self.load]

    def solution(self):
        return np.concatenate([self.bus1.get_potentials(2), self.bus2.get_potentials(2)])

    def voltages(self):
        v1, v2 = self.regulator.get_side_potentials(2, 2)
        return v1[0] - v1[1], v2[0] - v2[1]

    def assert_regulator_equations(self, phi=0.0):
        u1, u2 = self.voltages()
        i1, i2 = self.regulator.get_side_currents(2, 2)
        k = self.regulator.get_tap() * np.exp(1j * phi)
        assert abs(i2[0] - (u2 - k * u1) / Z2) < 1e-6
        assert abs(i1[0] - (YM * u1 - np.conj(k) * i2[0])) < 1e-9
        assert abs(i1[1] + i1[0] + i2[0]) < 1e-12 and i2[1] == 0
        # Current balance at the secondary phase node (the bus carries nothing).
        assert abs(i2[0] + self.load.get_port_current(0)) < 1e-6


@pytest.mark.parametrize("method", DOCSTRINGS)
def test_docstrings(cy, method):
    assert getattr(cy.CySingleVoltageRegulator, method).__doc__ == DOCSTRINGS[method]


def test_pickling_and_copying_are_refused(cy):
    assert_copies_refused(make_regulator(cy))


def test_construction_joins_the_neutrals_and_takes_keywords(cy):
    regulator = cy.CySingleVoltageRegulator(phi=0.2, alpha=50, u_range=0.15, u_ref=231, ym=YM, z2=Z2)
    assert isinstance(regulator, cy.CyBranch)
    bus = cy.CyBus(1, carray([7 + 1j]))
    bus.connect(regulator, [(0, 1)])  # the primary neutral: the secondary neutral follows
    assert regulator.get_port_potential(3) == 7 + 1j
    assert list(regulator.get_potentials(4)) == [0, 7 + 1j, 0, 7 + 1j]
    assert regulator.compute_tap(231 / 1.05) == pytest.approx(smooth_clamp(1.05, 0.15, 50), abs=1e-15)


@pytest.mark.parametrize("u_range, alpha", [(0.1, 100), (0.3, 5), (0.05, 1000)])
def test_a_fresh_regulator_applies_a_ratio_of_one(cy, u_range, alpha):
    regulator = cy.CySingleVoltageRegulator(Z2, YM, U_REF, u_range, alpha, 0.0)
    assert regulator.get_tap() == pytest.approx(1.0, abs=1e-15)


@pytest.mark.parametrize(
    "u_in, expected",
    [(U_REF / 2, 1.1), (U_REF, 1.0), (2 * U_REF, 0.9), (U_REF / 1.2, smooth_clamp(1.2, 0.1, 100)),
     (U_REF / 0.9, smooth_clamp(0.9, 0.1, 100)), (0.0, math.nan),
     # A primary all but dead asks far beyond the band: its edge, where the soft parts cancel out.
     (1e-14, 1.1)],
)
def test_compute_tap(cy, u_in, expected):
    regulator = make_regulator(cy, alpha=100)
    assert regulator.compute_tap(u_in) == pytest.approx(expected, abs=1e-15, nan_ok=True)
    assert regulator.get_tap() == pytest.approx(1.0, abs=1e-15)  # reading changes nothing


@pytest.mark.parametrize("kind", SOLVERS)
def test_the_set_point_holds_inside_the_band(cy, kind):
    phi = math.pi / 12
    feeder = Feeder(cy, 225.0, make_regulator(cy, phi=phi))
    potentials = feeder.solve(kind)
    reference = Feeder(cy, 225.0, make_regulator(cy, phi=phi)).solve("newton")
    np.testing.assert_allclose(potentials, reference, rtol=0, atol=1e-6)
    u1, u2 = feeder.voltages()
    assert abs(abs(u2) - U_REF) < 1e-6
    assert abs(u1) < 222 and 1.02 < feeder.regulator.get_tap() < 1.09
    assert np.angle(u2 / u1) == pytest.approx(phi, abs=1e-2)  # the series drop turns it a little
    feeder.assert_regulator_equations(phi)


@pytest.mark.parametrize("share, applied", [(0.8, 1.1), (1.2, 0.9)])
def test_out_of_the_band_the_ratio_saturates(cy, share, applied):
    results = {}
    for kind in ("newton", "backward_forward"):
        feeder = Feeder(cy, share * U_REF, make_regulator(cy, alpha=100))
        results[kind] = feeder.solve(kind), feeder.regulator.get_tap()
        assert feeder.regulator.get_tap() == pytest.approx(applied, abs=1e-3)
        u2 = feeder.voltages()[1]
        assert (abs(u2) < U_REF) == (share < 1)
        feeder.assert_regulator_equations()
    np.testing.assert_allclose(results["newton"][0], results["backward_forward"][0], rtol=0, atol=1e-6)
    assert results["newton"][1] == pytest.approx(results["backward_forward"][1], abs=1e-8)


@pytest.mark.parametrize("kind", SOLVERS)
def test_update_parameters_between_solves_equals_a_fresh_solver(cy, kind):
    feeder = Feeder(cy, 225.0)
    network = feeder.network()
    first = feeder.solve(kind, network)
    assert feeder.regulator.update_parameters(0.06 + 0.1j, 2e-5 - 3e-4j, 226.0) is None
    # The tap restarts at the clamped ratio to the primary of the moment.
    u1 = feeder.voltages()[0]
    assert feeder.regulator.get_tap() == pytest.approx(
        smooth_clamp(hard_clamp(226.0 / abs(u1), U_RANGE), U_RANGE, 1000.0), abs=1e-12
    )
    second = feeder.solve(kind, network)
    assert np.abs(second - first).max() > 1
    assert abs(abs(feeder.voltages()[1]) - 226.0) < 1e-6
    fresh = Feeder(cy, 225.0)
    fresh.regulator.update_parameters(0.06 + 0.1j, 2e-5 - 3e-4j, 226.0)
    np.testing.assert_allclose(fresh.solve(kind), second, rtol=0, atol=1e-6)


@pytest.mark.parametrize(
    "change, kind, message",
    [
        ({"z2": 0}, "newton", "1 NaN value encountered at iteration 0. "),
        ({"u_ref": 0}, "goldstein", "1 NaN value encountered at iteration 0. "),
        ({"alpha": 0}, "backward_forward", "2 NaN value encountered at iteration 1. "),
    ],
)
def test_degenerate_values_fail_as_nan(cy, change, kind, message):
    feeder = Feeder(cy, 225.0, make_regulator(cy, **change))
    with pytest.raises(RuntimeError) as failure:
        feeder.solve(kind)
    assert str(failure.value) == message


@pytest.mark.parametrize("kind", ["newton", "goldstein"])
def test_a_secondary_started_at_zero_fails_newton_until_it_is_started(cy, kind):
    feeder = Feeder(cy, 225.0)
    feeder.bus2.initialize_potentials(carray([0, 0]))
    with pytest.raises(RuntimeError) as failure:
        feeder.solve(kind)
    assert str(failure.value) == "1 NaN value encountered at iteration 0. "
    feeder.solver = None  # a new solver reads the new start
    feeder.bus2.initialize_potentials(carray([230, 0]))
    feeder.solve(kind)
    assert abs(abs(feeder.voltages()[1]) - U_REF) < 1e-6


def refusals(cy):
    """(call on the feeder, exception, message) for every boundary refusal."""
    return [
        (lambda f: cy.CySingleVoltageRegulator(Z2, YM, U_REF, U_RANGE, 100), TypeError,
         "__cinit__() takes exactly 6 positional arguments (5 given)"),
        (lambda f: cy.CySingleVoltageRegulator(Z2, YM, "230", U_RANGE, 100, 0), TypeError,
         "must be real number, not str"),
        (lambda f: cy.CySingleVoltageRegulator(Z2, YM, U_REF, U_RANGE, 100j, 0), TypeError,
         "must be real number, not complex"),
        (lambda f: f.regulator.update_parameters(Z2, YM), TypeError,
         "update_parameters() takes exactly 3 positional arguments (2 given)"),
        (lambda f: f.regulator.update_parameters(Z2, "x", 230), TypeError, "must be real number, not str"),
        (lambda f: f.regulator.update_parameters(z2=Z2, ym=YM, uref=230), TypeError,
         "update_parameters() got an unexpected keyword argument 'uref'"),
        (lambda f: f.regulator.compute_tap(None), TypeError, "must be real number, not NoneType"),
        (lambda f: f.regulator.get_tap(1), TypeError, "get_tap() takes exactly 0 positional arguments (1 given)"),
        (lambda f: f.regulator.get_side_potentials(3, 2), ValueError,
         "get_side_potentials: n1 = 3 exceeds the 2 ports of side1"),
        (lambda f: f.regulator.get_side_currents(2, 3), ValueError,
         "get_side_currents: n2 = 3 exceeds the 2 ports of side2"),
        (lambda f: f.regulator.get_potentials(5), ValueError, "get_potentials: n = 5 exceeds the 4 ports of self"),
        (lambda f: f.regulator.get_port_current(4), IndexError,
         "get_port_current: index 4 out of range for self with 4 ports"),
        (lambda f: f.regulator.get_port_potential(-1), IndexError,
         "get_port_potential: index -1 out of range for self with 4 ports"),
        (lambda f: f.regulator.connect(f.bus2, [(0, 0), (4, 0)]), IndexError,
         "connect: index 4 out of range for self with 4 ports"),
        (lambda f: f.regulator.connect_side(f.bus2, [(0, 0), (2, 0)], False), IndexError,
         "connect_side: index 2 out of range for side2 with 2 ports"),
        (lambda f: f.regulator.connect_ports(np.array([1, 4], dtype=np.int32)), IndexError,
         "connect_ports: index 4 out of range for self with 4 ports"),
    ]


def test_boundary_refusals_change_nothing(cy):
    feeder = Feeder(cy, 225.0)
    first = feeder.solve("newton")

    def state():
        r = feeder.regulator
        return r.get_tap(), list(r.get_potentials(4)), list(r.get_currents(4))

    before = state()
    for call, exception, message in refusals(cy):
        with pytest.raises(exception) as failure:
            call(feeder)
        assert str(failure.value) == message
        assert state() == before
    np.testing.assert_allclose(feeder.solve("newton"), first, rtol=0, atol=1e-9)


@pytest.mark.parametrize("kind", SOLVERS)
def test_reading_and_updating_after_the_solver_is_gone(cy, kind):
    feeder = Feeder(cy, 225.0)
    feeder.solve(kind)
    tap = feeder.regulator.get_tap()
    feeder.solver = None
    gc.collect()
    # The records read their own values again: the sweep wrote them, a Newton solve did not.
    assert feeder.regulator.get_tap() == (tap if kind == "backward_forward" else pytest.approx(1.0, abs=1e-15))
    assert np.all(np.isfinite(feeder.regulator.get_potentials(4)))
    assert np.all(np.isfinite(feeder.regulator.get_currents(4)))
    assert feeder.regulator.update_parameters(Z2, YM, 226.0) is None
    u1 = feeder.voltages()[0]
    assert feeder.regulator.get_tap() == pytest.approx(smooth_clamp(226.0 / abs(u1), U_RANGE, 1000.0), abs=1e-12)
    feeder.solve(kind)
    assert abs(abs(feeder.voltages()[1]) - 226.0) < 1e-6
