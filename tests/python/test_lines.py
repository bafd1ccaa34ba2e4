"""Series-impedance and pi-section (shunt) lines."""

import copy
import pickle

import numpy as np
import pytest
from support import NO_REDUCE, PHASES, SOLVERS, SolvedCircuit, carray

DOCSTRINGS = {
    ("CySimplifiedLine", "update_line_parameters"):
        "CySimplifiedLine.update_line_parameters(self, double complex[::1] z_line)",
    ("CySimplifiedLine", "update_single_line_parameters"):
        "CySimplifiedLine.update_single_line_parameters(self, double complex z_line)",
    ("CyShuntLine", "update_line_parameters"):
        "CyShuntLine.update_line_parameters(self, double complex[::1] y_shunt, double complex[::1] z_line)",
    ("CyShuntLine", "update_single_line_parameters"):
        "CyShuntLine.update_single_line_parameters(self, double complex y_shunt, double complex z_line)",
}

POWERS = np.array([9000 + 3000j, 5000 + 1000j, 7000 - 500j])


def impedance(n, scale=1.0):
    z = np.full((n, n), 0.01j, dtype=complex)
    np.fill_diagonal(z, 0.08 + 0.03j)
    return z * scale


def admittance(n, scale=1.0):
    y = np.full((n, n), -2e-4j, dtype=complex)
    np.fill_diagonal(y, 8e-4j)
    return y * scale


class Circuit(SolvedCircuit):
    """A three-phase source (neutral held at zero) feeds a star power load through a line of n
    conductors: n = 4 carries the neutral, n = 1 the first phase only (the load's neutral then
    sits on the source's). A shunt line's ground port sits on a ground held at zero."""

    def __init__(self, cy, shunt, n, z, y=None):
        self.cy, self.n = cy, n
        source = cy.CyVoltageSource(4, carray(PHASES))
        ref = cy.CyPotentialRef()
        ref.connect(source, [(0, 3)])
        start = carray([*PHASES, 0])
        near, far = cy.CyBus(4, start), cy.CyBus(n, start[:n])
        near.connect(source, [(k, k) for k in range(4)])
        if shunt:
            self.line = cy.CyShuntLine(n, carray(y), carray(z))
        else:
            self.line = cy.CySimplifiedLine(n, carray(z))
        self.line.connect_side(near, [(k, k) for k in range(n)], True)
        self.line.connect_side(far, [(k, k) for k in range(n)], False)
        load_ports = 4 if n == 4 else 2
        load = cy.CyPowerLoad(load_ports, POWERS[: load_ports - 1])
        far.connect(load, [(k, k) for k in range(load_ports - 1)])
        (far if n == 4 else near).connect(load, [(3, load_ports - 1)])
        self.elements = [source, ref, near, self.line, far, load]
        if shunt:
            ground, ground_ref = cy.CyGround(), cy.CyPotentialRef()
            ground.connect(ground_ref, [(0, 0)])
            ground.connect(self.line, [(0, 2 * n)])
            self.elements += [ground, ground_ref]

    def solution(self):
        return np.concatenate(self.line.get_side_potentials(self.n, self.n))

    def assert_line_equations(self, z, y=None):
        """The line's own equations at the solution, for the matrices z (and y)."""
        v1, v2 = self.line.get_side_potentials(self.n, self.n)
        i1, i2 = self.line.get_side_currents(self.n, self.n)
        if y is None:
            np.testing.assert_allclose(v1 - v2, z @ i1, atol=1e-8)
            np.testing.assert_allclose(i1 + i2, 0, atol=1e-9)
        else:
            vg = self.line.get_port_potential(2 * self.n)
            assert vg == 0
            np.testing.assert_allclose(v1 - v2, z @ (i1 - 0.5 * y @ (v1 - vg)), atol=1e-8)
            np.testing.assert_allclose(i2, -(i1 - 0.5 * y @ v1 - 0.5 * y @ v2), atol=1e-9)
        assert np.abs(v1 - v2).max() > 0.5  # the line carries the load


