"""Random networks built the way users build them, and a checker that judges a solve as a user would.

random_network(rng, sweep) draws the description of a network (a Spec: elements, joins, disconnects,
listing order); Built(cy, spec) makes it; check(built, kind, tolerance) lists what is wrong with the
values a solved network reads ([]: they are a load flow). trial(cy, seed, kind) solves a network,
re-solves it after in-place updates, compares each step with a newly built network, and lists the
false successes: solves that returned an error within the tolerance over values check() rejects.
"""

import cmath
import math
import random

import numpy as np

A = cmath.exp(-2j * math.pi / 3)
# (HV winding, LV winding, clocks): the LV phase voltages lag the HV ones by clock x 30 degrees.
VECTOR_GROUPS = [("Y", "y", (0, 2, 4, 6, 8, 10)), ("D", "d", (0, 2, 4, 6, 8, 10)), ("D", "z", (0, 2, 4, 6, 8, 10)),
                 ("Y", "d", (1, 5, 7, 11)), ("D", "y", (1, 5, 7, 11)), ("Y", "z", (1, 5, 7, 11))]
# LV phase voltage over k x HV phase voltage is the product of the two windings' factors: a delta HV
# winding sees sqrt(3) times the phase voltage, a delta LV one gives 1/sqrt(3) of its voltage to a
# phase, a zigzag sqrt(3) times.
WINDING_FACTOR = {"Y": 1.0, "D": math.sqrt(3), "y": 1.0, "d": 1 / math.sqrt(3), "z": math.sqrt(3)}
STAR_LOADS = {"CyPowerLoad", "CyCurrentLoad", "CyAdmittanceLoad", "CyFlexibleLoad"}
# A converged solve may miss a law by MARGIN times what its tolerance allows (a Newton tolerance
# bounds the real and imaginary parts apart), plus ROUNDING times the size of the values compared.
MARGIN, ROUNDING = 10.0, 1e-9
# No potential may exceed RUN_AWAY times the largest source voltage or start potential: the
# reference calls 1e9 V run away, and far beyond that a float cannot resolve the element voltages
# (the laws left unchecked, those of the three-phase and centre-tap transformers, then fail unseen).
RUN_AWAY = 1e6


# ---- the description of a network


class Element:
    """An element to build: class name, constructor arguments, port count, side-1 port count."""

    def __init__(self, cls, args, n, side1=0):
        self.cls, self.args, self.n, self.side1 = cls, list(args), n, side1
        self.disconnected = False


class Law:
    """The law of a flexible load's phase or branch: the arguments of its controls, its projection
    and its limits. One law may serve several phases and loads: it is built once."""

    def __init__(self, control_p, control_q, projection, s_max, q_min, q_max):
        self.control_p, self.control_q, self.projection = control_p, control_q, projection
        self.limits = [s_max, q_min, q_max]


class Spec:
    def __init__(self):
        self.elements = []
        # ("connect", i, j, pairs), ("side", branch, j, pairs, beginning) or ("ports", i, ports)
        self.joins = []
        self.order = []  # the listing of the network

    def add(self, cls, args, n, side1=0):
        self.elements.append(Element(cls, args, n, side1))
        return len(self.elements) - 1

    def nodes(self):
        """Every node, as the sorted (element, port) pairs that every join put together."""
        parent = {}

        def find(x):
            parent.setdefault(x, x)
            while parent[x] != x:
                parent[x] = parent[parent[x]]
                x = parent[x]
            return x

        def union(x, y):
            parent[find(x)] = find(y)

        for i, e in enumerate(self.elements):
            for p in range(e.n):
                find((i, p))
            if e.cls == "CySingleVoltageRegulator":
                union((i, 1), (i, 3))  # its two neutrals share a node from construction
        for join in self.joins:
            if join[0] == "connect":
                for p, q in join[3]:
                    union((join[1], p), (join[2], q))
            elif join[0] == "ports":
                for p in join[2][1:]:
                    union((join[1], p), (join[1], join[2][0]))
            else:
                offset = 0 if join[4] else self.elements[join[1]].side1
                for p, q in join[3]:
                    union((join[1], p + offset), (join[2], q))
        groups = {}
        for x in list(parent):
            groups.setdefault(find(x), []).append(x)
        return sorted(sorted(group) for group in groups.values())


# ---- drawing a network


class _Bus:
    def __init__(self, index, nominal, neutral):
        self.index, self.nominal, self.neutral = index, np.array(nominal, dtype=complex), neutral

    @property
    def phases(self):
        return [p for p in range(len(self.nominal)) if p != self.neutral]


