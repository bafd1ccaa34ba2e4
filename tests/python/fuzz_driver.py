"""Drives load_flow_engine.cy_engine with random calls: wrong types, lengths, indices, None, and
peers that have been deleted. Every Python exception is fine; the process must not die.

    python fuzz_driver.py SEED ITERATIONS SECONDS

Run by test_fuzz.py in a child process. Prints "done <calls>" at the end.
"""

import collections
import gc
import os
import random
import re
import shutil
import sys
import tempfile
import time

import numpy as np

import load_flow_engine.cy_engine as cy

CLASSES = [getattr(cy, name) for name in vars(cy) if name.startswith("Cy")]
INTS = [-2, -1, 0, 1, 2, 3, 4, 5, 8, 2**31, -(2**31), -(2**31) - 1, True]
FLOATS = [0.0, 1.0, -1.0, 1e-9, 0.5, float("nan"), float("inf"), 1e300]
PREFIXES = ["m", "", "missing/m", "a\0b", b"bytes", "\ud800"]
# The type names of the controls and projections, and near misses.
TYPE_NAMES = ["constant", "q_u", "p_max_u_production", "p_max_u_consumption", "euclidean", "keep_p", "keep_q",
              "Q_u", "keep_q "]


# Constructor signatures, in the docstring form of the methods; classes not listed are driven with
# the argument count their argument error reports.
CONSTRUCTORS = {
    "CyBus": "int n, double complex[::1] potentials",
    "CySwitch": "int n",
    "CyOpenSwitch": "int n",
    "CyDeltaPotentialRef": "int n",
    "CySimplifiedLine": "int n, double complex[::1] z_line",
    "CyShuntLine": "int n, double complex[::1] y_shunt, double complex[::1] z_line",
    "CyPowerLoad": "int n, double complex[::1] powers",
    "CyDeltaPowerLoad": "int n, double complex[::1] powers",
    "CyAdmittanceLoad": "int n, double complex[::1] admittances",
    "CyDeltaAdmittanceLoad": "int n, double complex[::1] admittances",
    "CyCurrentLoad": "int n, double complex[::1] currents",
    "CyDeltaCurrentLoad": "int n, double complex[::1] currents",
    "CyLoadBalancer": "double complex z2, double complex ym, double k",
    "CyControl": "str t, double u_min, double u_down, double u_up, double u_max, double alpha, double epsilon",
    "CyProjection": "str t, double alpha, double epsilon",
    "CyFlexibleParameter": "CyControl control_p, CyControl control_q, CyProjection projection, double s_max, "
                           "double q_min, double q_max",
    "CyFlexibleLoad": "int n, double complex[::1] powers, parameters",
    "CyDeltaFlexibleLoad": "int n, double complex[::1] powers, parameters",
    "CyVoltageSource": "int n, double complex[::1] voltages",
    "CyDeltaVoltageSource": "int n, double complex[::1] voltages",
    "CyThreePhaseTransformer": "int n1, int n2, str whv, str wlv, double complex z2, double complex ym, double k, int clock",
    "CySingleTransformer": "double complex z2, double complex ym, double complex k",
    "CyCenterTransformer": "double complex z2, double complex ym, double k",
    "CySingleVoltageRegulator": "double complex z2, double complex ym, double u_ref, double u_range, double alpha, double phi",
    "CyElectricalNetwork": "elements, int nb_elements",
    "CyNewton": "CyElectricalNetwork network, bool optimize_tape",
    "CyNewtonGoldstein": "CyElectricalNetwork network, bool optimize_tape, double m1, double m2, bool weighted_merit",
    "CyBackwardForward": "CyElectricalNetwork network",
}
# Winding letters with their port counts and a clock each pair accepts, for valid three-phase
# transformers (random strings are refused before any port exists).
WINDINGS = [("Y", 4, "y", 4, 0), ("D", 3, "y", 4, 11), ("Y", 4, "d", 3, 1), ("D", 3, "d", 3, 6),
            ("Y", 4, "z", 4, 7), ("D", 3, "z", 4, 10)]
ABSTRACT = {"CyElement", "CyBranch", "CyLoad", "CyTransformer", "CyAbstractSolver", "CyAbstractNewton"}


def parameters(signature):
    """[(type, name)] of a docstring's argument list (without self)."""
    result = []
    for part in signature.split(","):
        words = part.split()
        if not words or words == ["self"]:
            continue
        result.append((" ".join(words[:-1]), words[-1]))
    return result