def make_line(cy, shunt, n, scale=1.0):
    if shunt:
        return cy.CyShuntLine(n, carray(admittance(n, scale)), carray(impedance(n, scale)))
    return cy.CySimplifiedLine(n, carray(impedance(n, scale)))


@pytest.mark.parametrize("cls, method", DOCSTRINGS)
def test_docstrings(cy, cls, method):
    assert getattr(getattr(cy, cls), method).__doc__ == DOCSTRINGS[cls, method]


@pytest.mark.parametrize("shunt", [False, True], ids=["simplified", "shunt"])
def test_pickling_and_copying_are_refused(cy, shunt):
    line = make_line(cy, shunt, 2)
    for refuse in (pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__reduce_ex__(2)):
        with pytest.raises(TypeError) as failure:
            refuse(line)
        assert str(failure.value) == NO_REDUCE


@pytest.mark.parametrize("shunt", [False, True], ids=["simplified", "shunt"])
def test_ports_and_sides(cy, shunt):
    line = make_line(cy, shunt, 3)
    assert line.get_potentials(7 if shunt else 6).shape == (7 if shunt else 6,)
    with pytest.raises(ValueError):
        line.get_potentials(8 if shunt else 7)
    assert [side.shape for side in line.get_side_potentials(3, 3)] == [(3,), (3,)]
    with pytest.raises(ValueError):
        line.get_side_currents(4, 3)  # the ground port belongs to no side


M4 = carray(np.ones((2, 2)))
M3 = carray([1, 2, 3])


@pytest.mark.parametrize(
    "make, exception, message",
    [
        (lambda cy: cy.CySimplifiedLine(0, None), ValueError, "a line needs at least one conductor"),
        (lambda cy: cy.CySimplifiedLine(-1, None), RuntimeError, "vector"),
        (lambda cy: cy.CySimplifiedLine(2, M3), ValueError, "z_line needs at least 4 values, got 3"),
        (lambda cy: cy.CySimplifiedLine(1, None), ValueError, "z_line needs at least 1 values, got 0"),
        (lambda cy: cy.CyShuntLine(0, None, None), ValueError, "a line needs at least one conductor"),
        (lambda cy: cy.CyShuntLine(-2, M4, M4), RuntimeError, "vector"),
        (lambda cy: cy.CyShuntLine(2, M3, M4), ValueError, "y_shunt needs at least 4 values, got 3"),
        (lambda cy: cy.CyShuntLine(2, M4, M3), ValueError, "z_line needs at least 4 values, got 3"),
        (lambda cy: cy.CyShuntLine(2, None, None), ValueError, "y_shunt needs at least 4 values, got 0"),
        (lambda cy: cy.CyShuntLine(1, carray([1j]), None), ValueError, "z_line needs at least 1 values, got 0"),
    ],
)
def test_constructor_refusals(cy, make, exception, message):
    with pytest.raises(exception) as failure:
        make(cy)
    assert str(failure.value) == message


def test_arguments_by_keyword(cy):
    line = cy.CyShuntLine(z_line=carray(impedance(2)), n=2, y_shunt=carray(admittance(2)))
    assert line.update_line_parameters(z_line=carray(impedance(2)), y_shunt=carray(admittance(2))) is None
    simple = cy.CySimplifiedLine(z_line=carray([1]), n=1)
    assert simple.update_single_line_parameters(z_line=2) is None


# ---------------------------------------------------------------- at the solution and updates


@pytest.mark.parametrize("kind", SOLVERS)
@pytest.mark.parametrize("shunt", [False, True], ids=["simplified", "shunt"])
def test_line_equations_hold_at_the_solution(cy, shunt, kind):
    circuit = Circuit(cy, shunt, 4, impedance(4), admittance(4) if shunt else None)
    circuit.solve(kind)
    circuit.assert_line_equations(impedance(4), admittance(4) if shunt else None)


def update_arguments(shunt, z, y):
    return (carray(y), carray(z)) if shunt else (carray(z),)