class _Grower:
    def __init__(self, rng, sweep):
        self.r, self.sweep, self.spec = rng, sweep, Spec()
        self.buses, self.grounds = [], []
        self.attached = {}  # (bus, port): the (element, port) pairs joined there
        # Start potentials now and then off by 5-10 %; on one network in eight one bus at 0 V.
        self.off, self.zero = rng.choice([0.0, 0.2, 0.5]), rng.random() < 0.12
        # On one network in twelve some elements are joined from their side (their 0 V survives);
        # on one in four some are joined to an element on the bus's node instead of the bus.
        self.backwards = 0.3 if rng.random() < 0.08 else 0.0
        self.direct = 0.4 if rng.random() < 0.25 else 0.0

    def add(self, *args, **kwargs):
        return self.spec.add(*args, **kwargs)

    def grouped(self, bus, element, pairs, offset=0):
        """{target: [(target port, element port)]} for pairs (bus port, element port): the target is
        the bus or an element already on the node of the bus port. offset: the element's number of
        the pairs' port 0 (a branch's side 2)."""
        groups = {}
        for p, q in pairs:
            others = self.attached.get((bus, p), [])
            target = self.r.choice(others) if others and self.r.random() < self.direct else (bus, p)
            groups.setdefault(target[0], []).append((target[1], q))
            self.attached.setdefault((bus, p), []).append((element, q + offset))
        return groups

    def join(self, bus, element, pairs):
        for target, group in self.grouped(bus, element, pairs).items():
            if self.r.random() < self.backwards:
                self.spec.joins.append(("connect", element, target, [(q, p) for p, q in group]))
            else:
                self.spec.joins.append(("connect", target, element, group))

    def side(self, branch, bus, pairs, beginning):
        """Joins side ports to bus ports: pairs (side port, bus port)."""
        offset = 0 if beginning else self.spec.elements[branch].side1
        for target, group in self.grouped(bus, branch, [(p, q) for q, p in pairs], offset).items():
            self.spec.joins.append(("side", branch, target, [(q, p) for p, q in group], beginning))

    def bus(self, nominal, neutral, never_zero=False):
        r = self.r
        nominal = np.array(nominal, dtype=complex)
        start, draw = nominal.copy(), r.random()
        if self.zero and self.buses and not never_zero and draw < 0.3:
            start[:], self.zero = 0, False
        elif draw < self.off:
            start *= (r.choice([-1, 1]) * r.uniform(0.05, 0.1) + 1) * cmath.exp(1j * r.uniform(-0.05, 0.05))
        index = self.add("CyBus", [len(nominal), start], len(nominal))
        self.buses.append(_Bus(index, nominal, neutral))
        return self.buses[-1]

    def earth(self, bus, port):
        ref = self.add("CyPotentialRef", [], 1)
        if self.r.random() < 0.15:  # through an earthing bar: a bus whose two ports are tied together
            bar = self.add("CyBus", [2, np.zeros(2, dtype=complex)], 2)
            self.spec.joins.append(("ports", bar, [1, 0]))
            self.join(bus.index, bar, [(port, 0)])
            self.spec.joins.append(("connect", bar, ref, [(1, 0)]))
        else:
            self.join(bus.index, ref, [(port, 0)])

    # -- sources

    def star_source(self, bus=None):
        r = self.r
        earthing = r.random()
        if bus is None:
            n = r.choice([2, 3, 4, 4, 4])
            scale = r.uniform(0.97, 1.03) * cmath.exp(1j * r.choice([0, 0, r.uniform(-0.5, 0.5)]))
            bus = self.bus([*(230 * scale * A ** np.arange(n - 1)), 0], n - 1)
        else:
            n, earthing = len(bus.nominal), 1.0
        source = self.add("CyVoltageSource", [n, bus.nominal[:-1] - bus.nominal[-1]], n)
        self.join(bus.index, source, [(k, k) for k in range(n)])
        if earthing < 0.75:
            self.earth(bus, n - 1)
        elif earthing < 0.9:
            level = self.add("CyDeltaPotentialRef", [n - 1], n - 1)
            self.join(bus.index, level, [(k, k) for k in range(n - 1)])
        # else unearthed

    def delta_source(self, bus=None):
        r = self.r
        level = r.random()
        if bus is None:
            n = r.choice([3, 3, 3, 2])
            potentials = 230 * A ** np.arange(3) if n == 3 else np.array([200, -200])
            if level >= 0.6:  # a reference on port 0 or on the last port
                potentials = potentials - potentials[0 if level < 0.9 else n - 1]
            bus = self.bus(potentials * r.uniform(0.97, 1.03), None)
        else:
            level = 1.0
        ports = bus.phases
        n, potentials = len(ports), bus.nominal[ports]
        source = self.add("CyDeltaVoltageSource", [n, potentials[:-1] - potentials[1:]], n)
        self.join(bus.index, source, [(ports[k], k) for k in range(n)])
        if level < 0.6:
            ref = self.add("CyDeltaPotentialRef", [n], n)
            self.join(bus.index, ref, [(ports[k], k) for k in range(n)])
        elif level < 1.0:
            self.earth(bus, ports[0 if level < 0.9 else n - 1])

    # -- branches

    def conductors(self, bus):
        """Ports of a bus for a branch of 2 to 4 conductors, the neutral last when it is taken."""
        r, phases = self.r, bus.phases
        if bus.neutral is not None and r.random() < 0.8:
            return sorted(r.sample(phases, r.randint(1, len(phases)))) + [bus.neutral]
        if len(phases) < 2:
            return None
        return sorted(r.sample(phases, r.randint(2, len(phases))))

    def matrix(self, m, diagonal, coupling):
        z = np.zeros((m, m), dtype=complex)
        for i in range(m):
            z[i, i] = diagonal()
            for j in range(i):
                z[i, j] = z[j, i] = coupling(z[i, i])
        return z.ravel()

    def new_line(self, m, bus):
        r = self.r
        length = r.choice([0.05, 0.2, 0.5, 1.0])
        z = self.matrix(m, lambda: length * complex(r.uniform(0.05, 0.5), r.uniform(0.02, 0.2)),
                        lambda d: 1j * d.imag * r.uniform(0, 0.4))
        if r.random() >= 0.35:
            return self.add("CySimplifiedLine", [m, z], 2 * m, m)
        y = self.matrix(m, lambda: length * complex(r.choice([0, 1e-7]), r.uniform(1e-6, 5e-5)),
                        lambda d: -d * r.uniform(0, 0.3))
        line = self.add("CyShuntLine", [m, y, z], 2 * m + 1, m)
        if self.grounds and r.random() < 0.4:
            ground = r.choice(self.grounds)
        else:
            ground = self.add("CyGround", [], 1)
            self.grounds.append(ground)
            draw = r.random()
            if draw < 0.75:
                self.spec.joins.append(("connect", ground, self.add("CyPotentialRef", [], 1), [(0, 0)]))
            elif draw < 0.85 and bus.neutral is not None:
                self.spec.joins.append(("connect", bus.index, ground, [(bus.neutral, 0)]))
            # else the ground floats
        self.spec.joins.append(("connect", ground, line, [(0, 2 * m)]))
        return line

    def branch_to_new_bus(self, branch, bus, ports, carried=None):
        """A new bus of the given ports of bus, behind branch, which carries them all or those of
        carried."""
        neutral = ports.index(bus.neutral) if bus.neutral in ports else None
        new = self.bus(bus.nominal[ports], neutral)
        carried = ports if carried is None else carried
        near = list(enumerate(carried))
        far = [(k, ports.index(p)) for k, p in enumerate(carried)]
        if self.r.random() < 0.08:  # side 1 on the far bus: a branch facing away from the source
            near, far, new_first = far, near, True
        else:
            new_first = False
        self.side(branch, new.index if new_first else bus.index, near, True)
        self.side(branch, bus.index if new_first else new.index, far, False)
        return new

    def line(self, bus):
        ports = self.conductors(bus)
        if ports is None:
            return
        if self.r.random() >= 0.1:
            self.branch_to_new_bus(self.new_line(len(ports), bus), bus, ports)
            return
        new = None  # one single-conductor line per conductor, side by side
        for k, port in enumerate(ports):
            line = self.new_line(1, bus)
            if new is None:
                new = self.branch_to_new_bus(line, bus, ports, [port])
            else:
                self.side(line, bus.index, [(0, port)], True)
                self.side(line, new.index, [(0, k)], False)

    def switch(self, bus):
        r = self.r
        if r.random() < 0.3:
            self.mesh(bus, "CyOpenSwitch")  # a normally-open point between two fed buses
            return
        ports = self.conductors(bus)
        if ports is not None:
            cls = "CySwitch" if r.random() < 0.8 else "CyOpenSwitch"  # open: an island behind it
            self.branch_to_new_bus(self.add(cls, [len(ports)], 2 * len(ports), len(ports)), bus, ports)

    def terminals(self, bus):
        """(phase, return) ports of a bus for a single-phase winding, and the voltage across them."""
        r, phases = self.r, bus.phases
        if bus.neutral is not None and r.random() < 0.75:
            pair = r.choice(phases), bus.neutral
        elif len(phases) >= 2:
            pair = tuple(r.sample(phases, 2))
        else:
            return None, 0
        return pair, bus.nominal[pair[0]] - bus.nominal[pair[1]]

    def single_transformer(self, bus):
        r = self.r
        pair, u1 = self.terminals(bus)
        if abs(u1) < 1:
            return
        k = r.choice([230, 230, 115]) / abs(u1) * r.uniform(0.97, 1.03)
        if r.random() < 0.4:
            k *= cmath.exp(1j * r.uniform(-0.1, 0.1))
        z2 = complex(r.uniform(0.01, 0.05), r.uniform(0.02, 0.1))
        ym = complex(r.uniform(1e-7, 1e-6), -r.uniform(1e-6, 1e-5)) * (230 / abs(u1)) ** 2
        transformer = self.add("CySingleTransformer", [z2, ym, k], 4, 2)
        self.side(transformer, bus.index, list(enumerate(pair)), True)
        draw = r.random()
        base = bus.nominal[pair[1]] if 0.6 <= draw < 0.9 else 0
        secondary = self.bus([base + k * u1, base], 1)
        self.side(transformer, secondary.index, [(0, 0), (1, 1)], False)
        if draw < 0.6:
            self.earth(secondary, 1)
        elif draw < 0.9:  # the secondary's return on the primary's
            self.spec.joins.append(("connect", bus.index, secondary.index, [(pair[1], 1)]))

    def regulator(self, bus):
        r = self.r
        pair, u1 = self.terminals(bus)
        if abs(u1) < 1:
            return
        u_ref = r.uniform(220, 240) * abs(u1) / 230
        phi = r.choice([0.0, 0.0, r.uniform(-0.3, 0.3)])
        z2 = complex(r.uniform(0.01, 0.05), r.uniform(0.02, 0.1))
        ym = complex(r.uniform(1e-6, 1e-5), -r.uniform(1e-5, 1e-4))
        args = [z2, ym, u_ref, r.choice([0.05, 0.1, 0.15]), r.choice([100.0, 300.0, 1000.0]), phi]
        regulator = self.add("CySingleVoltageRegulator", args, 4, 2)
        self.side(regulator, bus.index, list(enumerate(pair)), True)
        base = bus.nominal[pair[1]]
        # Never started at 0 V: |U2| has no derivative there.
        secondary = self.bus([base + u_ref * cmath.exp(1j * phi) * u1 / abs(u1), base], 1, never_zero=True)
        self.side(regulator, secondary.index, [(0, 0), (1, 1)], False)

    def three_phase_transformer(self, bus):
        r = self.r
        whv, wlv, clocks = r.choice(VECTOR_GROUPS)
        if len(bus.phases) < 3 or (whv == "Y" and bus.neutral is None and r.random() < 0.5):
            return
        clock, phases = r.choice(clocks), sorted(r.sample(bus.phases, 3))
        n1, n2 = (4 if whv == "Y" else 3), (3 if wlv == "d" else 4)
        centre = bus.nominal[bus.neutral] if bus.neutral is not None else bus.nominal[phases].mean()
        hv = bus.nominal[phases] - centre
        factor = WINDING_FACTOR[whv] * WINDING_FACTOR[wlv]
        k = r.uniform(0.97, 1.03) * 230 / (abs(hv[0]) * factor)
        z2 = complex(r.uniform(0.002, 0.02), r.uniform(0.005, 0.05))
        ym = complex(r.uniform(1e-8, 1e-7), -r.uniform(1e-7, 1e-6)) * (20e3 / (abs(hv[0]) * WINDING_FACTOR[whv])) ** 2
        transformer = self.add("CyThreePhaseTransformer", [n1, n2, whv, wlv, z2, ym, k, clock], n1 + n2, n1)
        pairs = [(j, phases[j]) for j in range(3)]
        if whv == "Y" and bus.neutral is not None and r.random() < 0.8:
            pairs.append((3, bus.neutral))  # else the HV star point floats
        self.side(transformer, bus.index, pairs, True)
        lv = k * factor * cmath.exp(-1j * math.pi / 6 * clock) * hv
        secondary = self.bus([*lv, 0] if n2 == 4 else lv, 3 if n2 == 4 else None)
        self.side(transformer, secondary.index, [(j, j) for j in range(n2)], False)
        draw = r.random()
        if n2 == 4 and draw < 0.9:
            self.earth(secondary, 3)
        elif n2 == 3 and draw < 0.5:
            level = self.add("CyDeltaPotentialRef", [3], 3)
            self.join(secondary.index, level, [(j, j) for j in range(3)])
        elif n2 == 3 and draw < 0.9:
            self.earth(secondary, 0)

    def center_transformer(self, bus):
        r = self.r
        pair, u1 = self.terminals(bus)
        if abs(u1) < 1:
            return
        k = 240 / abs(u1)
        transformer = self.add("CyCenterTransformer", [complex(r.uniform(0.01, 0.05), r.uniform(0.02, 0.1)),
                                                       complex(1e-6, -1e-5), k], 5, 2)
        self.side(transformer, bus.index, list(enumerate(pair)), True)
        secondary = self.bus([k * u1 / 2, -k * u1 / 2, 0], 2)
        self.side(transformer, secondary.index, [(0, 0), (1, 1), (2, 2)], False)
        if r.random() < 0.8:
            self.earth(secondary, 2)

    # -- loads

    def law(self, u, s_th):
        r = self.r
        s_max = abs(s_th) * r.uniform(1.0, 1.5) + 10
        thresholds = tuple(u * x for x in (0.9, 0.95, 1.03, 1.08))
        if s_th.real < 0 and r.random() < 0.6:
            control_p = ("p_max_u_production", *thresholds)
        elif s_th.real > 0 and r.random() < 0.4:
            control_p = ("p_max_u_consumption", *thresholds)
        else:
            control_p = ("constant", 0, 0, 0, 0)
        control_q = ("q_u", *thresholds) if r.random() < 0.5 else ("constant", 0, 0, 0, 0)
        alpha = r.choice([100.0, 200.0, 400.0])
        projection = (r.choice(["euclidean", "keep_p", "keep_q"]), alpha, 1e-4)
        return Law((*control_p, alpha, 1e-4), (*control_q, alpha, 1e-4), projection, s_max, -0.4 * s_max,
                   0.4 * s_max)

    def values(self, cls, voltages):
        """A load's values for its phase or branch voltages: powers now and then produced."""
        r = self.r
        if "Current" in cls:
            return np.array([r.uniform(0.5, 25) * abs(u) / 230 * cmath.exp(-1j * r.uniform(-0.3, 0.5))
                             for u in voltages])
        powers = []
        for u in np.maximum(np.abs(voltages), 10):
            p = r.uniform(200, 6000) * u / 230 * r.choice([1, 1, 1, -0.5])
            powers.append(complex(p, abs(p) * r.uniform(-0.3, 0.6)) / (u**2 if "Admittance" in cls else 1))
        return np.conj(powers) if "Admittance" in cls else np.array(powers)

    def load(self, bus):
        r = self.r
        phases = bus.phases
        kind = r.choice(["Power", "Power", "Current", "Admittance", "Flexible"])
        star = len(phases) < 2 or r.random() >= 0.35
        if star and len(phases) == 3 and bus.neutral is not None and r.random() < 0.1:
            balancer = self.add("CyLoadBalancer", [complex(r.uniform(0.01, 0.05), r.uniform(0.01, 0.05)),
                                                   complex(r.uniform(1e-3, 2e-2), -r.uniform(1e-3, 2e-2)),
                                                   r.uniform(0.8, 1.2)], 4)
            self.join(bus.index, balancer, [(p, k) for k, p in enumerate(phases)] + [(bus.neutral, 3)])
            return
        if star:
            ports = sorted(r.sample(phases, r.randint(1, min(3, len(phases)))))
            cls, n = f"Cy{kind}Load", len(ports) + 1
            # A single phase always returns on the neutral; else now and then its star point is free.
            point = bus.neutral if bus.neutral is not None and (n == 2 or r.random() < 0.85) else None
            voltages = bus.nominal[ports] - (bus.nominal[point] if point is not None else 0)
        else:
            ports = sorted(r.sample(phases, 3 if len(phases) >= 3 and r.random() < 0.7 else 2))
            cls, n = f"CyDelta{kind}Load", len(ports)
            voltages = bus.nominal[ports] - np.roll(bus.nominal[ports], -1)
        values = self.values(cls, voltages)
        args = [n, values]
        if kind == "Flexible":
            shared = self.law(abs(voltages[0]), values[0])
            args.append([shared if r.random() < 0.3 else self.law(abs(u), s) for u, s in zip(voltages, values)])
        load = self.add(cls, args, n)
        pairs = [(p, k) for k, p in enumerate(ports)]
        if star and point is not None:
            pairs.append((point, n - 1))
        elif star:
            draw = r.random()
            if draw < 0.2 or (n > 2 and draw < 0.6):  # an earthed star point, or a free one started mid-way
                centre = bus.nominal[phases].mean() if draw >= 0.2 and len(phases) > 2 else 0
                point = self.bus([centre], None)
                self.buses.pop()
                if draw < 0.2:
                    self.earth(point, 0)
                self.join(point.index, load, [(0, n - 1)])
            # else the star point is joined to nothing
        self.join(bus.index, load, pairs)

    # -- the rest

    def extra_earth(self, bus):
        if bus.neutral is not None:
            self.earth(bus, bus.neutral)

    def lonely(self, bus):
        self.bus(bus.nominal[:1], None)
        self.buses.pop()  # nothing will be joined to it

    def mesh(self, bus, cls="CySimplifiedLine"):
        n = len(bus.nominal)
        others = [b for b in self.buses
                  if b is not bus and len(b.nominal) == n and np.abs(b.nominal - bus.nominal).max() < 40]
        if not others:
            return
        if cls == "CySimplifiedLine":
            branch = self.add(cls, [n, self.matrix(n, lambda: complex(self.r.uniform(0.05, 0.5), 0.1), lambda d: 0j)],
                              2 * n, n)
        else:
            branch = self.add(cls, [n], 2 * n, n)
        self.side(branch, bus.index, [(k, k) for k in range(n)], True)
        self.side(branch, self.r.choice(others).index, [(k, k) for k in range(n)], False)

    def second_source(self, bus):
        if bus.neutral is not None and bus.neutral == len(bus.nominal) - 1:
            self.star_source(bus)
        elif bus.neutral is None and len(bus.phases) >= 2:
            self.delta_source(bus)

    def draw(self):
        r = self.r
        if r.random() < 0.75:
            self.star_source()
        else:
            self.delta_source()
        actions = [(self.line, 3.0), (self.switch, 1.0), (self.single_transformer, 0.5), (self.regulator, 0.5),
                   (self.load, 4.0), (self.extra_earth, 0.3), (self.lonely, 0.01), (self.mesh, 0.2),
                   (self.second_source, 0.08)]
        if not self.sweep:
            actions += [(self.three_phase_transformer, 0.6), (self.center_transformer, 0.15)]
        for _ in range(r.randint(2, 16)):
            action = r.choices([a for a, _ in actions], [w for _, w in actions])[0]
            action(r.choice(self.buses[-4:] if r.random() < 0.6 else self.buses))
        spec = self.spec
        if r.random() < 0.15:
            for i in r.sample(range(len(spec.elements)), r.randint(1, 2)):
                spec.elements[i].disconnected = True
        spec.order = list(range(len(spec.elements)))
        r.shuffle(spec.order)
        return spec


