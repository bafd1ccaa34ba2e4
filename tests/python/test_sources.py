"""Star and delta voltage sources."""

import copy
import pickle

import numpy as np
import pytest
from support import NO_REDUCE, PHASES, SolvedCircuit, carray, solver_table

DOCSTRINGS = {
    ("CyVoltageSource", "update_voltages"): "CyVoltageSource.update_voltages(self, double complex[::1] voltages)",
    ("CyVoltageSource", "update_voltage"): "CyVoltageSource.update_voltage(self, double complex voltage)",
    ("CyDeltaVoltageSource", "update_voltages"):
        "CyDeltaVoltageSource.update_voltages(self, double complex[::1] voltages)",
}

# The Newton-family flags that the line and load tests leave out.
SOLVERS = solver_table(newton_optimizes=False)

ADMITTANCES = np.array([0.05 - 0.01j, 0.02, 0.03 + 0.005j])


class Circuit(SolvedCircuit):
    """A source feeds an admittance load through a line on every conductor. Star: the source's
    neutral is held at zero; delta: a delta reference sits on the source's ports."""

    solvers = SOLVERS

    def __init__(self, cy, delta, voltages):
        self.cy = cy
        n = len(voltages) + 1
        self.source = (cy.CyDeltaVoltageSource if delta else cy.CyVoltageSource)(n, carray(voltages))
        if delta:
            ref = cy.CyDeltaPotentialRef(n)
            self.load = cy.CyDeltaAdmittanceLoad(n, ADMITTANCES[:n])
        else:
            ref = cy.CyPotentialRef()
            self.load = cy.CyAdmittanceLoad(n, ADMITTANCES[: n - 1])
        ref.connect(self.source, [(k, k) for k in range(n)] if delta else [(0, n - 1)])
        z_line = np.zeros((n, n), dtype=complex)
        np.fill_diagonal(z_line, 0.1 + 0.05j)
        line = cy.CySimplifiedLine(n, z_line.ravel())
        line.connect_side(self.source, [(k, k) for k in range(n)], True)
        line.connect_side(self.load, [(k, k) for k in range(n)], False)
        self.n = n
        self.elements = [self.source, ref, line, self.load]

    def solution(self):
        return np.concatenate([self.source.get_potentials(self.n), self.load.get_potentials(self.n)])


@pytest.mark.parametrize("cls, method", DOCSTRINGS)
def test_docstrings(cy, cls, method):
    assert getattr(getattr(cy, cls), method).__doc__ == DOCSTRINGS[cls, method]


@pytest.mark.parametrize("cls", ["CyVoltageSource", "CyDeltaVoltageSource"])
def test_pickling_and_copying_are_refused(cy, cls):
    source = getattr(cy, cls)(3, carray(PHASES[:2]))
    for refuse in (pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__reduce__()):
        with pytest.raises(TypeError) as failure:
            refuse(source)
        assert str(failure.value) == NO_REDUCE


def test_the_delta_source_has_no_scalar_update(cy):
    with pytest.raises(AttributeError):
        cy.CyDeltaVoltageSource(2, carray([400])).update_voltage(400)


@pytest.mark.parametrize("cls", ["CyVoltageSource", "CyDeltaVoltageSource"])
@pytest.mark.parametrize(
    "n, voltages, exception, message",
    [
        (0, None, RuntimeError, "vector"),
        (-3, carray([1, 2]), RuntimeError, "vector"),
        (4, carray([1, 2]), ValueError, "voltages needs at least 3 values, got 2"),
        (2, None, ValueError, "voltages needs at least 1 values, got 0"),
    ],
)
def test_constructor_refusals(cy, cls, n, voltages, exception, message):
    with pytest.raises(exception) as failure:
        getattr(cy, cls)(n, voltages)
    assert str(failure.value) == message


@pytest.mark.parametrize("cls", ["CyVoltageSource", "CyDeltaVoltageSource"])
def test_a_one_port_source_reads_no_voltage(cy, cls):
    for voltages in (None, carray([])):
        source = getattr(cy, cls)(n=1, voltages=voltages)
        assert source.update_voltages(None) is None
        assert list(source.get_currents(1)) == [0]
    if cls == "CyVoltageSource":
        assert source.update_voltage(5) is None


# ---------------------------------------------------------------- at the solution


@pytest.mark.parametrize("kind", SOLVERS)
def test_star_source_fixes_each_phase_against_the_neutral(cy, kind):
    circuit = Circuit(cy, False, PHASES)
    potentials = circuit.solve(kind)
    np.testing.assert_allclose(potentials[:4], [*PHASES, 0], atol=1e-9)
    load = potentials[4:]
    assert np.abs(load[:3] - PHASES).min() > 0.1  # the line carries current
    currents = circuit.source.get_currents(4)
    # The source supplies what the load draws; its neutral closes the sum.
    np.testing.assert_allclose(currents[:3], -ADMITTANCES * (load[:3] - load[3]), rtol=1e-9)
    np.testing.assert_allclose(currents[3], -currents[:3].sum(), atol=1e-12)


@pytest.mark.parametrize("kind", SOLVERS)
def test_delta_source_fixes_each_port_against_the_next(cy, kind):
    u01, u12 = 400 + 30j, -200 - 346j
    circuit = Circuit(cy, True, [u01, u12])
    v = circuit.solve(kind)[:3]
    np.testing.assert_allclose([v[0] - v[1], v[1] - v[2]], [u01, u12], atol=1e-9)
    currents = circuit.source.get_currents(3)
    np.testing.assert_allclose(currents, -circuit.load.get_currents(3), atol=1e-9)
    assert abs(currents.sum()) < 1e-9


