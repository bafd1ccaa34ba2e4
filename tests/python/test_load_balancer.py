"""The load balancer."""

import gc

import numpy as np
import pytest
from support import SOLVERS, SolvedCircuit, assert_copies_refused, carray, four_wire_feeder

Z2, YM = 0.3 + 0.1j, 1e-4 - 2e-3j
A = np.exp(2j * np.pi / 3)
U = 231 - 12j
Z_LINE = np.full(16, 0.002j, dtype=complex)
Z_LINE[::5] = 0.04 + 0.015j


class Sourced(SolvedCircuit):
    """A four-port source (neutral held at zero) straight on the balancer's ports, on a bus that
    starts at the source's potentials (a sweep stops at once when only the source moves)."""

    def __init__(self, cy, voltages, balancer):
        self.cy = cy
        source = cy.CyVoltageSource(4, carray(voltages))
        ref = cy.CyPotentialRef()
        bus = cy.CyBus(4, carray([*voltages, 0]))
        bus.connect(source, [(k, k) for k in range(4)])
        ref.connect(bus, [(0, 3)])
        self.balancer = balancer
        bus.connect(balancer, [(k, k) for k in range(4)])
        self.elements = [source, ref, bus, balancer]

    def solution(self):
        return self.balancer.get_inner_currents(3)


class Feeder(SolvedCircuit):
    """A star source feeds, through a four-conductor line, unbalanced star and delta loads and the
    balancer on the far bus."""

    def __init__(self, cy, balancer=None):
        self.cy = cy
        self.elements, self.line, self.far = four_wire_feeder(cy, Z_LINE)
        star = cy.CyPowerLoad(4, carray([9000 + 3000j, 1000 + 200j, 4000 - 500j]))
        delta = cy.CyDeltaAdmittanceLoad(3, carray([0.01, 0.002 - 0.001j, 0.005]))
        self.far.connect(star, [(k, k) for k in range(4)])
        self.far.connect(delta, [(k, k) for k in range(3)])
        self.loads = [star, delta]
        self.elements += self.loads
        self.balancer = balancer
        if balancer is not None:
            self.far.connect(balancer, [(k, k) for k in range(4)])
            self.elements.append(balancer)

    def solution(self):
        return self.far.get_potentials(4)


def make_balancer(cy, z2=Z2, ym=YM, k=1.0):
    return cy.CyLoadBalancer(z2, ym, k)


def zero_sequence(potentials):
    return (potentials[:3] - potentials[3]).mean()


def test_class_and_pickling(cy):
    balancer = cy.CyLoadBalancer(k=1.0, ym=YM, z2=Z2)
    assert isinstance(balancer, cy.CyLoad)
    assert_copies_refused(balancer)


def test_inner_currents_are_the_three_phase_currents(cy):
    balancer = make_balancer(cy)
    assert list(balancer.get_inner_currents(5)) == [0] * 5  # nothing computed yet
    circuit = Sourced(cy, [U, A * A * U, A * U], balancer)
    circuit.solve("newton")
    inner = balancer.get_inner_currents(5)
    np.testing.assert_array_equal(inner[:3], balancer.get_currents(3))
    assert list(inner[3:]) == [0, 0]
    assert balancer.get_inner_currents(3).shape == (3,)


@pytest.mark.parametrize("kind", SOLVERS)
@pytest.mark.parametrize(
    "name, voltages, per_phase",
    [
        ("zero sequence", [U, U, U], 1 / Z2),
        ("positive sequence", [U, A * A * U, A * U], 1 / (Z2 + 3 / YM)),
        ("negative sequence", [U, A * U, A * A * U], 1 / (Z2 + 3 / YM)),
    ],
)
def test_sequence_currents_by_hand(cy, kind, name, voltages, per_phase):
    circuit = Sourced(cy, voltages, make_balancer(cy))
    inner = circuit.solve(kind)
    np.testing.assert_allclose(inner, carray(voltages) * per_phase, rtol=1e-9)
    currents = circuit.balancer.get_currents(4)
    assert abs(currents[3] + currents[:3].sum()) < 1e-12


