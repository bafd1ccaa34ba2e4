"""Controls, projections, flexible parameters and the star and delta flexible loads."""

import gc
import itertools
import sys
import weakref

import numpy as np
import pytest
from support import PHASES, SOLVERS, SolvedCircuit, assert_copies_refused, carray, four_wire_feeder

MODULE = "load_flow_engine.cy_engine"
# Around a 230 V phase: u_min, u_down, u_up, u_max.
THRESHOLDS = (207.0, 220.0, 240.0, 253.0)

DOCSTRINGS = {
    ("CyFlexibleParameter", "compute_power"): "CyFlexibleParameter.compute_power(self, double x, double complex s_th)",
    ("CyFlexibleParameter", "update_parameters"):
        "CyFlexibleParameter.update_parameters(self, double s_max, double q_min, double q_max)",
    ("CyFlexibleLoad", "update_powers"): "CyFlexibleLoad.update_powers(self, double complex[::1] powers)",
    ("CyFlexibleLoad", "update_power"): "CyFlexibleLoad.update_power(self, double complex power)",
    ("CyFlexibleLoad", "get_powers"): "CyFlexibleLoad.get_powers(self, int n)",
    ("CyDeltaFlexibleLoad", "update_powers"): "CyDeltaFlexibleLoad.update_powers(self, double complex[::1] powers)",
    ("CyDeltaFlexibleLoad", "get_powers"): "CyDeltaFlexibleLoad.get_powers(self, int n)",
}


def objects(*items):
    array = np.empty(len(items), dtype=object)
    array[:] = items
    return array


def control(cy, t, alpha=1e3, epsilon=1e-4, thresholds=THRESHOLDS):
    return cy.CyControl(t, *thresholds, alpha, epsilon)


def constant(cy):
    return cy.CyControl("constant", 0, 0, 0, 0, 0, 0)


def volt_var(cy, projection="euclidean", s_max=6000):
    return cy.CyFlexibleParameter(constant(cy), control(cy, "q_u", 200), cy.CyProjection(projection, 200, 1e-4),
                                  s_max, -2000, 2000)


def volt_watt(cy):
    """Production curtailed from 400 V to 420 V across a branch."""
    return cy.CyFlexibleParameter(control(cy, "p_max_u_production", 200, 1e-3, (360, 380, 400, 420)), constant(cy),
                                  cy.CyProjection("euclidean", 200, 1e-4), 8000, 0, 0)


def shared_parameter(cy):
    """Volt-var whose ramps reach both the phase and the line voltages."""
    return cy.CyFlexibleParameter(constant(cy), control(cy, "q_u", 50, 1e-3, (200, 300, 360, 460)),
                                  cy.CyProjection("euclidean", 100, 1e-4), 9000, -1500, 2500)


STAR_POWERS = [5000 + 1500j, 4000 + 1000j, 6000 + 2000j]
DELTA_POWERS = [-6000, -5000 + 500j, -7000]
# Four coupled conductors, row by row.
Z_LINE = np.full(16, 0.012j, dtype=complex)
Z_LINE[::5] = 0.08 + 0.032j


class Feeder(SolvedCircuit):
    """A star source (neutral held at zero) feeds, through a four-conductor line, a far bus with a
    star volt-var load and a delta volt-watt load that generates; the shared parameter serves one
    phase of each."""

    def __init__(self, cy, star_powers=STAR_POWERS, delta_powers=DELTA_POWERS, parameters=None):
        self.cy = cy
        self.var, self.watt, self.shared = parameters or (volt_var(cy), volt_watt(cy), shared_parameter(cy))
        self.elements, _, self.far = four_wire_feeder(cy, Z_LINE)
        self.star = cy.CyFlexibleLoad(4, carray(star_powers), objects(self.var, self.shared, self.var))
        self.delta = cy.CyDeltaFlexibleLoad(3, carray(delta_powers), objects(self.watt, self.shared, self.watt))
        self.far.connect(self.star, [(k, k) for k in range(4)])
        self.far.connect(self.delta, [(k, k) for k in range(3)])
        self.elements += [self.star, self.delta]

    def solution(self):
        return self.far.get_potentials(4)


