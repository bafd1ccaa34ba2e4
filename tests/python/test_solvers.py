"""The solver wrappers: solving, the variables, the Jacobian and residuals, export and diagnosis."""

import pickle
from types import SimpleNamespace

import numpy as np
import pytest

MODULE = "load_flow_engine.cy_engine"
U = 230.0
Z = 0.4 + 0.1j  # ohm, each of the two conductors

SOLVERS = {
    "CyNewton": lambda cy, network: cy.CyNewton(network, False),
    "CyNewtonOptimized": lambda cy, network: cy.CyNewton(network, True),
    "CyNewtonGoldstein": lambda cy, network: cy.CyNewtonGoldstein(network, True, 0.1, 0.9, True),
    "CyBackwardForward": lambda cy, network: cy.CyBackwardForward(network),
}
NEWTON_FAMILY = [name for name in SOLVERS if name != "CyBackwardForward"]


def objects(*items):
    array = np.empty(len(items), dtype=object)
    array[:] = items
    return array


def complex_array(*values):
    return np.array(values, dtype=complex)


def circuit(cy, power=2000 + 600j, extra=()):
    """A single-phase source, its neutral held at zero, a two-conductor line and a power load.

    Free nodes: the source's phase, the bus's phase and neutral; then the source current: 8
    variables.
    """
    source = cy.CyVoltageSource(2, complex_array(U))
    ref = cy.CyPotentialRef()
    source.connect(ref, [(1, 0)])
    line = cy.CySimplifiedLine(2, complex_array(Z, 0, 0, Z))
    bus = cy.CyBus(2, complex_array(U, 0))
    line.connect_side(source, [(0, 0), (1, 1)], True)
    line.connect_side(bus, [(0, 0), (1, 1)], False)
    load = cy.CyPowerLoad(2, complex_array(power))
    bus.connect(load, [(0, 0), (1, 1)])
    elements = [source, ref, line, bus, load, *extra]
    network = cy.CyElectricalNetwork(objects(*elements), len(elements))
    return SimpleNamespace(source=source, ref=ref, line=line, bus=bus, load=load, elements=elements, network=network)


def load_voltage(power):
    """The voltage across the load, from V = U - 2 Z conj(S / V)."""
    v = complex(U)
    for _ in range(200):
        v = U - 2 * Z * (power / v).conjugate()
    return v


def across(bus):
    v = bus.get_potentials(2)
    return v[0] - v[1]


@pytest.mark.parametrize("name", SOLVERS)
def test_solution_follows_the_circuit_law(cy, name):
    c = circuit(cy)
    solver = SOLVERS[name](cy, c.network)  # the potentials are read through its values
    iterations, error = solver.solve_load_flow(50, 1e-10)
    assert type(iterations) is int and type(error) is float
    assert 1 <= iterations < 50 and error <= 1e-10
    assert abs(across(c.bus) - load_voltage(2000 + 600j)) < 1e-6
    # The load draws its power; the neutral carries its current back.
    currents = c.load.get_currents(2)
    assert across(c.bus) * currents[0].conjugate() == pytest.approx(2000 + 600j)
    assert currents[1] == -currents[0]


@pytest.mark.parametrize("name", SOLVERS)
def test_the_iteration_limit_is_no_failure(cy, name):
    solver = SOLVERS[name](cy, circuit(cy).network)
    assert solver.solve_load_flow(1, 0.0)[0] == 1


@pytest.mark.parametrize("name", NEWTON_FAMILY)
def test_no_newton_step_leaves_the_variables(cy, name):
    solver = SOLVERS[name](cy, circuit(cy).network)
    start = solver.get_variables()
    iterations, error = solver.solve_load_flow(0, 1e-10)
    assert iterations == 0 and error == np.max(np.abs(solver.get_residuals())) > 1
    assert list(solver.get_variables()) == list(start)


def nan_network(cy):
    """A power load across a bus at zero potential: its currents are not finite."""
    bus = cy.CyBus(2, complex_array(0, 0))
    load = cy.CyPowerLoad(2, complex_array(100))
    bus.connect(load, [(0, 0), (1, 1)])
    return cy.CyElectricalNetwork(objects(bus, load), 2)


def floating_bus_network(cy):
    return circuit(cy, extra=[cy.CyBus(1, complex_array(5))]).network


@pytest.mark.parametrize(
    "network, name, message",
    [
        (nan_network, "CyNewton", "1 NaN value encountered at iteration 0. "),
        (nan_network, "CyNewtonGoldstein", "1 NaN value encountered at iteration 0. "),
        (nan_network, "CyBackwardForward", "2 NaN value encountered at iteration 1. "),
        (floating_bus_network, "CyNewton", "1 Decomposition failed, singular matrix at iteration 0. "),
    ],
)
def test_engine_failures_arrive_with_their_message(cy, network, name, message):
    with pytest.raises(RuntimeError) as failure:
        SOLVERS[name](cy, network(cy)).solve_load_flow(10, 1e-10)
    assert str(failure.value) == message


