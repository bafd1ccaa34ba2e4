"""Feeders that chain element families: each solver must agree with the others through all of them."""

import numpy as np
import pytest
from support import SOLVERS, SolvedCircuit, assert_single_phase_windings, carray

Z2_T, YM_T, K_T = 0.02 + 0.05j, 1e-7 - 6e-7j, 225 / 11e3 * np.exp(-0.05j)
Z2_R, YM_R, U_REF = 0.01 + 0.03j, 1e-5 - 1e-4j, 230.0


class TransformerThenRegulator(SolvedCircuit):
    """An 11 kV single-phase source, a single transformer (secondary neutral earthed), a two-wire line,
    a voltage regulator and a power and an admittance load on its secondary."""

    def __init__(self, cy):
        self.cy = cy
        source = cy.CyVoltageSource(2, carray([11e3]))
        ref = cy.CyPotentialRef()
        ref.connect(source, [(0, 1)])
        self.transformer = cy.CySingleTransformer(Z2_T, YM_T, K_T)
        self.transformer.connect_side(source, [(0, 0), (1, 1)], True)
        start = carray([225 * np.exp(1j * np.angle(K_T)), 0])
        near, far, self.regulated = cy.CyBus(2, start), cy.CyBus(2, start), cy.CyBus(2, start)
        self.transformer.connect_side(near, [(0, 0), (1, 1)], False)
        earth = cy.CyPotentialRef()
        earth.connect(near, [(0, 1)])
        line = cy.CySimplifiedLine(2, carray([[0.1 + 0.05j, 0.01j], [0.01j, 0.1 + 0.05j]]))
        line.connect_side(near, [(0, 0), (1, 1)], True)
        line.connect_side(far, [(0, 0), (1, 1)], False)
        self.regulator = cy.CySingleVoltageRegulator(Z2_R, YM_R, U_REF, 0.1, 1000.0, 0.0)
        self.regulator.connect_side(far, [(0, 0), (1, 1)], True)
        self.regulator.connect_side(self.regulated, [(0, 0), (1, 1)], False)
        self.load = cy.CyPowerLoad(2, carray([8e3 + 2e3j]))
        self.regulated.connect(self.load, [(0, 0), (1, 1)])
        heater = cy.CyAdmittanceLoad(2, carray([0.02]))
        self.regulated.connect(heater, [(0, 0), (1, 1)])
        self.loads = [self.load, heater]
        self.elements = [source, ref, self.transformer, near, earth, line, far, self.regulator,
                         self.regulated, self.load, heater]

    def solution(self):
        return np.concatenate([self.transformer.get_potentials(4), self.regulator.get_potentials(4)])

    def assert_equations(self):
        assert_single_phase_windings(self.transformer, Z2_T, YM_T, K_T)
        # The regulator's tap is real: the same equations hold with it as the ratio.
        _, i2 = assert_single_phase_windings(self.regulator, Z2_R, YM_R, self.regulator.get_tap(), 1e-7, 1e-9)
        # The regulated node: the regulator's secondary phase current feeds the two loads.
        drawn = sum(load.get_port_current(0) for load in self.loads)
        assert abs(i2[0] + drawn) < 1e-7


@pytest.mark.parametrize("kind", SOLVERS)
def test_transformer_then_regulator_by_every_solver(cy, kind):
    feeder = TransformerThenRegulator(cy)
    solved = feeder.solve(kind)
    feeder.assert_equations()
    # The line drop takes the primary below the set point; the regulator brings it back.
    u_in = abs(solved[4] - solved[5])
    assert u_in < U_REF and abs(abs(solved[6] - solved[5]) - U_REF) < 1e-6
    assert 1.0 < feeder.regulator.get_tap() < 1.1
    reference = TransformerThenRegulator(cy)
    np.testing.assert_allclose(solved, reference.solve("newton"), atol=1e-6)
