"""Pieces shared by the element tests: the solver table, complex arrays, a four-wire feeder, a solvable
circuit and the single-phase two-winding equations."""

import copy
import pickle

import numpy as np
import pytest

NO_REDUCE = "no default __reduce__ due to non-trivial __cinit__"

PHASES = 230 * np.exp(-2j * np.pi / 3) ** np.arange(3)


def solver_table(newton_optimizes=True):
    """Each solver by name: (make(cy, network), iterations, tolerance). Goldstein takes the other tape
    setting and weighs its merit when Newton optimises, so the two tables cover every flag."""
    return {
        "newton": (lambda cy, network: cy.CyNewton(network, newton_optimizes), 20, 1e-9),
        "goldstein": (
            lambda cy, network: cy.CyNewtonGoldstein(network, not newton_optimizes, 0.1, 0.9, newton_optimizes),
            20,
            1e-9,
        ),
        "backward_forward": (lambda cy, network: cy.CyBackwardForward(network), 500, 1e-11),
    }


SOLVERS = solver_table()


def assert_copies_refused(instance, message=NO_REDUCE, also=()):
    """Pickling, copying and restoring a state (and the calls in also) fail with message."""
    for refuse in (pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__setstate__(None), *also):
        with pytest.raises(TypeError) as failure:
            refuse(instance)
        assert str(failure.value) == message


def carray(values):
    """The flat complex array the elements take (matrices row by row)."""
    return np.array(values, dtype=complex).ravel()


def four_wire_feeder(cy, z_line):
    """A star source (neutral held at zero) feeding a far bus through a four-conductor line of series
    impedance z_line, both buses starting at the source's potentials: (elements, line, far bus)."""
    source = cy.CyVoltageSource(4, carray(PHASES))
    ref = cy.CyPotentialRef()
    ref.connect(source, [(0, 3)])
    start = carray([*PHASES, 0])
    near, far = cy.CyBus(4, start), cy.CyBus(4, start)
    near.connect(source, [(k, k) for k in range(4)])
    line = cy.CySimplifiedLine(4, z_line)
    line.connect_side(near, [(k, k) for k in range(4)], True)
    line.connect_side(far, [(k, k) for k in range(4)], False)
    return [source, ref, near, line, far], line, far


class SolvedCircuit:
    """A circuit of self.elements solved by one solver, made on the first solve and kept after.
    Subclasses set cy and elements and say what a solve returns."""

    solvers = SOLVERS
    solver = None

    def network(self):
        return self.cy.CyElectricalNetwork(np.array(self.elements, dtype=object), len(self.elements))

    def solve(self, kind, network=None):
        make, iterations, tolerance = self.solvers[kind]
        if self.solver is None:
            self.solver = make(self.cy, network or self.network())
        done, error = self.solver.solve_load_flow(iterations, tolerance)
        assert done < iterations and error <= tolerance
        return self.solution()

    def solution(self):
        raise NotImplementedError


def assert_single_phase_windings(branch, z2, ym, k, series_atol=1e-9, shunt_atol=1e-10):
    """The single-phase two-winding equations of a solved branch of ratio k: the series drop on
    side 2, magnetising and reflected current on side 1. Returns the side currents."""
    v1, v2 = branch.get_side_potentials(2, 2)
    i1, i2 = branch.get_side_currents(2, 2)
    u1, u2 = v1[0] - v1[1], v2[0] - v2[1]
    assert abs(i2[0] * z2 - (u2 - k * u1)) < series_atol
    assert abs(i1[0] - (ym * u1 - np.conj(k) * i2[0])) < shunt_atol
    return i1, i2