def random_network(rng, sweep=False):
    """A random network's description; sweep: only what the backward-forward sweep takes (no
    three-phase or centre-tap transformer)."""
    return _Grower(rng, sweep).draw()


# ---- building


class Built:
    """The elements of a spec, made, joined and disconnected as it says, and their network."""

    def __init__(self, cy, spec):
        self.cy, self.spec = cy, spec
        self.parameters = {}  # id(law): its CyFlexibleParameter

        def value(a):
            if isinstance(a, Law):
                if id(a) not in self.parameters:
                    self.parameters[id(a)] = cy.CyFlexibleParameter(
                        cy.CyControl(*a.control_p), cy.CyControl(*a.control_q), cy.CyProjection(*a.projection),
                        *a.limits)
                return self.parameters[id(a)]
            if isinstance(a, list):
                return np.array([value(x) for x in a], dtype=object)
            return a.astype(complex) if isinstance(a, np.ndarray) else a

        self.elements = [getattr(cy, e.cls)(*[value(a) for a in e.args]) for e in spec.elements]
        for join in spec.joins:
            element = self.elements[join[1]]
            if join[0] == "connect":
                element.connect(self.elements[join[2]], join[3])
            elif join[0] == "ports":
                element.connect_ports(np.array(join[2], dtype=np.int32))
            else:
                element.connect_side(self.elements[join[2]], join[3], join[4])
        for element, e in zip(self.elements, spec.elements):
            if e.disconnected:
                element.disconnect()
        listed = np.array([self.elements[i] for i in spec.order], dtype=object)
        self.network = cy.CyElectricalNetwork(listed, len(listed))

    def solver(self, kind):
        if kind == "newton":
            return self.cy.CyNewton(self.network, True)
        if kind == "goldstein":
            return self.cy.CyNewtonGoldstein(self.network, True, 0.1, 0.9, True)
        return self.cy.CyBackwardForward(self.network)


