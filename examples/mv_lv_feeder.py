"""A 20 kV source, a Dyn11 400 kVA transformer and a four-wire low-voltage feeder through a day.

The source holds the 20 kV line voltage (its neutral at zero); the transformer's delta primary sits
across it and its earthed star secondary feeds four buses through four-conductor cables. Houses draw
single-phase constant powers, unevenly over the phases; a three-phase PV unit at the last bus is a
flexible load whose reactive power follows a volt-var law. One Newton-Goldstein solver is built once;
for each step of a daily profile the loads and the PV unit are updated in place and solved again.

Run from this directory, with the package installed:  python mv_lv_feeder.py
"""

import cmath
import math

import numpy as np

from load_flow_engine import cy_engine as cy

A = cmath.exp(-2j * math.pi / 3)
U_HV, U_LV, S_N = 20000.0, 400.0, 400e3  # V line to line, VA
PHASES = np.array([1, A, A * A])
HV_PHASES = PHASES * U_HV / math.sqrt(3)
CLOCK = 11  # Dyn11: the LV side lags by 11 x 30 degrees, i.e. leads by 30
LV_START = np.array([*PHASES * U_LV / math.sqrt(3) * cmath.exp(-1j * CLOCK * math.pi / 6), 0])  # a, b, c, n

# The transformer's values are per winding. An LV star winding carries U_LV / sqrt(3) and S_N / 3,
# an HV delta winding U_HV and S_N / 3.
K = (U_LV / math.sqrt(3)) / U_HV  # no-load ratio of one LV winding's voltage to one HV winding's
UK, P_CU = 0.04, 4600.0  # short-circuit voltage (per unit), copper loss (W)
I0, P_FE = 0.01, 800.0  # no-load current (per unit), iron loss (W)
Z2 = complex(P_CU / S_N, math.sqrt(UK**2 - (P_CU / S_N) ** 2)) * U_LV**2 / S_N  # ohm, one LV winding
YM = complex(P_FE / S_N, -math.sqrt(I0**2 - (P_FE / S_N) ** 2)) * (S_N / 3) / U_HV**2  # S, one HV winding

# Cable sections between buses 0 to 4, conductors a, b, c, n: ohm/km and metres.
Z_CABLE = np.diag([0.320 + 0.080j] * 4) + (1 - np.eye(4)) * 0.030j
SECTION_M = 150.0
BUSES = 5
# Houses: (bus, phase 0-2, kW, kvar) at the profile's peak.
HOUSES = [(1, 0, 6.0, 1.5), (1, 1, 3.0, 0.8), (2, 2, 7.0, 2.0), (2, 0, 4.0, 1.0),
          (3, 1, 5.0, 1.2), (3, 2, 2.0, 0.5), (4, 0, 6.0, 1.8), (4, 1, 4.0, 1.0)]
# PV unit at the last bus: a rated power split over three phases; volt-var on each phase voltage
# (load convention: Q < 0 feeds reactive power in at low voltage, Q > 0 draws it at high voltage).
PV_KW = 30.0
PV_PHASE = PV_KW * 1e3 / 3  # W per phase
VOLT_VAR = ("q_u", 207.0, 218.5, 236.9, 248.4, 300.0, 1e-4)  # u_min, u_down, u_up, u_max in V
PV_LIMITS = (1.1 * PV_PHASE, -0.44 * PV_PHASE, 0.44 * PV_PHASE)  # s_max VA, q_min, q_max var

# (hour, share of the houses' peak, share of the PV's rated power)
PROFILE = [(0, 0.35, 0.0), (4, 0.25, 0.0), (8, 0.55, 0.35), (12, 0.45, 1.0), (16, 0.60, 0.45), (20, 1.0, 0.0)]
MAX_ITERATIONS = 50
TOLERANCE = 1e-9