# ---------------------------------------------------------------- variables


@pytest.mark.parametrize("name", SOLVERS)
def test_variables_in_network_order(cy, name):
    first, second = cy.CyBus(2, complex_array(1 + 2j, 3 + 4j)), cy.CyBus(1, complex_array(5 + 6j))
    ref = cy.CyPotentialRef()
    first.connect(ref, [(0, 0)])  # held at zero: not a variable
    solver = SOLVERS[name](cy, cy.CyElectricalNetwork(objects(first, ref, second), 3))
    values = solver.get_variables()
    assert values.dtype == np.float64 and list(values) == [3, 4, 5, 6]
    assert solver.get_variables() is not values
    # The source adds its current after the nodes.
    assert len(SOLVERS[name](cy, circuit(cy).network).get_variables()) == 8


@pytest.mark.parametrize("name", SOLVERS)
def test_set_variables_moves_the_potentials_at_once(cy, name):
    c = circuit(cy)
    solver = SOLVERS[name](cy, c.network)
    solver.solve_load_flow(50, 1e-10)
    currents = c.load.get_currents(2)
    given = np.arange(1.0, 11.0)  # longer than needed: the rest is ignored
    assert solver.set_variables(given) is None
    assert list(solver.get_variables()) == list(given[:8])
    assert list(c.source.get_potentials(2)) == [1 + 2j, 0]
    assert list(c.bus.get_potentials(2)) == [3 + 4j, 5 + 6j]
    assert list(c.load.get_currents(2)) == list(currents)  # until the next solve