@pytest.mark.parametrize("cls, method", DOCSTRINGS)
def test_docstrings(cy, cls, method):
    assert getattr(getattr(cy, cls), method).__doc__ == DOCSTRINGS[cls, method]


def test_pickling_and_copying_are_refused(cy):
    f = volt_var(cy)
    wrappers = [constant(cy), cy.CyProjection("keep_p", 1, 1), f, cy.CyFlexibleLoad(2, carray([1]), objects(f)),
                cy.CyDeltaFlexibleLoad(1, carray([1]), objects(f))]
    for wrapper in wrappers:
        assert_copies_refused(wrapper)


# ---------------------------------------------------------------- the law


@pytest.mark.parametrize(
    "make, name, message",
    [
        *[(lambda cy, t: cy.CyControl(t, 1, 2, 3, 4, 5, 6), t, f"{t} is a bad control type name")
          for t in ("Constant", "q_u ", "q_v", "", "p_max_u", "euclidean")],
        *[(lambda cy, t: cy.CyProjection(t, 1, 2), t, f"{t} is a bad projection type name")
          for t in ("Euclidean", "keep_p ", "keep_r", "", "constant")],
    ],
)
def test_type_names_are_exact(cy, make, name, message):
    with pytest.raises(RuntimeError) as failure:
        make(cy, name)
    assert str(failure.value) == message


def test_names_are_taken_as_bytes_too(cy):
    assert cy.CyControl(t=b"q_u", u_min=1, u_down=2, u_up=3, u_max=4, alpha=5, epsilon=6) is not None
    assert cy.CyProjection(bytearray(b"keep_q"), 1, 2) is not None
    with pytest.raises(TypeError):
        cy.CyControl(None, 1, 2, 3, 4, 5, 6)


@pytest.mark.parametrize(
    "p, q, message",
    [
        ("q_u", "constant", "Bad control type for P"),
        ("q_u", "p_max_u_production", "Bad control type for P"),
        ("constant", "p_max_u_consumption", "Bad control type for Q"),
        ("p_max_u_consumption", "p_max_u_production", "Bad control type for Q"),
    ],
)
def test_control_types_are_checked_when_the_law_is_evaluated(cy, p, q, message):
    f = cy.CyFlexibleParameter(control(cy, p), control(cy, q), cy.CyProjection("euclidean", 1, 1), 1, 2, 3)
    with pytest.raises(RuntimeError) as failure:
        f.compute_power(230, 1000)
    assert str(failure.value) == message


@pytest.mark.parametrize("x", [0.0, 230.0, 1e9])
@pytest.mark.parametrize("s_max", [0.0, 10.0, -5.0])
def test_two_constant_controls_return_s_th_unchanged(cy, x, s_max):
    f = cy.CyFlexibleParameter(constant(cy), constant(cy), cy.CyProjection("keep_q", 1e3, 1e-5), s_max, 0, 0)
    assert f.compute_power(x, 7000 - 3000j) == 7000 - 3000j


@pytest.mark.parametrize(
    "p, q, projection, x, s_th, expected",
    [
        # Far beyond the thresholds (sharp ramps): the limits, not NaN.
        ("constant", "q_u", "keep_q", 506.0, 500 + 1000j, 500 + 3000j),
        ("constant", "q_u", "keep_q", 103.5, 500 + 1000j, 500 - 3000j),
        ("p_max_u_production", "constant", "keep_p", 506.0, -5000, 0),
        ("p_max_u_consumption", "constant", "keep_p", 103.5, 5000, 0),
        ("p_max_u_consumption", "constant", "keep_p", 506.0, 5000, 5000),
        # A power twice the limit comes back onto the circle, zero stays zero.
        ("constant", "q_u", "euclidean", 230.0, 6000 + 8000j, 3000 + 4000j),
        ("constant", "q_u", "euclidean", 230.0, 0, 0),
        # keep_q takes its sign from Pt, and 0 counts as positive: about sqrt(eps) s.
        ("constant", "q_u", "keep_q", 230.0, 1000j, 5000 * 1e-5**0.5 + 1000j),
        ("constant", "q_u", "keep_q", 230.0, -2500 + 1000j, -2500 + 1000j),
        ("constant", "q_u", "keep_p", 230.0, 4000 + 4500j, 4000 + 3000j),
    ],
)
def test_the_law_at_its_limits(cy, p, q, projection, x, s_th, expected):
    f = cy.CyFlexibleParameter(control(cy, p, 1e4), control(cy, q, 1e4), cy.CyProjection(projection, 1e3, 1e-5),
                               s_max=5000, q_min=-3000, q_max=3000)
    assert abs(f.compute_power(s_th=s_th, x=x) - expected) < 1e-6