class Fuzzer:
    def __init__(self, seed):
        self.random = random.Random(seed)
        self.pool = []  # live wrappers: elements, networks, solvers, bare abstract ones
        self.arity = {}
        self.succeeded = collections.Counter()  # calls that returned, by method name
        self.size = 3  # the element size the next arrays and indices are drawn around

    # ---- values

    def length(self):
        """Array lengths around what an element of the present size reads (n - 1, n, n * n)."""
        r = self.random
        n = max(self.size, 0)
        if n >= 6:
            return r.randint(0, 16)
        return r.choice([n, n, n - 1, n + 1, n * n, n * n, 2 * n + 1, 0, r.randint(0, 16)])

    def array(self, kind=None, n=None):
        r = self.random
        n = max(0, self.length() if n is None else n)
        kind = kind or r.choice(["complex", "complex", "int", "float", "object", "float32", "int64"])
        if kind == "complex":
            a = np.array([complex(r.gauss(0, 100), r.gauss(0, 100)) for _ in range(n)], dtype=complex)
        elif kind == "int":
            a = np.array([r.randint(-1, self.size + 1) for _ in range(n)], dtype=np.int32)
        elif kind == "float":
            a = np.array([r.choice(FLOATS + [r.gauss(0, 10)] * 4) for _ in range(n)])
        elif kind == "object":
            a = np.empty(n, dtype=object)
            for k in range(n):
                a[k] = self.peer() if r.random() < 0.9 else r.choice([None, 3, "x"])
        else:
            a = np.zeros(n, dtype=np.float32 if kind == "float32" else np.int64)
        shape = r.random()
        if shape < 0.03 and n >= 2:
            return a[::2]  # strided
        if shape < 0.05:
            return a.reshape(1, -1)
        if shape < 0.07:
            a.flags.writeable = False
        return a

    def index(self):
        return self.random.choice([-1, 0, 1, 2, self.size - 1, self.size, self.random.randint(0, 8)])

    def pairs(self):
        r = self.random
        if r.random() < 0.1:
            return r.choice([None, 3, [(0,)], [(0, 1, 2)], [[0, "a"]], "ab", [(2**40, 0)], iter([(0, 0)])])
        return [(self.index(), self.index()) for _ in range(r.randint(0, 4))]

    def peer(self, cls=None):
        candidates = self.pool if cls is None else [o for o in self.pool if isinstance(o, cls)]
        return self.random.choice(candidates) if candidates else None

    def anything(self):
        r = self.random
        return r.choice([self.peer(), r.choice(INTS), self.array(), self.pairs(), r.choice(FLOATS),
                         complex(r.gauss(0, 1), 1), None] + PREFIXES + [object(), [1, 2], {}])

    def typed(self, kind):
        """A value for a declared argument type: mostly of that type, sometimes anything."""
        r = self.random
        if r.random() < 0.1:
            return self.anything()
        if kind == "int":
            return r.choice([self.index(), self.size, r.choice(INTS)])
        if kind == "double":
            return r.choice(FLOATS + [r.gauss(0, 1)] * 8)
        if kind == "double complex":
            return complex(r.gauss(0, 100), r.gauss(0, 100))
        if kind == "bool":
            return r.choice([True, False, None, 0, 2])
        if kind == "str":
            return r.choice(TYPE_NAMES + PREFIXES)
        if kind == "string":
            return r.choice(PREFIXES)
        if kind == "double complex[::1]":
            return self.array("complex")
        if kind == "int[::1]":
            return self.array("int")
        if kind == "double[::1]":
            return self.array("float")
        if kind.startswith("Cy"):
            cls = getattr(cy, kind, None)
            return self.peer(cls) if r.random() < 0.9 else r.choice([None, self.peer()])
        # untyped: index pairs or an object array
        return self.pairs() if r.random() < 0.7 else self.array("object")

    def flexible_parameters(self):
        """Mostly an object array of flexible parameters, for a flexible load."""
        r = self.random
        if r.random() < 0.2:
            return self.array("object")
        a = np.empty(max(0, self.length()), dtype=object)
        for k in range(len(a)):
            a[k] = self.peer(cy.CyFlexibleParameter) if r.random() < 0.95 else r.choice([None, self.peer()])
        return a

    def arguments(self, declared, owner_size):
        self.size = owner_size
        values = {name: self.flexible_parameters() if name == "parameters" else self.typed(kind)
                  for kind, name in declared}
        r = self.random.random()
        names = list(values)
        if r < 0.04 and names:
            names.pop()  # one argument too few
        elif r < 0.06:
            names.append("extra")
            values["extra"] = self.anything()
        if self.random.random() < 0.1 and names:
            cut = self.random.randrange(len(names))
            return [values[n] for n in names[:cut]], {n: values[n] for n in names[cut:]}
        return [values[n] for n in names], {}

    # ---- calls

    def constructor_arity(self, cls):
        if cls not in self.arity:
            try:
                cls()
                self.arity[cls] = 0
            except TypeError as e:
                found = re.search(r"takes exactly (\d+) positional", str(e))
                self.arity[cls] = int(found.group(1)) if found else 0
            except Exception:
                self.arity[cls] = 0
        return self.arity[cls]

    def construct(self):
        r = self.random
        cls = r.choice(CLASSES)
        if cls.__name__ in ABSTRACT and r.random() < 0.8:
            cls = r.choice(CLASSES)
        name = cls.__name__
        size = r.choice([-1, 0, 1, 2, 3, 4, 4, 5])
        if name == "CyElectricalNetwork":
            items = [self.peer(cy.CyElement) if r.random() < 0.9 else self.peer() for _ in range(r.randint(0, 8))]
            array = np.empty(len(items), dtype=object)
            array[:] = items
            args = [array if r.random() < 0.95 else self.anything(), r.randint(-1, len(items) + 1)]
            kwargs = {}
        elif name in CONSTRUCTORS:
            args, kwargs = self.arguments(parameters(CONSTRUCTORS[name]), size)
            if args and CONSTRUCTORS[name].startswith("int n") and r.random() < 0.9:
                args[0] = size
            if name == "CyThreePhaseTransformer" and not kwargs and len(args) == 8 and r.random() < 0.8:
                whv, n1, wlv, n2, clock = r.choice(WINDINGS)
                args[0:4], args[7] = [n1, n2, whv, wlv], clock
        else:
            args, kwargs = [self.anything() for _ in range(self.constructor_arity(cls))], {}
        self.pool.append(cls(*args, **kwargs))

    def call_method(self):
        r = self.random
        target = self.peer()
        if target is None:
            return
        names = [n for n in dir(target) if not n.startswith("_")]
        if not names or r.random() < 0.05:
            names = ["__reduce__", "__setstate__"]
        name = r.choice(names)
        method = getattr(target, name)
        doc = getattr(method, "__doc__", None) or ""
        if name == "__setstate__":
            doc = "(self, state)"
        declared = parameters(doc[doc.find("(") + 1:doc.rfind(")")]) if "(" in doc else []
        args, kwargs = self.arguments(declared, self.ports(target))
        if name == "solve_load_flow" and args:
            args[0] = r.randint(-1, 8)  # a bounded number of iterations
        method(*args, **kwargs)
        self.succeeded[name] += 1

    def ports(self, target):
        """The port count of an element (the largest count its readers accept), else a guess."""
        for k in range(12, -1, -1):
            try:
                target.get_potentials(k)
                return k
            except Exception:
                pass
        return self.random.randint(0, 8)

    def delete(self):
        if self.pool:
            self.pool.pop(self.random.randrange(len(self.pool)))
        if self.random.random() < 0.3:
            gc.collect()

    def step(self):
        r = self.random.random()
        if r < 0.25 or len(self.pool) < 4:
            self.construct()
        elif r < 0.9:
            self.call_method()
        else:
            self.delete()
        while len(self.pool) > 40:
            self.delete()


def main(seed, iterations, seconds):
    workdir = tempfile.mkdtemp(prefix="lfe-fuzz-")
    os.chdir(workdir)  # save_matrix writes its files here
    cy.cy_set_logging_config("off")
    fuzzer = Fuzzer(seed)
    deadline = time.monotonic() + seconds
    done = 0
    try:
        for done in range(1, iterations + 1):
            try:
                fuzzer.step()
            except Exception:
                pass
            if time.monotonic() > deadline:
                break
        fuzzer.pool.clear()
        gc.collect()
    finally:
        os.chdir(tempfile.gettempdir())
        shutil.rmtree(workdir, ignore_errors=True)
    print("done", done)
    print("returned:", ", ".join(f"{name} {count}" for name, count in sorted(fuzzer.succeeded.items())))


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]))