@pytest.mark.parametrize("kind", SOLVERS)
def test_feeder_with_unbalanced_loads(cy, kind):
    feeder = Feeder(cy, make_balancer(cy))
    potentials = feeder.solve(kind)
    np.testing.assert_allclose(potentials, Feeder(cy, make_balancer(cy)).solve("newton"), rtol=0, atol=1e-6)
    # Every far node balances: the bus draws nothing, the line brings what the loads take.
    drawn = feeder.line.get_side_currents(4, 4)[1] + feeder.balancer.get_currents(4)
    drawn += feeder.loads[0].get_currents(4)
    drawn[:3] += feeder.loads[1].get_currents(3)
    np.testing.assert_allclose(drawn, 0, atol=1e-6)
    # The balancer's law and a real zero-sequence current through it.
    v = feeder.balancer.get_potentials(4)
    phase = feeder.balancer.get_inner_currents(3)
    assert abs(phase.sum()) > 0.5
    assert abs(phase.sum() - 3 * zero_sequence(v) / Z2) < 1e-6
    # It pulls the zero-sequence voltage of its bus down.
    without = Feeder(cy).solve("newton")
    assert abs(zero_sequence(potentials)) < 0.8 * abs(zero_sequence(without))


@pytest.mark.parametrize("kind", ["newton", "backward_forward"])
def test_a_singular_balancer_fails_as_nan(cy, kind):
    feeder = Feeder(cy, make_balancer(cy, z2=0, ym=0.5))
    with pytest.raises(RuntimeError) as failure:
        feeder.solve(kind)
    assert str(failure.value) == (
        "1 NaN value encountered at iteration 0. " if kind == "newton" else "2 NaN value encountered at iteration 1. "
    )


REFUSALS = [
    (lambda cy, f: cy.CyLoadBalancer(Z2, YM), TypeError, "__cinit__() takes exactly 3 positional arguments (2 given)"),
    (lambda cy, f: cy.CyLoadBalancer(Z2, YM, 1j), TypeError, "must be real number, not complex"),
    (lambda cy, f: cy.CyLoadBalancer(Z2, "x", 1), TypeError, "must be real number, not str"),
    (lambda cy, f: f.balancer.get_inner_currents(2), ValueError,
     "get_inner_currents: size = 2 is below the 3 values the load writes"),
    (lambda cy, f: f.balancer.get_currents(5), ValueError, "get_currents: n = 5 exceeds the 4 ports of self"),
    (lambda cy, f: f.balancer.get_port_potential(4), IndexError,
     "get_port_potential: index 4 out of range for self with 4 ports"),
    (lambda cy, f: f.balancer.connect(f.far, [(0, 0), (4, 0)]), IndexError,
     "connect: index 4 out of range for self with 4 ports"),
]


def test_boundary_refusals_change_nothing(cy):
    feeder = Feeder(cy, make_balancer(cy))
    first = feeder.solve("newton")

    def state():
        return list(feeder.balancer.get_currents(4)), list(feeder.balancer.get_potentials(4))

    before = state()
    for call, exception, message in REFUSALS:
        with pytest.raises(exception) as failure:
            call(cy, feeder)
        assert str(failure.value) == message
        assert state() == before
    np.testing.assert_allclose(feeder.solve("newton"), first, rtol=0, atol=1e-9)


@pytest.mark.parametrize("kind", SOLVERS)
def test_reading_after_the_solver_is_gone(cy, kind):
    feeder = Feeder(cy, make_balancer(cy))
    feeder.solve(kind)
    inner = feeder.balancer.get_inner_currents(3)
    feeder.solver = None
    gc.collect()
    np.testing.assert_array_equal(feeder.balancer.get_inner_currents(3), inner)
    assert np.all(np.isfinite(feeder.balancer.get_potentials(4)))
    np.testing.assert_allclose(feeder.solve(kind), Feeder(cy, make_balancer(cy)).solve(kind), rtol=0, atol=1e-6)
