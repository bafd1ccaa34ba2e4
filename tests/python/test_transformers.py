"""Transformers: classes, constructors, the parameter update and the two tests, solved feeders through
each kind, and the refusals at the module boundary."""

import gc

import numpy as np
import pytest
from support import NO_REDUCE, SOLVERS, SolvedCircuit, assert_copies_refused, assert_single_phase_windings, carray

ELEMENT_MESSAGE = "self.element cannot be converted to a Python object for pickling"
SWEEP_REFUSAL = "2 No backward-forward method has been defined for transformers yet."
RATINGS = "uhv, ulv and sn must be positive and finite"
S3 = np.sqrt(3)

DOCSTRINGS = {
    "update_transformer_parameters":
        "CyTransformer.update_transformer_parameters(self, double complex z2, double complex ym, double complex k)",
    "compute_open_circuit_parameters":
        "CyTransformer.compute_open_circuit_parameters(self, double uhv, double ulv, double sn)",
    "compute_short_circuit_parameters":
        "CyTransformer.compute_short_circuit_parameters(self, double uhv, double ulv, double sn)",
}

Z2, YM = 0.004 + 0.016j, 2e-8 - 1.5e-7j
K_DYN11 = 400 / (S3 * 20e3)  # per winding: an LV star winding over an HV delta winding

FACTORIES = {
    "CyTransformer": (lambda cy: cy.CyTransformer(), ELEMENT_MESSAGE),
    "CyThreePhaseTransformer": (lambda cy: cy.CyThreePhaseTransformer(3, 4, "D", "y", Z2, YM, K_DYN11, 11), NO_REDUCE),
    "CySingleTransformer": (lambda cy: cy.CySingleTransformer(Z2, YM, 0.02 + 0.001j), NO_REDUCE),
    "CyCenterTransformer": (lambda cy: cy.CyCenterTransformer(Z2, YM, 0.03), NO_REDUCE),
}


def sequence(magnitude, angle=0.0):
    return magnitude * np.exp(1j * (angle - 2 * np.pi / 3 * np.arange(3)))


def joined(a, b, pairs):
    a.connect(b, pairs)
    return b


# ---------------------------------------------------------------- classes


@pytest.mark.parametrize("method", DOCSTRINGS)
def test_docstrings(cy, method):
    assert getattr(cy.CyTransformer, method).__doc__ == DOCSTRINGS[method]
    assert getattr(cy.CyThreePhaseTransformer, method) is getattr(cy.CyTransformer, method)


@pytest.mark.parametrize("name", FACTORIES)
def test_pickling_and_copying_are_refused(cy, name):
    make, message = FACTORIES[name]
    instance = make(cy)
    assert type(instance).__module__ == "load_flow_engine.cy_engine" and type(instance).__qualname__ == name
    assert_copies_refused(instance, message, also=(lambda o: o.__reduce__(),))


@pytest.mark.parametrize(
    "make, n1, n2",
    [
        (lambda cy: cy.CySingleTransformer(Z2, YM, 0.5), 2, 2),
        (lambda cy: cy.CyCenterTransformer(Z2, YM, 0.5), 2, 3),
        (lambda cy: cy.CyThreePhaseTransformer(3, 4, "D", "y", Z2, YM, 0.5, 11), 3, 4),
        (lambda cy: cy.CyThreePhaseTransformer(4, 3, "Y", "d", Z2, YM, 0.5, 1), 4, 3),
        (lambda cy: cy.CyThreePhaseTransformer(4, 4, "Y", "z", Z2, YM, 0.5, 11), 4, 4),
    ],
)
def test_ports_and_sides(cy, make, n1, n2):
    t = make(cy)
    assert [s.shape for s in t.get_side_potentials(n1, n2)] == [(n1,), (n2,)]
    assert t.get_currents(n1 + n2).shape == (n1 + n2,)
    with pytest.raises(ValueError):
        t.get_side_currents(n1 + 1, n2)
    with pytest.raises(ValueError):
        t.get_side_potentials(n1, n2 + 1)
    with pytest.raises(IndexError):
        t.get_port_potential(n1 + n2)