# ---- judging


class _Judge:
    """Collects the failures. A Newton-family tolerance bounds residual currents in A (and the
    voltage equations in V); the sweep's bounds the last potential change in V, so there a current
    may lag its law by the element's admittance times that change."""

    def __init__(self, kind, tolerance):
        self.sweep, self.tolerance = kind == "backward_forward", tolerance
        self.failures = []

    def amps(self, what, residual, size, admittance=0.0):
        self.test(what, residual, MARGIN * self.tolerance * (admittance if self.sweep else 1.0) + ROUNDING * size, "A")

    def volts(self, what, residual, size, per=1.0):
        self.test(what, residual, MARGIN * self.tolerance * per + ROUNDING * size, "V")

    def exact(self, what, residual, size=0.0):
        self.test(what, residual, ROUNDING * size, "")

    def test(self, what, residual, limit, unit):
        residual = float(np.max(np.abs(residual))) if np.size(residual) else 0.0
        if not residual <= limit:
            self.failures.append(f"{what}: {residual:.3g} {unit} (allowed {limit:.3g})".replace("  (", " ("))


def _norm(matrix):
    return float(np.abs(matrix).sum(axis=1).max())


def _flexible_powers(parameters, s_th, u):
    """The powers a flexible load's laws give at voltages u, and how fast they move with |u| (VA/V)."""
    powers, slopes = [], []
    for parameter, s, x in zip(parameters, s_th, np.abs(u)):
        h = 1e-3 * max(x, 1.0)
        powers.append(parameter.compute_power(x, s))
        slopes.append(abs(parameter.compute_power(x + h, s) - parameter.compute_power(max(x - h, 0.0), s)) / h)
    return np.array(powers), np.array(slopes)