@pytest.mark.parametrize(
    "given, exception, message",
    [
        (np.zeros(7), ValueError, "variables needs at least 8 values, got 7"),
        (None, ValueError, "variables needs at least 8 values, got 0"),
        (np.zeros(8, dtype=np.float32), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
        (np.zeros(16)[::2], ValueError, None),  # NumPy refuses the strided view
        ([0.0] * 8, TypeError, None),
    ],
)
def test_set_variables_refusals_change_nothing(cy, given, exception, message):
    c = circuit(cy)
    solver = cy.CyBackwardForward(c.network)
    before = solver.get_variables()
    with pytest.raises(exception) as failure:
        solver.set_variables(given)
    if message is not None:
        assert str(failure.value) == message
    assert list(solver.get_variables()) == list(before)


@pytest.mark.parametrize("name", SOLVERS)
def test_reset_inputs_restores_the_start_but_keeps_updated_parameters(cy, name):
    c = circuit(cy)
    solver = SOLVERS[name](cy, c.network)
    start = list(solver.get_variables())
    start_potentials = list(c.bus.get_potentials(2))
    solver.solve_load_flow(50, 1e-10)
    c.load.update_powers(complex_array(3000 + 100j))
    assert solver.reset_inputs() is None
    assert list(solver.get_variables()) == start
    assert list(c.bus.get_potentials(2)) == start_potentials
    solver.solve_load_flow(50, 1e-10)
    assert abs(across(c.bus) - load_voltage(3000 + 100j)) < 1e-6


# ---------------------------------------------------------------- Jacobian and residuals


def residuals_at(solver, x):
    solver.set_variables(x)
    return solver.get_residuals()


@pytest.mark.parametrize("name", NEWTON_FAMILY)
@pytest.mark.parametrize("solved", [False, True])
def test_jacobian_is_the_derivative_of_the_residuals(cy, name, solved):
    solver = SOLVERS[name](cy, circuit(cy).network)
    if solved:
        solver.solve_load_flow(50, 1e-10)
    x = solver.get_variables()
    jacobian = solver.get_jacobian()
    assert jacobian.shape == (8, 8) and jacobian.dtype == np.float64 and jacobian.flags.c_contiguous
    h = 1e-6
    for k in range(8):
        step = np.zeros(8)
        step[k] = h
        column = (residuals_at(solver, x + step) - residuals_at(solver, x - step)) / (2 * h)
        np.testing.assert_allclose(jacobian[:, k], column, rtol=1e-6, atol=1e-6)
    solver.set_variables(x)


@pytest.mark.parametrize("name", NEWTON_FAMILY)
def test_jacobian_and_residuals_see_the_parameters_of_the_last_solve(cy, name):
    c = circuit(cy)
    solver = SOLVERS[name](cy, c.network)
    residuals, jacobian = solver.get_residuals(), solver.get_jacobian()
    assert residuals.shape == (8,) and residuals.dtype == np.float64
    c.load.update_powers(complex_array(9000 + 4000j))
    assert list(solver.get_residuals()) == list(residuals)
    assert np.array_equal(solver.get_jacobian(), jacobian)
    solver.solve_load_flow(50, 1e-10)
    assert np.max(np.abs(solver.get_residuals())) <= 1e-10
    solver.reset_inputs()
    assert not np.array_equal(solver.get_residuals(), residuals)  # the new power is on the tape


def test_a_dense_jacobian_is_refused_before_it_is_made(cy):
    n = 32768  # 65536 variables: 32 GiB of Jacobian
    big = cy.CyBus(n, np.zeros(n, dtype=complex))
    solver = cy.CyNewton(cy.CyElectricalNetwork(objects(big), 1), False)
    with pytest.raises(MemoryError) as failure:
        solver.get_jacobian()
    assert str(failure.value) == "get_jacobian: a dense Jacobian of 65536 variables is too large"
    assert solver.get_residuals().shape == (65536,)


def read_market(path):
    lines = path.read_text().splitlines()
    return lines[0], [float(x) if "." in x or "e" in x else int(x) for x in lines[1].split()], lines[2:]


@pytest.mark.parametrize("as_bytes", [False, True])
def test_save_matrix_writes_the_jacobian_and_residuals(cy, tmp_path, as_bytes):
    solver = cy.CyNewton(circuit(cy).network, False)
    prefix = str(tmp_path / "feeder")
    assert solver.save_matrix(prefix.encode() if as_bytes else prefix) is None
    header, (rows, columns, entries), body = read_market(tmp_path / "feeder.mtx")
    assert header == "%%MatrixMarket matrix coordinate  real general"
    assert (rows, columns, entries) == (8, 8, len(body))
    written = np.zeros((8, 8))
    for line in body:
        i, j, value = line.split()
        written[int(i) - 1, int(j) - 1] = float(value)
    np.testing.assert_array_equal(written, solver.get_jacobian())
    header, size, body = read_market(tmp_path / "feeder_b.mtx")
    assert header == "%%MatrixMarket matrix array real general" and size == [8, 1]
    np.testing.assert_array_equal([float(v) for v in body], solver.get_residuals())


@pytest.mark.parametrize(
    "prefix, exception, message",
    [
        ("{missing}/x", OSError, "Cannot write '{missing}/x.mtx', '{missing}/x_b.mtx'"),
        ("{tmp}/a\0b", ValueError, "embedded null byte"),
        (None, TypeError, None),
    ],
)
def test_save_matrix_refusals(cy, tmp_path, prefix, exception, message):
    solver = cy.CyNewton(circuit(cy).network, False)
    fill = {"missing": str(tmp_path / "missing"), "tmp": str(tmp_path)}
    with pytest.raises(exception) as failure:
        solver.save_matrix(prefix.format(**fill) if prefix else prefix)
    if message is not None:
        assert str(failure.value) == message.format(**fill)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "network, expected",
    [
        (lambda cy: circuit(cy).network, ([], [])),
        (floating_bus_network, ([5], [])),  # the bus after the circuit's five elements
        (nan_network, ([], [1])),  # the load
    ],
)
def test_analyse_jacobian_names_the_elements(cy, network, expected):
    result = cy.CyNewtonGoldstein(network(cy), False, 0.1, 0.9, False).analyse_jacobian()
    assert type(result) is tuple and result == expected


def test_goldstein_settings_change_without_a_new_tape(cy):
    c = circuit(cy)
    solver = cy.CyNewtonGoldstein(c.network, True, 0.1, 0.9, True)
    jacobian = solver.get_jacobian()
    assert solver.update_params(0.3, 0.7, False) is None
    assert np.array_equal(solver.get_jacobian(), jacobian)
    assert solver.solve_load_flow(50, 1e-10)[1] <= 1e-10
    assert abs(across(c.bus) - load_voltage(2000 + 600j)) < 1e-6
    with pytest.raises(TypeError, match=r"^update_params\(\) takes exactly 3 positional arguments \(2 given\)$"):
        solver.update_params(0.1, 0.9)


# ---------------------------------------------------------------- constructors and classes


@pytest.mark.parametrize("name", ["CyNewton", "CyNewtonGoldstein", "CyBackwardForward"])
def test_constructors_refuse_a_missing_or_stale_network(cy, name):
    make = SOLVERS[name]
    with pytest.raises(TypeError, match="^CyElectricalNetwork holds no engine object$"):
        make(cy, None)
    with pytest.raises(TypeError) as failure:
        make(cy, 5)
    assert str(failure.value) == (
        f"Argument 'network' has incorrect type (expected {MODULE}.CyElectricalNetwork, got int)"
    )
    # A join after the network was built, into a node of the network or out of it.
    joins = [lambda c: c.bus.connect(c.load, [(0, 1)]),
             lambda c: cy.CyBus(1, complex_array(0)).connect(c.bus, [(0, 0)])]
    for join in joins:
        c = circuit(cy)
        join(c)
        with pytest.raises(ValueError) as failure:
            make(cy, c.network)
        assert str(failure.value) == "the network's elements were joined after it was built: build a new network"
    # An outside element joined to a node of the network, even one gone again, is a join too; outside
    # elements joined to each other are not.
    c = circuit(cy)
    c.bus.connect(cy.CyBus(1, complex_array(0)), [(0, 0)])
    with pytest.raises(ValueError, match="joined after it was built"):
        make(cy, c.network)
    c = circuit(cy)
    cy.CyBus(1, complex_array(0)).connect(cy.CyBus(1, complex_array(0)), [(0, 0)])
    make(cy, c.network)


