"""A three-phase four-wire low-voltage feeder solved by each solver of load_flow_engine.

A 230 V source (phase to neutral, its neutral held at zero) feeds three buses through four-conductor
cables with shunt capacitance. Each bus carries one star and one delta load: constant power at bus 1,
constant current at bus 2, constant admittance at bus 3. The feeder is solved by Newton,
Newton-Goldstein and backward-forward, then the loads change to an evening peak and the same
solvers solve again without being rebuilt.

Run from this directory, with the package installed:  python lv_feeder.py
"""

import cmath
import math

import numpy as np

from load_flow_engine import cy_engine as cy

U_PHASE = 230.0  # V, phase to neutral
FREQUENCY = 50.0  # Hz
A = cmath.exp(-2j * math.pi / 3)
# Phases a, b, c, then the neutral: the start values of every bus.
NOMINAL = np.array([U_PHASE, U_PHASE * A, U_PHASE * A * A, 0.0], dtype=complex)
PORTS = 4  # three phases and the neutral

# Cables: per kilometre, conductors a, b, c, n.
R_PHASE, R_NEUTRAL = 0.206, 0.320  # ohm/km
X_SELF, X_MUTUAL = 0.090, 0.035  # ohm/km
C_GROUND, C_MUTUAL = 0.30e-6, 0.10e-6  # F/km, conductor to ground and between conductors

# (name, from bus, to bus, length in metres)
CABLES = [
    ("cable 0-1", "bus 0", "bus 1", 200.0),
    ("cable 1-2", "bus 1", "bus 2", 150.0),
    ("cable 1-3", "bus 1", "bus 3", 120.0),
]

# (name, class, bus, star or delta); star loads take the four ports, delta loads the three phases.
LOADS = [
    ("star power", "CyPowerLoad", "bus 1", "star"),
    ("delta power", "CyDeltaPowerLoad", "bus 1", "delta"),
    ("star current", "CyCurrentLoad", "bus 2", "star"),
    ("delta current", "CyDeltaCurrentLoad", "bus 2", "delta"),
    ("star admittance", "CyAdmittanceLoad", "bus 3", "star"),
    ("delta admittance", "CyDeltaAdmittanceLoad", "bus 3", "delta"),
]
UPDATE = {"CyPowerLoad": "update_powers", "CyDeltaPowerLoad": "update_powers",
          "CyCurrentLoad": "update_currents", "CyDeltaCurrentLoad": "update_currents",
          "CyAdmittanceLoad": "update_admittances", "CyDeltaAdmittanceLoad": "update_admittances"}

# Powers in VA (star: per phase a, b, c; delta: branches ab, bc, ca), currents in A with their angle
# taken against the voltage across them, admittances in S.
SCENARIOS = {
    "base load": {
        "star power": [6000 + 1500j, 4500 + 1000j, 5000 + 1200j],
        "delta power": [3000 + 600j, 2000 + 400j, 2500 + 500j],
        "star current": [15 - 4j, 10 - 2j, 12 - 3j],
        "delta current": [5 - 1j, 6 - 1j, 4 - 0.5j],
        "star admittance": [0.050 - 0.010j, 0.040 - 0.010j, 0.060 - 0.015j],
        "delta admittance": [0.010 - 0.002j, 0.012 - 0.002j, 0.008 - 0.001j],
    },
    "evening peak": {
        "star power": [11000 + 3000j, 6000 + 1500j, 9000 + 2500j],
        "delta power": [5000 + 1000j, 3500 + 700j, 4000 + 900j],
        "star current": [25 - 7j, 14 - 3j, 20 - 5j],
        "delta current": [8 - 2j, 9 - 2j, 7 - 1j],
        "star admittance": [0.085 - 0.020j, 0.055 - 0.012j, 0.090 - 0.025j],
        "delta admittance": [0.018 - 0.004j, 0.020 - 0.004j, 0.014 - 0.002j],
    },
}

SOLVERS = {
    "Newton": lambda network: cy.CyNewton(network, True),
    "Newton-Goldstein": lambda network: cy.CyNewtonGoldstein(network, True, 0.1, 0.9, True),
    "Backward-forward": lambda network: cy.CyBackwardForward(network),
}
MAX_ITERATIONS = 100
TOLERANCE = 1e-9


def cable_parameters(length_m):
    """The shunt admittance and series impedance matrices of a cable, flattened row by row."""
    km = length_m / 1000.0
    z = np.full((PORTS, PORTS), 1j * X_MUTUAL, dtype=complex)
    np.fill_diagonal(z, [R_PHASE + 1j * X_SELF] * 3 + [R_NEUTRAL + 1j * X_SELF])
    omega = 2 * math.pi * FREQUENCY
    y = np.full((PORTS, PORTS), -1j * omega * C_MUTUAL, dtype=complex)
    np.fill_diagonal(y, 1j * omega * (C_GROUND + (PORTS - 1) * C_MUTUAL))
    return (y * km).ravel(), (z * km).ravel()


def phases(n):
    return [(k, k) for k in range(n)]