def _element_laws(judge, e, element, name, v, c, parameters):
    """Checks an element's port currents c against its law at its port potentials v; returns its
    admittance (how far its currents move per volt), which scales what the sweep may miss."""
    cls, args = e.cls, e.args
    size = float(np.abs(c).sum() + 1.0)
    if cls in ("CyBus", "CyGround", "CyOpenSwitch"):
        judge.exact(f"{name} draws current", c)
    elif cls == "CyDeltaPotentialRef":
        judge.volts(f"{name}: its potentials do not sum to zero", v.sum(), np.abs(v).sum())
        judge.exact(f"{name}: current on ports past 0", c[1:])
        judge.exact(f"{name}: get_current() is not port 0's", element.get_current() - c[0], size)
    elif cls == "CySwitch":
        m = args[0]
        judge.volts(f"{name}: its sides apart", v[:m] - v[m:], np.abs(v).max())
        judge.amps(f"{name}: side currents not opposite", c[:m] + c[m:], size)
    elif cls == "CyVoltageSource":
        judge.volts(f"{name}: voltages do not stand", v[:-1] - v[-1] - args[1], np.abs(v).max())
        judge.amps(f"{name}: neutral does not return the phases", c.sum(), size)
    elif cls == "CyDeltaVoltageSource":
        judge.volts(f"{name}: voltages do not stand", v[:-1] - v[1:] - args[1], np.abs(v).max())
        judge.amps(f"{name}: currents do not sum to zero", c.sum(), size)
    elif cls in ("CySimplifiedLine", "CyShuntLine"):
        m = args[0]
        zinv = np.linalg.inv(np.asarray(args[-1]).reshape(m, m))
        one = zinv @ (v[:m] - v[m:2 * m])
        two, admittance = -one, _norm(zinv)
        if cls == "CyShuntLine":  # half the shunt admittance at each end, returned by the ground port
            y, ground = np.asarray(args[1]).reshape(m, m) / 2, v[2 * m]
            one, two = one + y @ (v[:m] - ground), two + y @ (v[m:2 * m] - ground)
            admittance += 2 * _norm(y)
            judge.amps(f"{name}: ground current", c[2 * m] + (one + two).sum(), size, admittance)
        judge.amps(f"{name}: side-1 currents off the line's law", c[:m] - one, size, admittance)
        judge.amps(f"{name}: side-2 currents off the line's law", c[m:2 * m] - two, size, admittance)
        return admittance
    elif cls in ("CySingleTransformer", "CySingleVoltageRegulator"):
        z2, ym = args[0], args[1]
        if cls == "CySingleTransformer":
            k = args[2]
        else:
            tap, (u_ref, u_range, alpha, phi) = element.get_tap(), args[2:]
            k = tap * cmath.exp(1j * phi)
            judge.exact(f"{name}: tap {tap} outside its band", max(abs(tap - 1) - u_range, 0.0), 1.0)
            if min(tap - (1 - u_range), 1 + u_range - tap) > 30 / alpha:  # well inside the band
                judge.volts(f"{name}: secondary off its set point", abs(v[2] - v[3]) - u_ref, u_ref, u_ref)
        u1, u2 = v[0] - v[1], v[2] - v[3]
        i2 = (u2 - k * u1) / z2
        i1 = ym * u1 - np.conj(k) * i2
        admittance = (1 + abs(k) ** 2) / abs(z2) + abs(ym)
        judge.amps(f"{name}: secondary current off U2 = k U1 + z2 I2", c[2] - i2, size, admittance)
        judge.amps(f"{name}: primary current off I1 = ym U1 - conj(k) I2", c[0] - i1, size, admittance)
        # The regulator's neutrals share a node: only their sum counts.
        returns = [c[1] + c[0], c[3] + c[2]] if cls == "CySingleTransformer" else c.sum()
        judge.amps(f"{name}: return currents off", returns, size)
        return admittance
    elif cls == "CyLoadBalancer":
        z2, ym, k = args
        z = np.full((3, 3), -1 / (k * ym), dtype=complex)
        np.fill_diagonal(z, z2 + (1 + 1 / k**2) / ym)
        admittance = _norm(np.linalg.inv(z))
        judge.amps(f"{name}: currents off Z^-1 U", c[:3] - np.linalg.solve(z, v[:3] - v[3]), size, admittance)
        judge.amps(f"{name}: neutral does not return", c.sum(), size)
        judge.exact(f"{name}: inner currents", element.get_inner_currents(3) - c[:3], size)
        return admittance
    elif "Load" in cls:
        star = cls in STAR_LOADS
        u = v[:-1] - v[-1] if star else v - np.roll(v, -1)
        magnitude = np.abs(u)
        if "Flexible" in cls:
            powers, slopes = _flexible_powers(parameters, args[1], u)
            law = np.conj(powers / u)
            admittance = float(np.max((np.abs(powers) + slopes * magnitude) / magnitude**2))
            judge.amps(f"{name}: get_powers() off its laws", (element.get_powers(len(u)) - powers) / magnitude, size)
        else:
            values = args[1]
            law, admittance = {"Power": (np.conj(values / u), np.abs(values) / magnitude**2),
                               "Current": (values * u / magnitude, np.abs(values) / magnitude),
                               "Admittance": (values * u, np.abs(values))}[cls.replace("Delta", "")[2:-4]]
            admittance = float(np.max(admittance))
        if star:
            judge.amps(f"{name}: phase currents off its law", c[:-1] - law, size, admittance)
            judge.amps(f"{name}: neutral does not return", c.sum(), size)
            if "Flexible" not in cls:
                judge.exact(f"{name}: inner currents", element.get_inner_currents(e.n - 1) - c[:-1], size)
        else:  # port i takes branch i out and branch i - 1 in
            judge.amps(f"{name}: port currents off its branch laws", c - (law - np.roll(law, 1)), size, 2 * admittance)
            if "Flexible" not in cls:
                judge.amps(f"{name}: inner currents", element.get_inner_currents(e.n) - law, size, admittance)
        return admittance
    # The three-phase and centre-tap transformers: no law stated exactly; their nodes still balance.
    return 0.0