def test_arguments_by_keyword_and_the_types_of_the_ratio(cy):
    t = cy.CyThreePhaseTransformer(clock=11, k=K_DYN11, ym=YM, z2=Z2, wlv=b"y", whv="D", n2=4, n1=3)
    assert t.update_transformer_parameters(k=K_DYN11, ym=YM, z2=Z2) is None
    assert isinstance(t.compute_short_circuit_parameters(sn=4e5, ulv=400, uhv=20e3), tuple)
    # The single transformer keeps a complex ratio: its open-circuit secondary turns with it.
    single = cy.CySingleTransformer(z2=Z2, ym=YM, k=0.5 + 0.1j)
    ulv = 2000 * abs(0.5 + 0.1j)
    single.compute_open_circuit_parameters(ulv=ulv, uhv=2000, sn=1e4)
    np.testing.assert_allclose(single.get_port_potential(2), (0.5 + 0.1j) * 2000, atol=1e-9)
    assert abs(single.get_port_current(2)) < 1e-9  # ulv / uhv = |k|: nothing flows
    # The centre-tap, three-phase ratios are floats.
    with pytest.raises(TypeError):
        cy.CyCenterTransformer(Z2, YM, 0.5 + 0.1j)
    with pytest.raises(TypeError):
        cy.CyThreePhaseTransformer(3, 4, "D", "y", Z2, YM, 0.5 + 0.1j, 11)


# ---------------------------------------------------------------- the two tests


def test_single_phase_figures(cy):
    uhv, sn, ym, z2 = 11e3, 50e3, 2e-6 - 8e-6j, 4 + 12j
    t = cy.CySingleTransformer(z2, ym, 1.0)
    p, i0 = t.compute_open_circuit_parameters(uhv, uhv, sn)
    assert t.get_port_current(2) == 0
    assert p == pytest.approx(uhv**2 * ym.real, rel=1e-9)
    assert i0 == pytest.approx(abs(ym) * uhv**2 / sn, rel=1e-12)
    assert list(t.get_potentials(4)) == [uhv, 0, uhv, 0]
    _, vsc = t.compute_short_circuit_parameters(uhv, uhv, sn)
    assert vsc == pytest.approx(abs(z2) * sn / uhv**2, rel=1e-15)


def test_three_phase_open_circuit_of_yy0(cy):
    uhv, ulv, sn, ym = 20e3, 410.0, 250e3, 3e-7 - 2e-6j
    t = cy.CyThreePhaseTransformer(4, 4, "Y", "y", 0.003 + 0.012j, ym, ulv / uhv, 0)
    p, ratio = t.compute_open_circuit_parameters(uhv, ulv, sn)
    v1, v2 = t.get_side_potentials(4, 4)
    i1, i2 = t.get_side_currents(4, 4)
    np.testing.assert_allclose(v1[:3], sequence(uhv / S3), rtol=1e-12)
    np.testing.assert_allclose(v2[:3], sequence(ulv / S3), rtol=1e-12)
    assert np.abs(i2).max() < 1e-10
    np.testing.assert_allclose(i1[:3], ym * v1[:3], rtol=1e-9)
    assert i1[3] == -i1[:3].sum()
    assert p == pytest.approx(uhv**2 * ym.real, rel=1e-9)
    assert ratio == pytest.approx(abs(ym) * uhv**2 / sn, rel=1e-12)


def test_dyn11_worked_case_of_the_ratio(cy):
    assert K_DYN11 == pytest.approx(0.01155, abs=5e-6)
    for k, no_load in ((K_DYN11, True), (400 / 20e3, False)):
        t = cy.CyThreePhaseTransformer(3, 4, "D", "y", Z2, YM, k, 11)
        t.compute_open_circuit_parameters(20e3, 400, 400e3)
        v1, v2 = t.get_side_potentials(3, 4)
        assert abs(v2[0] - v2[1]) == pytest.approx(400, rel=1e-12)
        assert np.angle((v2[0] - v2[1]) / (v1[0] - v1[1]), deg=True) == pytest.approx(30)  # lags 330 degrees
        assert (np.abs(t.get_side_currents(3, 4)[1]).max() < 1e-9) == no_load


# ---------------------------------------------------------------- solved feeders