class Feeder:
    """The feeder's element wrappers, in source-to-leaves order, and its network."""

    def __init__(self):
        self.elements = []
        self.source = self.add(cy.CyVoltageSource(PORTS, NOMINAL[:3].copy()))
        self.buses = {name: cy.CyBus(PORTS, NOMINAL.copy()) for name in ("bus 0", "bus 1", "bus 2", "bus 3")}

        source_bus = self.add(self.buses["bus 0"])
        source_bus.connect(self.source, phases(PORTS))
        neutral_ref = self.add(cy.CyPotentialRef())
        source_bus.connect(neutral_ref, [(3, 0)])  # the source's neutral is held at zero

        # Every cable returns its shunt currents to one ground node held at zero.
        self.ground = self.add(cy.CyGround())
        self.ground.connect(self.add(cy.CyPotentialRef()), [(0, 0)])

        self.cables = {}
        self.loads = {}
        for name, start, end, length in CABLES:
            y_shunt, z_line = cable_parameters(length)
            cable = self.add(cy.CyShuntLine(PORTS, y_shunt, z_line))
            cable.connect_side(self.buses[start], phases(PORTS), True)
            cable.connect_side(self.buses[end], phases(PORTS), False)
            self.ground.connect(cable, [(0, 2 * PORTS)])
            self.cables[name] = cable
            self.add(self.buses[end])
            self.add_loads(end)

        self.network = cy.CyElectricalNetwork(np.array(self.elements, dtype=object), len(self.elements))

    def add(self, element):
        self.elements.append(element)
        return element

    def add_loads(self, bus_name):
        values = SCENARIOS["base load"]
        for name, cls, at, kind in LOADS:
            if at != bus_name:
                continue
            n = PORTS if kind == "star" else 3
            load = self.add(getattr(cy, cls)(n, np.array(values[name], dtype=complex)))
            self.buses[at].connect(load, phases(n))  # the bus keeps its node and its start potentials
            self.loads[name] = load

    def set_loads(self, scenario):
        for name, cls, _, _ in LOADS:
            getattr(self.loads[name], UPDATE[cls])(np.array(SCENARIOS[scenario][name], dtype=complex))

    def voltages(self):
        """Phase-to-neutral voltages of every bus, phases a, b, c."""
        result = {}
        for name, bus in self.buses.items():
            v = bus.get_potentials(PORTS)
            result[name] = v[:3] - v[3]
        return result


def solve_all(feeder, scenarios=tuple(SCENARIOS)):
    """Each solver built once, then solved for each scenario in turn (loads updated in between).

    Returns {solver: {scenario: (iterations, error, voltages)}}.
    """
    results = {}
    for solver_name, make in SOLVERS.items():
        feeder.set_loads(scenarios[0])  # a new solver starts from the loads' own values
        solver = make(feeder.network)
        results[solver_name] = {}
        for scenario in scenarios:
            feeder.set_loads(scenario)  # written through into this solver's parameters
            iterations, error = solver.solve_load_flow(MAX_ITERATIONS, TOLERANCE)
            results[solver_name][scenario] = (iterations, error, feeder.voltages())
        del solver
    return results


def largest_difference(results, scenario):
    reference = next(iter(results.values()))[scenario][2]
    return max(float(np.max(np.abs(by_scenario[scenario][2][bus] - reference[bus])))
               for by_scenario in results.values() for bus in reference)


def degrees(x):
    return round(math.degrees(cmath.phase(x)), 2) + 0.0  # no "-0.00"


def report(results):
    scenarios = list(next(iter(results.values())))
    lines = [f"Three-phase four-wire LV feeder: {U_PHASE:.0f} V source (phase to neutral), "
             f"{len(CABLES)} cables, {len(LOADS)} loads",
             "(a star and a delta load of each family: constant power, current and admittance)", ""]
    header = f"{'solver':<18}" + "".join(f"{s:>28}" for s in scenarios)
    lines += [header, f"{'':<18}" + "".join(f"{'iterations':>14}{'error':>14}" for _ in scenarios)]
    for solver_name, by_scenario in results.items():
        row = f"{solver_name:<18}"
        for scenario in scenarios:
            iterations, error, _ = by_scenario[scenario]
            row += f"{iterations:>14d}{error:>14.2e}"
        lines.append(row)
    lines.append("(Newton family: largest residual, A; backward-forward: largest potential change, V)")

    reference = next(iter(results))
    for scenario in scenarios:
        voltages = results[reference][scenario][2]
        lines += ["", f"Phase-to-neutral voltages, {scenario} ({reference}; the solvers agree within "
                      f"{largest_difference(results, scenario):.1e} V)",
                  f"{'bus':<8}" + "".join(f"{'phase ' + p:>21}" for p in "abc")]
        for bus, v in voltages.items():
            lines.append(f"{bus:<8}" + "".join(f"{abs(x):>10.2f} V {degrees(x):>7.2f}°" for x in v))
    return "\n".join(lines)


def main():
    feeder = Feeder()
    print(report(solve_all(feeder)))


if __name__ == "__main__":
    main()