def test_class_typed_network_is_checked_after_the_other_arguments(cy):
    with pytest.raises(TypeError, match="must be real number, not str"):
        cy.CyNewtonGoldstein(5, True, "m1", 0.9, True)
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes exactly 5 positional arguments \(2 given\)$"):
        cy.CyNewtonGoldstein(None, True)
    solver = cy.CyNewtonGoldstein(weighted_merit=False, m2=0.9, m1=0.1, optimize_tape=0,
                                  network=circuit(cy).network)
    assert solver.solve_load_flow(max_iterations=50, tolerance=1e-10)[1] <= 1e-10


DOCSTRINGS = {
    ("CyAbstractSolver", "solve_load_flow"): (
        "CyAbstractSolver.solve_load_flow(self, int max_iterations, double tolerance)"
    ),
    ("CyAbstractSolver", "reset_inputs"): "CyAbstractSolver.reset_inputs(self)",
    ("CyAbstractSolver", "get_variables"): "CyAbstractSolver.get_variables(self)",
    ("CyAbstractSolver", "set_variables"): "CyAbstractSolver.set_variables(self, double[::1] variables)",
    ("CyAbstractNewton", "save_matrix"): "CyAbstractNewton.save_matrix(self, string prefix)",
    ("CyAbstractNewton", "get_jacobian"): "CyAbstractNewton.get_jacobian(self)",
    ("CyAbstractNewton", "get_residuals"): "CyAbstractNewton.get_residuals(self)",
    ("CyAbstractNewton", "analyse_jacobian"): "CyAbstractNewton.analyse_jacobian(self)",
    ("CyNewtonGoldstein", "update_params"): (
        "CyNewtonGoldstein.update_params(self, double m1, double m2, bool weighted_merit)"
    ),
}


@pytest.mark.parametrize("cls, method", DOCSTRINGS)
def test_docstrings(cy, cls, method):
    assert getattr(getattr(cy, cls), method).__doc__ == DOCSTRINGS[cls, method]


BARE_CALLS = [
    ("CyAbstractSolver", lambda s: s.solve_load_flow(1, 1.0)),
    ("CyAbstractSolver", lambda s: s.reset_inputs()),
    ("CyAbstractSolver", lambda s: s.get_variables()),
    ("CyAbstractSolver", lambda s: s.set_variables(None)),
    ("CyAbstractNewton", lambda s: s.save_matrix("never")),
    ("CyAbstractNewton", lambda s: s.get_jacobian()),
    ("CyAbstractNewton", lambda s: s.get_residuals()),
    ("CyAbstractNewton", lambda s: s.analyse_jacobian()),
]


@pytest.mark.parametrize("cls, call", BARE_CALLS)
def test_abstract_solvers_hold_no_engine_object(cy, cls, call):
    base = getattr(cy, cls)
    for wrapper, name in ((base(1, x=2), cls), (type("Mine", (base,), {})(), "Mine")):
        with pytest.raises(TypeError) as failure:
            call(wrapper)
        assert str(failure.value) == f"{name} holds no engine object"


def test_a_newton_method_on_a_backward_forward_solver_is_refused(cy):
    class Mixed(cy.CyBackwardForward, cy.CyAbstractNewton):
        pass

    solver = Mixed(circuit(cy).network)
    assert len(solver.get_variables()) == 8
    with pytest.raises(TypeError, match="^Mixed holds an engine object of another kind$"):
        solver.get_jacobian()


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda cy, n: cy.CyAbstractSolver(), "self.solver cannot be converted to a Python object for pickling"),
        (lambda cy, n: cy.CyAbstractNewton(), "self.solver cannot be converted to a Python object for pickling"),
        *[(SOLVERS[name], "no default __reduce__ due to non-trivial __cinit__")
          for name in ("CyNewton", "CyNewtonGoldstein", "CyBackwardForward")],
    ],
)
def test_pickling_is_refused(cy, make, message):
    with pytest.raises(TypeError) as failure:
        pickle.dumps(make(cy, circuit(cy).network))
    assert str(failure.value) == message