class DynFeeder(SolvedCircuit):
    """(a) A 20 kV source, a Dyn11 400 kVA transformer with its LV neutral earthed, a four-wire LV line
    to a bus with a star and a delta power load."""

    STAR = carray([30e3 + 8e3j, 18e3 + 4e3j, 25e3 + 9e3j])
    DELTA = carray([20e3 + 6e3j, 12e3 + 2e3j, 16e3 + 5e3j])

    def __init__(self, cy, z2=Z2, ym=YM, k=K_DYN11):
        self.cy = cy
        source = cy.CyVoltageSource(4, carray(sequence(20e3 / S3)))
        ref = joined(source, cy.CyPotentialRef(), [(3, 0)])
        self.transformer = cy.CyThreePhaseTransformer(3, 4, "D", "y", z2, ym, k, 11)
        self.transformer.connect_side(source, [(i, i) for i in range(3)], True)
        start = carray([*sequence(230, np.pi / 6), 0])
        near = cy.CyBus(4, start)
        self.transformer.connect_side(near, [(i, i) for i in range(4)], False)
        earth = joined(near, cy.CyPotentialRef(), [(3, 0)])
        z = np.full((4, 4), 0.008j)
        np.fill_diagonal(z, 0.04 + 0.02j)
        line = cy.CySimplifiedLine(4, carray(z))
        line.connect_side(near, [(i, i) for i in range(4)], True)
        self.far = cy.CyBus(4, start)
        line.connect_side(self.far, [(i, i) for i in range(4)], False)
        self.star = joined(self.far, cy.CyPowerLoad(4, self.STAR), [(i, i) for i in range(4)])
        self.delta = joined(self.far, cy.CyDeltaPowerLoad(3, self.DELTA), [(i, i) for i in range(3)])
        self.elements = [source, ref, self.transformer, near, earth, line, self.far, self.star, self.delta]
        self.z2, self.ym, self.k = z2, ym, k

    def solution(self):
        return np.concatenate([self.transformer.get_potentials(7), self.far.get_potentials(4)])

    def assert_equations(self):
        """Dyn11 written out: HV winding i across phases i and i+1, LV winding i from phase i to the
        neutral, HV port i between windings i and i-1."""
        v1, v2 = self.transformer.get_side_potentials(3, 4)
        i1, i2 = self.transformer.get_side_currents(3, 4)
        u1 = v1 - np.roll(v1, -1)
        u2 = v2[:3] - v2[3]
        np.testing.assert_allclose(i2[:3] * self.z2, u2 - self.k * u1, atol=1e-9)
        assert abs(i2.sum()) < 1e-9
        w = self.ym * u1 - self.k * i2[:3]
        np.testing.assert_allclose(i1, w - np.roll(w, 1), atol=1e-10)


@pytest.mark.parametrize("kind", ["newton", "goldstein"])
def test_dyn11_feeder_by_the_newton_family(cy, kind):
    feeder = DynFeeder(cy)
    feeder.solve(kind)
    feeder.assert_equations()
    v = feeder.far.get_potentials(4)
    assert np.all((abs(v[:3] - v[3]) > 215) & (abs(v[:3] - v[3]) < 230))
    reference = DynFeeder(cy)
    np.testing.assert_allclose(feeder.solution(), reference.solve("newton"), atol=1e-6)
    assert feeder.solver.solve_load_flow(20, 1e-9)[0] == 0 and reference.solver.solve_load_flow(20, 1e-9)[0] == 0


class SingleFeeder(SolvedCircuit):
    """(b) An 11 kV single-phase source, a single transformer with a complex ratio and its secondary
    earthed, a two-wire line to a power and an admittance load."""

    def __init__(self, cy, z2=0.02 + 0.05j, ym=1e-7 - 6e-7j, k=240 / 11e3 * np.exp(-0.05j)):
        self.cy = cy
        source = cy.CyVoltageSource(2, carray([11e3]))
        ref = joined(source, cy.CyPotentialRef(), [(1, 0)])
        self.transformer = cy.CySingleTransformer(z2, ym, k)
        self.transformer.connect_side(source, [(0, 0), (1, 1)], True)
        start = carray([240 * np.exp(1j * np.angle(k)), 0])
        near = cy.CyBus(2, start)
        self.transformer.connect_side(near, [(0, 0), (1, 1)], False)
        earth = joined(near, cy.CyPotentialRef(), [(1, 0)])
        line = cy.CySimplifiedLine(2, carray([[0.08 + 0.03j, 0.01j], [0.01j, 0.08 + 0.03j]]))
        line.connect_side(near, [(0, 0), (1, 1)], True)
        self.far = cy.CyBus(2, start)
        line.connect_side(self.far, [(0, 0), (1, 1)], False)
        self.load = joined(self.far, cy.CyPowerLoad(2, carray([9e3 + 3e3j])), [(0, 0), (1, 1)])
        heater = joined(self.far, cy.CyAdmittanceLoad(2, carray([0.05])), [(0, 0), (1, 1)])
        self.elements = [source, ref, self.transformer, near, earth, line, self.far, self.load, heater]
        self.z2, self.ym, self.k = z2, ym, k

    def solution(self):
        return np.concatenate([self.transformer.get_potentials(4), self.far.get_potentials(2)])

    def assert_equations(self):
        i1, i2 = assert_single_phase_windings(self.transformer, self.z2, self.ym, self.k)
        assert i1[1] == -i1[0] and i2[1] == -i2[0]