# ---------------------------------------------------------------- updates


@pytest.mark.parametrize("kind", SOLVERS)
@pytest.mark.parametrize("when", ["before_network", "before_solver", "between_solves"])
@pytest.mark.parametrize("delta", [False, True], ids=["star", "delta"])
def test_update_voltages_acts_like_a_source_built_with_them(cy, delta, when, kind):
    old = [400, -200 - 346j] if delta else PHASES
    new = [420 + 10j, -190 - 330j] if delta else PHASES * 1.05 * np.exp(0.1j)
    circuit = Circuit(cy, delta, old)
    longer = carray([*new, 999])  # extra values are ignored
    if when == "before_network":
        circuit.source.update_voltages(longer)
    network = circuit.network()
    if when == "before_solver":
        assert circuit.source.update_voltages(voltages=longer) is None
    if when == "between_solves":
        first = circuit.solve(kind, network)
        circuit.source.update_voltages(longer)
        np.testing.assert_array_equal(circuit.source.get_potentials(circuit.n), first[: circuit.n])
    fresh = Circuit(cy, delta, new)
    expected = fresh.solve("newton")
    np.testing.assert_allclose(circuit.solve(kind, network), expected, atol=1e-6)
    np.testing.assert_allclose(circuit.load.get_currents(circuit.n), fresh.load.get_currents(fresh.n), atol=1e-6)


@pytest.mark.parametrize("kind", ["newton", "backward_forward"])
@pytest.mark.parametrize("delta", [False, True], ids=["star", "delta"])
def test_refused_updates_change_nothing(cy, delta, kind):
    circuit = Circuit(cy, delta, [400, -200 - 346j] if delta else PHASES)
    first = circuit.solve(kind)
    refusals = [
        (lambda: circuit.source.update_voltages(carray([1])), f"voltages needs at least {circuit.n - 1} values, got 1"),
        (lambda: circuit.source.update_voltages(None), f"voltages needs at least {circuit.n - 1} values, got 0"),
    ]
    if not delta:
        refusals.append(
            (lambda: circuit.source.update_voltage(1), "update_voltage needs an element with a single value")
        )
    for refuse, message in refusals:
        with pytest.raises(ValueError) as failure:
            refuse()
        assert str(failure.value) == message
    np.testing.assert_allclose(circuit.solve(kind), first, atol=1e-12)


@pytest.mark.parametrize("kind", SOLVERS)
def test_update_voltage_of_a_single_phase_source(cy, kind):
    by_scalar, by_array = Circuit(cy, False, [230]), Circuit(cy, False, [230])
    before = by_scalar.solve(kind)
    by_array.solve(kind)
    assert by_scalar.source.update_voltage(voltage=240 + 5j) is None
    by_array.source.update_voltages(carray([240 + 5j]))
    after = by_scalar.solve(kind)
    np.testing.assert_allclose(after, Circuit(cy, False, [240 + 5j]).solve("newton"), atol=1e-6)
    assert abs(after[0] - before[0]) > 10
    np.testing.assert_allclose(by_array.solve(kind), after, atol=1e-9)


# ---------------------------------------------------------------- non-finite voltages

NAN = complex("nan+nanj")


@pytest.mark.parametrize("kind", SOLVERS)
@pytest.mark.parametrize(
    "delta, built, updated",
    [
        (False, [NAN] * 3, None),
        (False, PHASES, [NAN] * 3),
        (True, [400, -200 - 346j], [complex("inf"), -200 - 346j]),
        (False, PHASES, None),
    ],
    ids=["built_nan", "updated_nan_after_a_solve", "delta_updated_inf", "finite"],
)
def test_a_source_with_nothing_drawn_never_converges_to_non_finite_potentials(cy, delta, built, updated, kind):
    # Nothing draws current from the source's nodes, so only the imposed potentials can show the fault.
    n = len(built) + 1
    source = (cy.CyDeltaVoltageSource if delta else cy.CyVoltageSource)(n, carray(built))
    ref = cy.CyDeltaPotentialRef(n) if delta else cy.CyPotentialRef()
    ref.connect(source, [(k, k) for k in range(n)] if delta else [(0, n - 1)])
    make, iterations, tolerance = SOLVERS[kind]
    solver = make(cy, cy.CyElectricalNetwork(np.array([source, ref], dtype=object), 2))

    def solves_to(voltages):
        done, error = solver.solve_load_flow(iterations, tolerance)
        assert done < iterations and error <= tolerance
        v = source.get_potentials(n)
        np.testing.assert_allclose(v[:-1] - v[1:] if delta else v[:-1] - v[-1], voltages, atol=1e-9)

    def refused():
        with pytest.raises(RuntimeError) as failure:
            solver.solve_load_flow(iterations, tolerance)
        # Newton's equations are linear here: the NaN lasts to the iteration limit, where it fails.
        assert str(failure.value) == ("2 NaN value encountered at iteration 1. " if kind == "backward_forward"
                                      else f"1 NaN value encountered at iteration {iterations}. ")

    if updated is not None:
        solves_to(built)
        source.update_voltages(carray(updated))
    bad = built if updated is None else updated
    if np.isfinite(bad).all():
        solves_to(bad)
        return
    refused()
    good = carray([400, -200 - 346j] if delta else PHASES) * 1.02
    source.update_voltages(good)
    if kind == "backward_forward" and not delta:
        solves_to(good)  # the sources rewrite every potential the failure left
        return
    # Newton's variables and the delta chain's reference port keep the non-finite values, and a solve
    # starts from them: still no convergence until reset_inputs starts afresh.
    refused()
    solver.reset_inputs()
    solves_to(good)