def test_controls_and_projection_may_go_once_the_parameter_exists(cy):
    p, q = control(cy, "p_max_u_production"), control(cy, "q_u")
    projection = cy.CyProjection("euclidean", 1e3, 1e-5)
    f = cy.CyFlexibleParameter(p, q, projection, 5000, -3000, 3000)
    points = [(x, -4000 + 1000j) for x in (200, 215, 230, 246, 260)]
    before = [f.compute_power(*point) for point in points]
    del p, q, projection
    gc.collect()
    assert [f.compute_power(*point) for point in points] == before


def test_update_parameters_is_seen_at_once(cy):
    f = cy.CyFlexibleParameter(constant(cy), control(cy, "q_u", 1e4), cy.CyProjection("keep_q", 1e3, 1e-5),
                               5000, -3000, 3000)
    assert abs(f.compute_power(100, 500).imag + 3000) < 1e-6
    assert f.update_parameters(q_max=2500, s_max=4000, q_min=-1000) is None
    assert abs(f.compute_power(100, 500).imag + 1000) < 1e-6
    assert abs(f.compute_power(300, 500).imag - 2500) < 1e-6


def test_class_typed_arguments_are_checked_after_the_floats(cy):
    c, p = constant(cy), cy.CyProjection("euclidean", 1, 1)
    with pytest.raises(TypeError, match="must be real number, not str"):
        cy.CyFlexibleParameter(5, 5, 5, 1, "q_min", 3)
    refusals = [
        ((5, c, p), f"Argument 'control_p' has incorrect type (expected {MODULE}.CyControl, got int)"),
        ((c, p, p), f"Argument 'control_q' has incorrect type (expected {MODULE}.CyControl, got {MODULE}.CyProjection)"),
        ((c, c, c), f"Argument 'projection' has incorrect type (expected {MODULE}.CyProjection, got {MODULE}.CyControl)"),
        ((None, c, p), "CyControl holds no engine object"),
        ((c, None, p), "CyControl holds no engine object"),
        ((c, c, None), "CyProjection holds no engine object"),
        # Several None: the first in the declared order is named.
        ((None, c, None), "CyControl holds no engine object"),
        ((c, None, None), "CyControl holds no engine object"),
    ]
    for given, message in refusals:
        with pytest.raises(TypeError) as failure:
            cy.CyFlexibleParameter(*given, 1, 2, 3)
        assert str(failure.value) == message
    subclass = type("MyControl", (cy.CyControl,), {})("q_u", *THRESHOLDS, 1e4, 1e-4)
    f = cy.CyFlexibleParameter(c, subclass, cy.CyProjection("keep_q", 1e3, 1e-5), 10, 2, 3)
    assert f.compute_power(1e3, 0.5) == pytest.approx(0.5 + 3j, abs=1e-6)


# ---------------------------------------------------------------- the loads on their own


def test_a_one_phase_load_draws_the_law_at_its_voltage(cy):
    f = volt_var(cy)
    load = cy.CyFlexibleLoad(2, carray([3000 + 1000j]), objects(f))
    bus = cy.CyBus(2, carray([243 + 12j, 2 - 1j]))
    bus.connect(load, [(0, 0), (1, 1)])
    v = load.get_potentials(2)
    expected = f.compute_power(abs(v[0] - v[1]), 3000 + 1000j)
    assert abs(expected - (3000 + 1000j)) > 10  # on the ramp
    np.testing.assert_array_equal(load.get_powers(1), [expected])
    np.testing.assert_array_equal(load.get_powers(3), [expected, 0, 0])
    # Before any solve the port currents were never computed.
    np.testing.assert_array_equal(load.get_inner_currents(1), [0])