@pytest.mark.parametrize("kind", SOLVERS)
def test_single_phase_feeder_by_every_solver(cy, kind):
    feeder = SingleFeeder(cy)
    feeder.solve(kind)
    feeder.assert_equations()
    assert 200 < abs(feeder.far.get_port_potential(0) - feeder.far.get_port_potential(1)) < 240
    reference = SingleFeeder(cy)
    np.testing.assert_allclose(feeder.solution(), reference.solve("newton"), atol=1e-6)
    assert feeder.solver.solve_load_flow(500, 1e-9)[0] <= 1 and reference.solver.solve_load_flow(20, 1e-9)[0] == 0


class CentreFeeder(SolvedCircuit):
    """(c) A 7.2 kV source, a centre-tap transformer with its tap earthed, a load on each half and one
    across the outer ends."""

    def __init__(self, cy, z2=0.012 + 0.03j, ym=2e-7 - 1e-6j, k=240 / 7200):
        self.cy = cy
        source = cy.CyVoltageSource(2, carray([7200]))
        ref = joined(source, cy.CyPotentialRef(), [(1, 0)])
        self.transformer = cy.CyCenterTransformer(z2, ym, k)
        self.transformer.connect_side(source, [(0, 0), (1, 1)], True)
        self.bus = cy.CyBus(3, carray([120, -120, 0]))
        self.transformer.connect_side(self.bus, [(0, 0), (1, 1), (2, 2)], False)
        earth = joined(self.bus, cy.CyPotentialRef(), [(2, 0)])
        upper = joined(self.bus, cy.CyPowerLoad(2, carray([3e3 + 1e3j])), [(0, 0), (2, 1)])
        lower = joined(self.bus, cy.CyPowerLoad(2, carray([1.5e3 + 0.2e3j])), [(1, 0), (2, 1)])
        across = joined(self.bus, cy.CyPowerLoad(2, carray([6e3 + 2e3j])), [(0, 0), (1, 1)])
        self.elements = [source, ref, self.transformer, self.bus, earth, upper, lower, across]
        self.z2, self.ym, self.k = z2, ym, k

    def solution(self):
        return self.transformer.get_potentials(5)

    def assert_equations(self):
        v1, v2 = self.transformer.get_side_potentials(2, 3)
        i1, i2 = self.transformer.get_side_currents(2, 3)
        u1, h = v1[0] - v1[1], self.k / 2
        assert abs(i2[0] * self.z2 / 2 - (v2[0] - v2[2] - h * u1)) < 1e-9
        assert abs(i2[1] * self.z2 / 2 - (v2[1] - v2[2] + h * u1)) < 1e-9
        assert abs(i2.sum()) < 1e-12
        assert abs(i1[0] - (self.ym * u1 - (i2[0] - i2[1]) * h)) < 1e-10
        assert abs(i2[2]) > 5  # the unequal halves send their difference through the tap


def test_centre_tap_feeder_by_newton(cy):
    feeder = CentreFeeder(cy)
    feeder.solve("newton")
    feeder.assert_equations()
    assert feeder.solver.solve_load_flow(20, 1e-9)[0] == 0


@pytest.mark.parametrize("make", [DynFeeder, CentreFeeder], ids=["three-phase", "centre tap"])
def test_the_sweep_refuses_three_phase_and_centre_tap_transformers(cy, make):
    solver = cy.CyBackwardForward(make(cy).network())
    with pytest.raises(RuntimeError) as failure:
        solver.solve_load_flow(10, 1e-9)
    assert str(failure.value) == SWEEP_REFUSAL