def check(built, kind, tolerance):
    """What is wrong with the values a solved network reads: [] when they are a load flow."""
    judge, spec = _Judge(kind, tolerance), built.spec
    potentials, currents = [], []
    for i, (e, element) in enumerate(zip(spec.elements, built.elements)):
        v, c = element.get_potentials(e.n), element.get_currents(e.n)
        potentials.append(v)
        currents.append(c)
        extra = [element.get_current()] if "PotentialRef" in e.cls else []
        extra += [element.get_tap()] if e.cls == "CySingleVoltageRegulator" else []
        if not (np.all(np.isfinite(v)) and np.all(np.isfinite(c)) and np.all(np.isfinite(extra))):
            judge.failures.append(f"element {i} ({e.cls}) reads a non-finite value")
        elif e.disconnected:
            judge.exact(f"element {i} ({e.cls}), disconnected, reads currents", c)
    if judge.failures:
        return judge.failures
    admittances = {}
    with np.errstate(all="ignore"):  # a law at 0 V or at 1e160 V reads inf: it fails
        for i, (e, element) in enumerate(zip(spec.elements, built.elements)):
            if not e.disconnected:
                laws = [built.parameters[id(a)] for a in e.args[2]] if "Flexible" in e.cls else None
                admittances[i] = _element_laws(judge, e, element, f"element {i} ({e.cls})", potentials[i],
                                               currents[i], laws)
    scale = max(np.abs(e.args[1]).max(initial=1.0) for e in spec.elements if "Source" in e.cls or e.cls == "CyBus")
    for node in spec.nodes():
        ports = [(i, p) for i, p in node if not spec.elements[i].disconnected]
        if not ports:
            continue
        where = f"node of port {ports[0][1]} of element {ports[0][0]} ({spec.elements[ports[0][0]].cls})"
        values = np.array([potentials[i][p] for i, p in ports])
        judge.exact(f"{where}: its ports read different potentials", values - values[0], np.abs(values).max())
        judge.test(f"{where}: its potential ran away", values[0], RUN_AWAY * scale, "V")
        flowing = np.array([currents[i][p] for i, p in ports])
        size, admittance = float(np.abs(flowing).sum() + 1.0), sum(admittances[i] for i, _ in ports)
        refs = [i for i, _ in ports if spec.elements[i].cls == "CyPotentialRef"]
        if refs:  # no balance there: the reference takes what comes
            judge.exact(f"{where}: held by a reference but not at zero", values[0])
            if len(refs) == 1:
                judge.amps(f"{where}: the reference's get_current() is not the node's current",
                           built.elements[refs[0]].get_current() - flowing.sum(), size, admittance)
        else:
            judge.amps(f"{where}: currents do not balance", flowing.sum(), size, admittance)
    return judge.failures