def test_the_smallest_loads(cy):
    f = volt_var(cy)
    for make in (lambda: cy.CyFlexibleLoad(1, carray([]), objects()), lambda: cy.CyFlexibleLoad(1, None, None),
                 lambda: cy.CyDeltaFlexibleLoad(0, None, None)):
        load = make()
        assert load.get_powers(0).shape == (0,)
        np.testing.assert_array_equal(load.get_powers(2), [0, 0])
        assert load.update_powers(None) is None
    one_port = cy.CyFlexibleLoad(1, None, objects(f, f))  # items beyond those taken are ignored
    assert one_port.update_power(5 + 5j) is None
    for make, n in ((cy.CyFlexibleLoad, 0), (cy.CyFlexibleLoad, -1), (cy.CyDeltaFlexibleLoad, -1)):
        with pytest.raises(RuntimeError, match="^vector$"):
            make(n, None, None)


def test_one_parameter_may_serve_every_branch(cy):
    f = volt_watt(cy)
    delta = cy.CyDeltaFlexibleLoad(3, carray(DELTA_POWERS), objects(f, f, f))
    bus = cy.CyBus(3, carray(PHASES * 1.005))
    bus.connect(delta, [(0, 0), (1, 1), (2, 2)])
    v = bus.get_potentials(3)
    u = v - np.roll(v, -1)
    expected = [f.compute_power(abs(u[i]), DELTA_POWERS[i]) for i in range(3)]
    np.testing.assert_allclose(delta.get_powers(3), expected, rtol=1e-12)
    np.testing.assert_allclose(delta.get_inner_currents(3), np.conj(np.array(expected) / u), rtol=1e-12)


BOUNDARY = [
    # (make the call from cy and a parameter f, exception, message)
    (lambda cy, f: cy.CyFlexibleLoad(4, carray([1, 2]), objects(f, f, f)), ValueError,
     "powers needs at least 3 values, got 2"),
    (lambda cy, f: cy.CyFlexibleLoad(4, None, objects(f, f, f)), ValueError, "powers needs at least 3 values, got 0"),
    (lambda cy, f: cy.CyDeltaFlexibleLoad(3, carray([1, 2]), objects(f, f, f)), ValueError,
     "powers needs at least 3 values, got 2"),
    # powers is checked first.
    (lambda cy, f: cy.CyFlexibleLoad(2, None, None), ValueError, "powers needs at least 1 values, got 0"),
    (lambda cy, f: cy.CyFlexibleLoad(4, carray([1, 2, 3]), objects(f, f)), ValueError,
     "parameters needs at least 3 values, got 2"),
    (lambda cy, f: cy.CyFlexibleLoad(2, carray([1]), None), ValueError, "parameters needs at least 1 values, got 0"),
    (lambda cy, f: cy.CyDeltaFlexibleLoad(3, carray([1, 2, 3]), objects(f, f)), ValueError,
     "parameters needs at least 3 values, got 2"),
    (lambda cy, f: cy.CyFlexibleLoad(4, carray([1, 2, 3]), objects(f, 5, None)), TypeError,
     f"parameters[1] has incorrect type (expected {MODULE}.CyFlexibleParameter, got int)"),
    (lambda cy, f: cy.CyFlexibleLoad(4, carray([1, 2, 3]), objects(f, f, None)), TypeError,
     f"parameters[2] has incorrect type (expected {MODULE}.CyFlexibleParameter, got NoneType)"),
    (lambda cy, f: cy.CyDeltaFlexibleLoad(2, carray([1, 2]), objects(constant(cy), f)), TypeError,
     f"parameters[0] has incorrect type (expected {MODULE}.CyFlexibleParameter, got {MODULE}.CyControl)"),
    (lambda cy, f: cy.CyFlexibleLoad(4, carray([1, 2, 3]), np.zeros(3)), ValueError,
     "Buffer dtype mismatch, expected 'Python object' but got 'double'"),
    (lambda cy, f: cy.CyFlexibleLoad(4, carray([1, 2, 3]), [f, f, f]), TypeError,
     "a bytes-like object is required, not 'list'"),
]