UPDATES = {
    "single": (SingleFeeder, dict(z2=0.03 + 0.08j, ym=3e-7 - 1e-6j, k=230 / 11e3 * np.exp(0.1j))),
    "three-phase": (DynFeeder, dict(z2=0.006 + 0.02j, ym=5e-8 - 3e-7j, k=410 / (S3 * 20e3))),
    "centre tap": (CentreFeeder, dict(z2=0.02 + 0.05j, ym=2e-7 - 1e-6j, k=250 / 7200)),
}


@pytest.mark.parametrize(
    "case, kind", [(case, kind) for case in UPDATES for kind in SOLVERS if case == "single" or kind != "backward_forward"]
)
def test_update_between_solves_equals_a_fresh_solver(cy, case, kind):
    make, new = UPDATES[case]
    feeder = make(cy)
    before = feeder.solve(kind)
    feeder.transformer.update_transformer_parameters(**new)
    np.testing.assert_array_equal(feeder.solution(), before)  # nothing solved yet
    _, iterations, tolerance = SOLVERS[kind]
    feeder.solver.solve_load_flow(iterations, tolerance)
    assert np.abs(feeder.solution() - before).max() > 1
    feeder.z2, feeder.ym, feeder.k = new["z2"], new["ym"], new["k"]
    feeder.assert_equations()
    fresh = make(cy, **new)
    np.testing.assert_allclose(feeder.solution(), fresh.solve(kind), atol=1e-6)
    assert fresh.solver.solve_load_flow(20, 1e-9)[0] <= 1


def test_the_tests_overwrite_the_solver_state_until_the_next_solve(cy):
    feeder = SingleFeeder(cy)
    solution = feeder.solve("newton")
    _, vsc = feeder.transformer.compute_short_circuit_parameters(11e3, 240, 25e3)
    assert vsc == pytest.approx(abs(feeder.z2) * 25e3 / 240**2)
    # Written through the links: the bound solver's variables hold the test potentials now.
    assert list(feeder.transformer.get_potentials(4)) == [vsc * 11e3, 0, 0, 0]
    # The second item does not depend on the network's state.
    assert feeder.transformer.compute_short_circuit_parameters(11e3, 240, 25e3)[1] == vsc
    feeder.solver.solve_load_flow(20, 1e-9)
    np.testing.assert_allclose(feeder.solution(), solution, atol=1e-6)


def test_reading_updating_and_testing_after_the_solver_is_gone(cy):
    feeder = DynFeeder(cy)
    network = feeder.network()
    feeder.solve("newton", network)
    feeder.solver = None
    gc.collect()
    t = feeder.transformer
    start = t.get_side_potentials(3, 4)[1]
    np.testing.assert_allclose(start[:3], sequence(230, np.pi / 6))  # the nodes' own start values
    t.update_transformer_parameters(0.006 + 0.02j, YM, K_DYN11)
    p, ratio = t.compute_open_circuit_parameters(20e3, 400, 400e3)
    assert p > 0 and ratio > 0
    assert abs(t.get_port_potential(3) - t.get_port_potential(4)) == pytest.approx(400)
    feeder.z2 = 0.006 + 0.02j
    feeder.solve("newton", network)
    feeder.assert_equations()
    assert feeder.solver.solve_load_flow(20, 1e-9)[0] == 0


# ---------------------------------------------------------------- boundary refusals