# ---- solving, updating in place, comparing with newly built networks

UPDATES = {  # class: (method, the positions of the constructor arguments it replaces)
    "CyVoltageSource": ("update_voltages", (1,)),
    "CyDeltaVoltageSource": ("update_voltages", (1,)),
    "CyPowerLoad": ("update_powers", (1,)),
    "CyDeltaPowerLoad": ("update_powers", (1,)),
    "CyCurrentLoad": ("update_currents", (1,)),
    "CyDeltaCurrentLoad": ("update_currents", (1,)),
    "CyAdmittanceLoad": ("update_admittances", (1,)),
    "CyDeltaAdmittanceLoad": ("update_admittances", (1,)),
    "CyFlexibleLoad": ("update_powers", (1,)),
    "CyDeltaFlexibleLoad": ("update_powers", (1,)),
    "CySimplifiedLine": ("update_line_parameters", (1,)),
    "CyShuntLine": ("update_line_parameters", (1, 2)),
    "CySingleTransformer": ("update_transformer_parameters", (0, 1, 2)),
    "CyThreePhaseTransformer": ("update_transformer_parameters", (4, 5, 6)),
    "CySingleVoltageRegulator": ("update_parameters", (0, 1, 2)),
}
SCALAR_UPDATES = {"CyVoltageSource": "update_voltage", "CyPowerLoad": "update_power", "CyCurrentLoad": "update_current",
                  "CyAdmittanceLoad": "update_admittance", "CyFlexibleLoad": "update_power",
                  "CySimplifiedLine": "update_single_line_parameters", "CyShuntLine": "update_single_line_parameters"}
SOURCE_STEPS = (1.0, 0.9, 1.1)  # of the original voltages: 230 V, then 207 V, then 253 V