@pytest.mark.parametrize("kind", SOLVERS)
@pytest.mark.parametrize("when", ["before_solver", "between_solves"])
@pytest.mark.parametrize("shunt", [False, True], ids=["simplified", "shunt"])
def test_update_line_parameters_acts_like_a_line_built_with_them(cy, shunt, when, kind):
    z_old, y_old = impedance(4), admittance(4)
    z_new, y_new = impedance(4, 2.5) + np.diag([0.02, 0, 0.05, 0]), admittance(4, 3)
    circuit = Circuit(cy, shunt, 4, z_old, y_old)
    line = circuit.line
    network = circuit.network()
    # Longer arrays are accepted, their extra values ignored.
    longer = [np.concatenate([a, [1e6]]) for a in update_arguments(shunt, z_new, y_new)]
    if when == "between_solves":
        first = circuit.solve(kind, network)
        line.update_line_parameters(*longer)
        np.testing.assert_array_equal(np.concatenate(line.get_side_potentials(4, 4)), first)
    else:
        assert line.update_line_parameters(*longer) is None
    solution = circuit.solve(kind, network)
    assert circuit.line is line
    circuit.assert_line_equations(z_new, y_new if shunt else None)
    fresh = Circuit(cy, shunt, 4, z_new, y_new).solve("newton")
    np.testing.assert_allclose(solution, fresh, atol=1e-6)


@pytest.mark.parametrize("kind", ["newton", "backward_forward"])
@pytest.mark.parametrize("shunt", [False, True], ids=["simplified", "shunt"])
def test_refused_updates_change_nothing(cy, shunt, kind):
    circuit = Circuit(cy, shunt, 4, impedance(4), admittance(4))
    first = circuit.solve(kind)
    line = circuit.line
    short, full = carray(np.ones(15)), carray(np.ones(16))
    refusals = [
        (lambda: line.update_single_line_parameters(*([1j, 1] if shunt else [1])),
         "update_single_line_parameters needs an element with a single value"),
    ]
    if shunt:
        refusals += [
            (lambda: line.update_line_parameters(short, full), "y_shunt needs at least 16 values, got 15"),
            (lambda: line.update_line_parameters(full, short), "z_line needs at least 16 values, got 15"),
            (lambda: line.update_line_parameters(full, None), "z_line needs at least 16 values, got 0"),
        ]
    else:
        refusals += [
            (lambda: line.update_line_parameters(short), "z_line needs at least 16 values, got 15"),
            (lambda: line.update_line_parameters(None), "z_line needs at least 16 values, got 0"),
        ]
    for refuse, message in refusals:
        with pytest.raises(ValueError) as failure:
            refuse()
        assert str(failure.value) == message
    np.testing.assert_allclose(circuit.solve(kind), first, atol=1e-9)
    circuit.assert_line_equations(impedance(4), admittance(4) if shunt else None)


@pytest.mark.parametrize("kind", ["newton", "backward_forward"])
@pytest.mark.parametrize("shunt", [False, True], ids=["simplified", "shunt"])
def test_single_conductor_scalar_update(cy, shunt, kind):
    z_old, y_old = np.array([[0.1 + 0.04j]]), np.array([[1e-3j]])
    z_new, y_new = np.array([[0.3 + 0.1j]]), np.array([[4e-3j]])
    by_scalar = Circuit(cy, shunt, 1, z_old, y_old)
    by_array = Circuit(cy, shunt, 1, z_old, y_old)
    before = by_scalar.solve(kind)
    by_array.solve(kind)
    scalars = (y_new[0, 0], z_new[0, 0]) if shunt else (z_new[0, 0],)
    assert by_scalar.line.update_single_line_parameters(*scalars) is None
    by_array.line.update_line_parameters(*update_arguments(shunt, z_new, y_new))
    after = by_scalar.solve(kind)
    assert abs(after - before).max() > 1
    by_scalar.assert_line_equations(z_new, y_new if shunt else None)
    np.testing.assert_allclose(after, Circuit(cy, shunt, 1, z_new, y_new).solve("newton"), atol=1e-6)
    np.testing.assert_allclose(by_array.solve(kind), after, atol=1e-9)