REFUSALS = [
    # (call on the solved feeder, exception, message)
    (lambda cy, f: cy.CyThreePhaseTransformer(4, 4, "YN", "y", Z2, YM, 0.5, 0), RuntimeError, "Bad HV winding: YN"),
    (lambda cy, f: cy.CyThreePhaseTransformer(4, 4, "Y", "D", Z2, YM, 0.5, 0), RuntimeError, "Bad LV winding: D"),
    (lambda cy, f: cy.CyThreePhaseTransformer(4, 4, "d", "x", Z2, YM, 0.5, 0), RuntimeError, "Bad HV winding: d"),
    (lambda cy, f: cy.CyThreePhaseTransformer(3, 4, "Y", "y", Z2, YM, 0.5, 0), ValueError,
     "HV winding Y needs 4 ports, got 3"),
    (lambda cy, f: cy.CyThreePhaseTransformer(3, 4, "D", "d", Z2, YM, 0.5, 0), ValueError,
     "LV winding d needs 3 ports, got 4"),
    (lambda cy, f: cy.CyThreePhaseTransformer(3, 4, "D", "y", Z2, YM, 0.5, 3), ValueError, "Bad clock: 3 for Dy"),
    (lambda cy, f: cy.CyThreePhaseTransformer(4, 4, "Y", "y", Z2, YM, 0.5, 12), ValueError, "Bad clock: 12 for Yy"),
    (lambda cy, f: cy.CyThreePhaseTransformer(-1, 4, "Y", "y", Z2, YM, 0.5, 0), RuntimeError, "vector"),
    (lambda cy, f: cy.CyThreePhaseTransformer(2**31, 4, "Y", "y", Z2, YM, 0.5, 0), OverflowError,
     "value too large to convert to int"),
    (lambda cy, f: cy.CyThreePhaseTransformer(4, 4, None, "y", Z2, YM, 0.5, 0), TypeError,
     "expected bytes, NoneType found"),
    (lambda cy, f: cy.CySingleTransformer(Z2, YM), TypeError, None),
    (lambda cy, f: f.transformer.compute_open_circuit_parameters(0, 400, 4e5), ValueError, RATINGS),
    (lambda cy, f: f.transformer.compute_open_circuit_parameters(20e3, -400, 4e5), ValueError, RATINGS),
    (lambda cy, f: f.transformer.compute_short_circuit_parameters(20e3, 400, float("inf")), ValueError, RATINGS),
    (lambda cy, f: f.transformer.compute_short_circuit_parameters(float("nan"), 400, 4e5), ValueError, RATINGS),
    (lambda cy, f: f.transformer.compute_short_circuit_parameters(20e3, 400), TypeError, None),
    (lambda cy, f: f.transformer.update_transformer_parameters(Z2, YM, "1"), TypeError, None),
    (lambda cy, f: f.transformer.update_transformer_parameters(Z2, ym=YM, z2=Z2), TypeError, None),
    (lambda cy, f: f.transformer.get_side_potentials(4, 4), ValueError,
     "get_side_potentials: n1 = 4 exceeds the 3 ports of side1"),
    (lambda cy, f: f.transformer.get_port_current(7), IndexError,
     "get_port_current: index 7 out of range for self with 7 ports"),
    (lambda cy, f: f.transformer.connect_side(f.far, [(4, 0)], False), IndexError,
     "connect_side: index 4 out of range for side2 with 4 ports"),
    (lambda cy, f: cy.CyTransformer().compute_open_circuit_parameters(20e3, 400, 4e5), TypeError,
     "CyTransformer holds no engine object"),
    (lambda cy, f: cy.CyTransformer(1, x=2).update_transformer_parameters(Z2, YM, 1), TypeError,
     "CyTransformer holds no engine object"),
    (lambda cy, f: cy.CyTransformer().get_side_currents(0, 0), TypeError, "CyTransformer holds no engine object"),
    (lambda cy, f: type("Mine", (cy.CyTransformer,), {})().compute_short_circuit_parameters(1, 1, 1), TypeError,
     "Mine holds no engine object"),
    (lambda cy, f: f.far.connect(cy.CyTransformer(), [(0, 0)]), TypeError, "CyTransformer holds no engine object"),
]


@pytest.fixture
def solved(cy):
    feeder = DynFeeder(cy)
    feeder.solve("newton")
    return feeder


@pytest.mark.parametrize("call, exception, message", REFUSALS)
def test_refusals_change_nothing(cy, solved, call, exception, message):
    feeder, solver = solved, solved.solver
    before = feeder.solution()
    currents = feeder.transformer.get_currents(7)
    variables = solver.get_variables()
    with pytest.raises(exception) as failure:
        call(cy, feeder)
    if message is not None:
        assert str(failure.value) == message
    np.testing.assert_array_equal(feeder.solution(), before)
    np.testing.assert_array_equal(feeder.transformer.get_currents(7), currents)
    np.testing.assert_array_equal(solver.get_variables(), variables)
    # The parameters are those of the solution: solving again moves nothing.
    solver.solve_load_flow(20, 1e-9)
    np.testing.assert_allclose(feeder.solution(), before, atol=1e-9)
    feeder.assert_equations()