def draw_updates(rng, spec, step, original):
    """The updates of a time step: ("element", i, new values, by the scalar method), ("law", law,
    limits) and ("start", bus) (its start potentials again). The sources follow SOURCE_STEPS of
    their original voltages; loads, lines, laws, transformers and regulators change at random."""
    updates = []
    for i, e in enumerate(spec.elements):
        if e.cls == "CyBus" and rng.random() < 0.05:
            updates.append(("start", i))
        if e.cls not in UPDATES:
            continue
        old = [e.args[p] for p in UPDATES[e.cls][1]]
        if "Source" in e.cls:
            new = [original[i] * SOURCE_STEPS[step % 3]]
        elif "Load" in e.cls and rng.random() < 0.7:
            new = [old[0] * np.array([rng.uniform(0.3, 1.7) for _ in old[0]])]
        elif "Line" in e.cls and rng.random() < 0.4:
            new = [o * rng.uniform(0.7, 1.3) for o in old]
        elif "Transformer" in e.cls and rng.random() < 0.3:
            new = [old[0] * rng.uniform(0.8, 1.2), old[1], old[2] * rng.uniform(0.98, 1.02)]
        elif e.cls == "CySingleVoltageRegulator" and rng.random() < 0.3:
            new = [old[0], old[1], old[2] * rng.uniform(0.97, 1.03)]
        else:
            continue
        single = e.args[0] == 1 if "Line" in e.cls else e.n == 2
        updates.append(("element", i, new, e.cls in SCALAR_UPDATES and single and rng.random() < 0.5))
        if "Flexible" in e.cls and rng.random() < 0.3:
            law = rng.choice(e.args[2])
            s_max = law.limits[0] * rng.uniform(0.7, 1.3)
            updates.append(("law", law, [s_max, -0.4 * s_max, 0.4 * s_max]))
    return updates


def apply_updates(spec, built, updates):
    """Applies updates to the description and, in place, to the built elements."""
    for update in updates:
        if update[0] == "start":
            built.elements[update[1]].initialize_potentials(spec.elements[update[1]].args[1].astype(complex))
        elif update[0] == "law":
            law = update[1]
            law.limits = list(update[2])
            built.parameters[id(law)].update_parameters(*law.limits)
        else:
            _, i, new, scalar = update
            e = spec.elements[i]
            method, positions = UPDATES[e.cls]
            for p, value in zip(positions, new):
                e.args[p] = value
            if scalar:
                getattr(built.elements[i], SCALAR_UPDATES[e.cls])(*[complex(np.ravel(v)[0]) for v in new])
            else:
                getattr(built.elements[i], method)(*[np.asarray(v, complex) if np.ndim(v) else v for v in new])


def solve(solver, tolerance, iterations):
    """("refused", message), ("limit", error) or ("converged", error)."""
    try:
        error = solver.solve_load_flow(iterations, tolerance)[1]
    except RuntimeError as refusal:
        return "refused", str(refusal)
    return ("converged" if error <= tolerance else "limit"), error


def state(built):
    """The port currents of every connected element and the potentials of each of its sides against
    the side's first port: what two load flows of one network share even where a part floats."""
    currents, voltages = [np.zeros(0)], [np.zeros(0)]
    for e, element in zip(built.spec.elements, built.elements):
        if not e.disconnected:
            currents.append(element.get_currents(e.n))
            v = element.get_potentials(e.n)
            if e.side1:
                end = 2 * e.side1 if "Line" in e.cls or "Switch" in e.cls else e.n
                v = np.concatenate([v[:e.side1] - v[0], v[e.side1:end] - v[e.side1]])
            voltages.append(v - v[0])
    return np.concatenate(currents), np.concatenate(voltages)


def trial(cy, seed, kind, tolerance=None, steps=3):
    """Solves the network of a seed, then re-solves it in place after each step's updates and solves
    a newly built one alike. Returns (false successes, notes, outcomes); the notes say where the
    in-place and the newly built results differ."""
    rng = random.Random(seed)
    spec = random_network(rng, kind == "backward_forward")
    tolerance = tolerance or rng.choice([1e-4, 1e-6, 1e-8, 1e-10])
    iterations = rng.choice([1, 3, 30, 100, 100, 100] if kind != "backward_forward" else [1, 3, 100, 1000, 1000])
    label = f"seed {seed}, {kind}, tolerance {tolerance:g}"
    failures, notes, outcomes = [], [], []
    original = {i: e.args[1] for i, e in enumerate(spec.elements) if "Source" in e.cls}
    built = Built(cy, spec)
    try:
        solver = built.solver(kind)
    except RuntimeError as refusal:  # a flexible law the solver cannot record
        return failures, notes, [("refused", str(refusal))]
    for step in range(steps):
        where = f"{label}, step {step}"
        if step:
            apply_updates(spec, built, draw_updates(rng, spec, step, original))
        outcome = solve(solver, tolerance, iterations)
        outcomes.append(outcome)
        if outcome[0] == "refused":
            break  # what a refused solve leaves needs reset_inputs()
        if outcome[0] == "converged":
            failures += [f"{where}: {problem}" for problem in check(built, kind, tolerance)]
        if step == 0:
            continue
        fresh = Built(cy, spec)
        fresh_solver = fresh.solver(kind)  # kept: the elements read its values while it lives
        fresh_outcome = solve(fresh_solver, tolerance, iterations)
        if fresh_outcome[0] == "converged":
            failures += [f"{where}, newly built: {problem}" for problem in check(fresh, kind, tolerance)]
        if fresh_outcome[0] != outcome[0]:
            notes.append(f"{where}: in place {outcome[0]}, newly built {fresh_outcome[0]} ({fresh_outcome[1]})")
        elif outcome[0] == "converged":
            with np.errstate(invalid="ignore"):
                (i1, v1), (i2, v2) = state(built), state(fresh)
                gap = max(np.abs(i1 - i2).max(initial=0), np.abs(v1 - v2).max(initial=0))
            if not gap <= 1e-3 + 1e4 * tolerance:
                notes.append(f"{where}: in place and newly built differ by {gap:.3g} (V or A)")
    return failures, notes, outcomes