@pytest.mark.parametrize("call, exception, message", BOUNDARY)
def test_construction_refusals_build_and_keep_nothing(cy, call, exception, message):
    f = volt_var(cy)
    before = sys.getrefcount(f)
    with pytest.raises(exception) as failure:
        call(cy, f)
    assert str(failure.value) == message
    del failure
    gc.collect()
    assert sys.getrefcount(f) == before


def method_refusals(feeder, one_phase):
    return [
        (lambda: feeder.star.update_powers(carray([7, 7])), ValueError, "powers needs at least 3 values, got 2"),
        (lambda: feeder.star.update_powers(None), ValueError, "powers needs at least 3 values, got 0"),
        (lambda: feeder.delta.update_powers(carray([7, 7])), ValueError, "powers needs at least 3 values, got 2"),
        (lambda: feeder.star.update_power(7), ValueError, "update_power needs an element with a single value"),
        (lambda: feeder.star.get_powers(2), ValueError, "get_powers: n = 2 is below the 3 values the load writes"),
        (lambda: feeder.delta.get_powers(0), ValueError, "get_powers: n = 0 is below the 3 values the load writes"),
        (lambda: one_phase.get_powers(0), ValueError, "get_powers: n = 0 is below the 1 value the load writes"),
        (lambda: feeder.star.get_powers(-1), ValueError, None),
        (lambda: feeder.star.update_powers(np.zeros(3)), ValueError,
         "Buffer dtype mismatch, expected 'double complex' but got 'double'"),
    ]


@pytest.mark.parametrize("kind", ["newton", "backward_forward"])
def test_refused_calls_change_nothing(cy, kind):
    feeder = Feeder(cy)
    one_phase = cy.CyFlexibleLoad(2, carray([100]), objects(feeder.var))
    first = feeder.solve(kind)
    powers = feeder.star.get_powers(3), feeder.delta.get_powers(3)
    for call, exception, message in method_refusals(feeder, one_phase):
        with pytest.raises(exception) as failure:
            call()
        if message:
            assert str(failure.value) == message
    np.testing.assert_array_equal(feeder.star.get_powers(3), powers[0])
    np.testing.assert_array_equal(feeder.delta.get_powers(3), powers[1])
    np.testing.assert_allclose(feeder.solve(kind), first, atol=1e-9)


# ---------------------------------------------------------------- solved feeders


def branch_voltages(potentials):
    return potentials - np.roll(potentials, -1)


@pytest.mark.parametrize("kind", SOLVERS)
def test_the_law_holds_at_the_solution(cy, kind):
    feeder = Feeder(cy)
    v = feeder.solve(kind)
    newton = kind != "backward_forward"
    rtol = 1e-9 if newton else 1e-6
    u = v[:3] - v[3]
    law = np.array([f.compute_power(abs(u[i]), STAR_POWERS[i])
                    for i, f in enumerate((feeder.var, feeder.shared, feeder.var))])
    drawn = u * np.conj(feeder.star.get_currents(3))
    np.testing.assert_allclose(drawn, law, rtol=rtol)
    ud = branch_voltages(v[:3])
    delta_law = np.array([f.compute_power(abs(ud[i]), DELTA_POWERS[i])
                          for i, f in enumerate((feeder.watt, feeder.shared, feeder.watt))])
    inner = feeder.delta.get_inner_currents(3)
    np.testing.assert_allclose(ud * np.conj(inner), delta_law, rtol=1e-9)
    np.testing.assert_allclose(feeder.delta.get_currents(3), inner - np.roll(inner, 1), rtol=rtol, atol=1e-9)
    if newton:
        np.testing.assert_allclose(feeder.star.get_powers(3), drawn, rtol=1e-9)
        np.testing.assert_allclose(feeder.delta.get_powers(3), delta_law, rtol=1e-12)
    # The laws are at work: the shared phase is on its ramp and the generation is curtailed.
    assert abs(law[1] - STAR_POWERS[1]) > 100 and abs(delta_law[0] - DELTA_POWERS[0]) > 10


def test_all_solvers_find_the_same_potentials(cy):
    reference = Feeder(cy).solve("newton")
    for kind in ("goldstein", "backward_forward"):
        np.testing.assert_allclose(Feeder(cy).solve(kind), reference, atol=1e-6)