class Feeder:
    """The elements of the feeder, the ones the profile updates, and the network."""

    def __init__(self):
        self.elements = []
        source = self.add(cy.CyVoltageSource(4, HV_PHASES.copy()))
        source.connect(self.add(cy.CyPotentialRef()), [(3, 0)])
        self.hv = self.add(cy.CyBus(3, HV_PHASES.copy()))
        self.hv.connect(source, [(k, k) for k in range(3)])
        self.transformer = self.add(cy.CyThreePhaseTransformer(3, 4, "D", "y", Z2, YM, K, CLOCK))
        self.transformer.connect_side(self.hv, [(k, k) for k in range(3)], True)

        self.buses = [self.add(cy.CyBus(4, LV_START.copy())) for _ in range(BUSES)]
        self.transformer.connect_side(self.buses[0], [(k, k) for k in range(4)], False)
        self.buses[0].connect(self.add(cy.CyPotentialRef()), [(3, 0)])  # the LV star point is earthed
        for start, end in zip(self.buses, self.buses[1:]):
            cable = self.add(cy.CySimplifiedLine(4, (Z_CABLE * SECTION_M / 1000).ravel()))
            cable.connect_side(start, [(k, k) for k in range(4)], True)
            cable.connect_side(end, [(k, k) for k in range(4)], False)

        self.houses = []
        for bus, phase, _, _ in HOUSES:
            house = self.add(cy.CyPowerLoad(2, np.zeros(1, dtype=complex)))
            self.buses[bus].connect(house, [(phase, 0), (3, 1)])  # one phase and the neutral
            self.houses.append(house)
        law = cy.CyFlexibleParameter(cy.CyControl("constant", 0, 0, 0, 0, 1, 1e-4), cy.CyControl(*VOLT_VAR),
                                     cy.CyProjection("euclidean", 300, 1e-4), *PV_LIMITS)
        self.pv = self.add(cy.CyFlexibleLoad(4, np.zeros(3, dtype=complex), np.array([law] * 3, dtype=object)))
        self.buses[-1].connect(self.pv, [(k, k) for k in range(4)])
        self.network = cy.CyElectricalNetwork(np.array(self.elements, dtype=object), len(self.elements))

    def add(self, element):
        self.elements.append(element)
        return element

    def set_step(self, load_share, pv_share):
        for house, (_, _, kw, kvar) in zip(self.houses, HOUSES):
            house.update_power(complex(kw, kvar) * 1e3 * load_share)
        self.pv.update_powers(np.full(3, -PV_PHASE * pv_share, dtype=complex))  # produced: negative

    def phase_voltages(self):
        """|phase - neutral| of every LV bus, in V: an array of BUSES x 3."""
        return np.array([abs(v[:3] - v[3]) for v in (bus.get_potentials(4) for bus in self.buses)])


def solve_day(feeder):
    """One solver for the whole day; returns [(hour, iterations, error, lowest V, highest V, PV kvar)]."""
    solver = cy.CyNewtonGoldstein(feeder.network, True, 0.1, 0.9, True)
    steps = []
    for hour, load_share, pv_share in PROFILE:
        feeder.set_step(load_share, pv_share)  # written through into the solver's parameters
        iterations, error = solver.solve_load_flow(MAX_ITERATIONS, TOLERANCE)
        v = feeder.phase_voltages()
        steps.append((hour, iterations, error, v.min(), v.max(), feeder.pv.get_powers(3).imag.sum() / 1e3))
    return steps


def main():
    print(f"20 kV / 400 V Dyn11 {S_N / 1e3:.0f} kVA, {BUSES - 1} cable sections of {SECTION_M:.0f} m, "
          f"{len(HOUSES)} single-phase houses, a {PV_KW:.0f} kW PV unit with volt-var")
    print(f"{'hour':>4}{'iterations':>12}{'error':>10}{'lowest V':>11}{'highest V':>11}{'PV kvar':>9}")
    for hour, iterations, error, low, high, q in solve_day(Feeder()):
        print(f"{hour:>4d}{iterations:>12d}{error:>10.1e}{low:>11.2f}{high:>11.2f}{q:>9.2f}")
    print("(error: the largest residual, A; voltages phase to neutral; PV kvar > 0 drawn, < 0 supplied)")


if __name__ == "__main__":
    main()