@pytest.mark.parametrize("kind", SOLVERS)
def test_updates_between_solves_act_like_a_network_built_with_them(cy, kind):
    feeder = Feeder(cy)
    first = feeder.solve(kind)
    new_star = [6000 + 500j, 3000 + 2000j, 5000]
    new_delta = [-8000, -3000, -7500 + 1000j]
    assert feeder.shared.update_parameters(7000, -2500, 1000) is None
    assert feeder.star.update_powers(carray([*new_star, 99])) is None
    feeder.delta.update_powers(powers=carray(new_delta))
    np.testing.assert_array_equal(feeder.far.get_potentials(4), first)
    second = feeder.solve(kind)
    assert np.abs(second - first).max() > 0.1

    shared = shared_parameter(cy)
    shared.update_parameters(7000, -2500, 1000)
    fresh = Feeder(cy, new_star, new_delta, (volt_var(cy), volt_watt(cy), shared)).solve(kind)
    np.testing.assert_allclose(second, fresh, atol=1e-6)


@pytest.mark.parametrize("kind", ["newton", "backward_forward"])
def test_update_power_of_a_one_phase_load(cy, kind):
    def circuit(power):
        feeder = Feeder(cy)
        load = cy.CyFlexibleLoad(2, carray([power]), objects(feeder.var))
        feeder.far.connect(load, [(1, 0), (3, 1)])
        feeder.elements.append(load)
        return feeder, load

    feeder, load = circuit(2000 + 500j)
    before = feeder.solve(kind)
    assert load.update_power(power=-6000 + 1000j) is None
    after = feeder.solve(kind)
    assert np.abs(after - before).max() > 0.1
    np.testing.assert_allclose(after, circuit(-6000 + 1000j)[0].solve(kind), atol=1e-6)


def battery(cy, power):
    """A keep_q battery on phase 1 of the far bus of a four-wire feeder: (elements, line, battery)."""
    f = cy.CyFlexibleParameter(constant(cy), control(cy, "q_u", 200), cy.CyProjection("keep_q", 200, 1e-4),
                               6000, -2000, 2000)
    elements, line, far = four_wire_feeder(cy, Z_LINE)
    load = cy.CyFlexibleLoad(2, carray([power]), objects(f))
    far.connect(load, [(1, 0), (3, 1)])
    return [*elements, load], line, load, f


@pytest.mark.parametrize("kind", ["newton", "goldstein"])
def test_keep_q_follows_the_sign_of_its_power_on_one_solver(cy, kind):
    make, iterations, tolerance = SOLVERS[kind]
    elements, line, load, f = battery(cy, 4800 + 500j)
    solver = make(cy, cy.CyElectricalNetwork(objects(*elements), len(elements)))
    for power in (4800 + 500j, -4800 + 500j, 4800 + 500j, 500j):
        load.update_power(power)
        done, error = solver.solve_load_flow(iterations, tolerance)
        assert done < iterations and error <= tolerance
        v, i = load.get_potentials(2), load.get_currents(2)
        # At the battery's bus the line brings what the battery draws, on both conductors.
        side2 = line.get_side_currents(4, 4)[1]
        np.testing.assert_allclose(side2[[1, 3]] + i, 0, atol=1e-7)
        drawn = (v[0] - v[1]) * np.conj(i[0])
        assert np.sign(drawn.real) == (1 if power.real >= 0 else -1)
        np.testing.assert_allclose(drawn, f.compute_power(abs(v[0] - v[1]), power), rtol=1e-9)

        fresh_elements, _, fresh_load, _ = battery(cy, power)
        fresh = make(cy, cy.CyElectricalNetwork(objects(*fresh_elements), len(fresh_elements)))
        assert fresh.solve_load_flow(iterations, tolerance)[1] <= tolerance
        np.testing.assert_allclose(fresh_load.get_potentials(2), v, atol=1e-9)
        np.testing.assert_allclose(fresh_load.get_currents(2), i, atol=1e-9)


@pytest.mark.parametrize("which, message", [("p", "Bad control type for P"), ("q", "Bad control type for Q")])
def test_a_bad_control_fails_every_solver_and_the_next_one_is_sound(cy, which, message):
    p = control(cy, "q_u") if which == "p" else constant(cy)
    q = control(cy, "p_max_u_production") if which == "q" else constant(cy)
    bad = cy.CyFlexibleParameter(p, q, cy.CyProjection("euclidean", 1, 1), 1, 2, 3)
    feeder = Feeder(cy, parameters=(bad, volt_watt(cy), shared_parameter(cy)))
    network = feeder.network()
    for build in (lambda: cy.CyNewton(network, True), lambda: cy.CyNewtonGoldstein(network, False, 0.1, 0.9, True)):
        with pytest.raises(RuntimeError) as failure:
            build()
        assert str(failure.value) == message
    sweep = cy.CyBackwardForward(network)
    with pytest.raises(RuntimeError) as failure:
        sweep.solve_load_flow(10, 1e-9)
    assert str(failure.value) == message
    with pytest.raises(RuntimeError) as failure:
        feeder.star.get_powers(3)
    assert str(failure.value) == message
    np.testing.assert_allclose(Feeder(cy).solve("newton"), Feeder(cy).solve("goldstein"), atol=1e-6)


# ---------------------------------------------------------------- lifetimes


def tracked_parameter(cy):
    """A flexible parameter of a Python subclass, which takes weak references and attributes."""
    return type("TrackedParameter", (cy.CyFlexibleParameter,), {})(
        constant(cy), control(cy, "q_u", 200), cy.CyProjection("euclidean", 200, 1e-4), 6000, -2000, 2000)


def test_a_load_keeps_its_parameter_wrappers_alive(cy):
    taken, ignored = tracked_parameter(cy), tracked_parameter(cy)
    watched = weakref.ref(taken), weakref.ref(ignored)
    load = cy.CyFlexibleLoad(3, carray([1000, 2000]), objects(taken, taken, ignored))
    referents = gc.get_referents(load)
    assert taken in referents and ignored not in referents
    del taken, ignored, referents
    gc.collect()
    assert [w() is None for w in watched] == [False, True]
    assert load.get_powers(2).shape == (2,)
    del load
    gc.collect()
    assert watched[0]() is None


def test_cycles_through_the_load_and_its_parameters_are_collected(cy):
    f = tracked_parameter(cy)
    load = type("TrackedLoad", (cy.CyFlexibleLoad,), {})(2, carray([1000]), objects(f))
    f.load = load  # parameter -> load -> parameter
    load.itself = load
    network = cy.CyElectricalNetwork(objects(load), 1)
    f.network = network
    watched = [weakref.ref(f), weakref.ref(load)]
    del f, load, network
    gc.collect()
    assert all(w() is None for w in watched)


NAMES = ("parameter", "load", "network", "solver")


@pytest.mark.parametrize("order", list(itertools.permutations(NAMES)))
def test_wrappers_go_in_any_order_and_the_survivors_still_work(cy, order):
    shared = tracked_parameter(cy)
    feeder = Feeder(cy, parameters=(volt_var(cy), volt_watt(cy), shared))
    network = feeder.network()
    alive = {"parameter": shared, "load": feeder.star, "network": network, "solver": cy.CyNewton(network, True)}
    alive["solver"].solve_load_flow(20, 1e-9)
    watched = weakref.ref(shared)
    del feeder, network, shared
    for name in order:
        del alive[name]
        gc.collect()
        # Both loads use the parameter; the network holds them, the solver the network.
        assert (watched() is None) == (not alive)
        if "parameter" in alive:
            alive["parameter"].update_parameters(8000, -1000, 1500)
            assert np.isfinite(alive["parameter"].compute_power(240, 1000 + 100j))
        if "load" in alive:
            alive["load"].update_powers(carray(STAR_POWERS))
            assert np.all(np.isfinite(alive["load"].get_powers(3)))
            alive["load"].get_currents(4), alive["load"].get_inner_currents(3), alive["load"].get_potentials(4)
        if "solver" in alive:
            alive["solver"].solve_load_flow(20, 1e-9)
        elif "network" in alive:
            cy.CyBackwardForward(alive["network"]).solve_load_flow(100, 1e-9)
