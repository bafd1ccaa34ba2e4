"""The module frame: import, classes, argument rules, conversions, exception translation."""

import ctypes
import gc
import importlib
import os
import re
import subprocess
import sys
import traceback
import types
import warnings
from pathlib import Path

import numpy as np
import pytest

MODULE = "load_flow_engine.cy_engine"

# The class table, in creation order; classes not built yet are absent from the module but the
# present ones keep this relative order and these bases.
CLASS_TABLE = [
    ("CyElement", "object"),
    ("CyBranch", "CyElement"),
    ("CySwitch", "CyBranch"),
    ("CyOpenSwitch", "CyBranch"),
    ("CySimplifiedLine", "CyBranch"),
    ("CyShuntLine", "CyBranch"),
    ("CyBus", "CyElement"),
    ("CyLoad", "CyElement"),
    ("CyPowerLoad", "CyLoad"),
    ("CyDeltaPowerLoad", "CyLoad"),
    ("CyAdmittanceLoad", "CyLoad"),
    ("CyDeltaAdmittanceLoad", "CyLoad"),
    ("CyCurrentLoad", "CyLoad"),
    ("CyDeltaCurrentLoad", "CyLoad"),
    ("CyLoadBalancer", "CyLoad"),
    ("CyControl", "object"),
    ("CyProjection", "object"),
    ("CyFlexibleParameter", "object"),
    ("CyFlexibleLoad", "CyLoad"),
    ("CyDeltaFlexibleLoad", "CyLoad"),
    ("CyGround", "CyElement"),
    ("CyPotentialRef", "CyElement"),
    ("CyDeltaPotentialRef", "CyElement"),
    ("CyVoltageSource", "CyElement"),
    ("CyDeltaVoltageSource", "CyElement"),
    ("CyTransformer", "CyBranch"),
    ("CyThreePhaseTransformer", "CyTransformer"),
    ("CySingleTransformer", "CyTransformer"),
    ("CyCenterTransformer", "CyTransformer"),
    ("CySingleVoltageRegulator", "CyBranch"),
    ("CyElectricalNetwork", "object"),
    ("CyAbstractSolver", "object"),
    ("CyAbstractNewton", "CyAbstractSolver"),
    ("CyNewton", "CyAbstractNewton"),
    ("CyNewtonGoldstein", "CyAbstractNewton"),
    ("CyBackwardForward", "CyAbstractSolver"),
]


# ---------------------------------------------------------------- import


def test_classes_are_created_in_table_order_with_their_bases(cy):
    present = [name for name in vars(cy) if name.startswith("Cy")]
    expected = [name for name, _ in CLASS_TABLE if hasattr(cy, name)]
    assert present == expected
    for name, base in CLASS_TABLE:
        if hasattr(cy, name):
            cls = getattr(cy, name)
            assert cls.__bases__ == ((object,) if base == "object" else (getattr(cy, base),))
            assert cls.__module__ == MODULE and cls.__qualname__ == name
            assert cls.__doc__ is None
    assert "np" in vars(cy) and cy.np is np


def test_classes_cannot_be_changed(cy):
    with pytest.raises(TypeError):
        cy.CyBus.get_potentials = None


def test_repeated_import_and_reload_give_the_same_module(cy):
    del sys.modules[MODULE]
    again = importlib.import_module(MODULE)
    assert again is cy and again.CyBus is cy.CyBus
    assert importlib.reload(cy) is cy and cy.CyBus is again.CyBus
    assert sys.modules[MODULE] is cy


def test_executing_the_definition_on_another_module_object_is_refused(cy):
    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.argtypes, get_def.restype = [ctypes.py_object], ctypes.c_void_p
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes, exec_def.restype = [ctypes.py_object, ctypes.c_void_p], ctypes.c_int
    with pytest.raises(
        RuntimeError,
        match=r"^Module 'cy_engine' has already been imported\. Re-initialisation is not supported\.$",
    ):
        exec_def(types.ModuleType("other"), get_def(cy))


def test_import_in_a_second_interpreter_is_refused(cy):
    subinterpreters = pytest.importorskip("_xxsubinterpreters")
    interpreter = subinterpreters.create()
    try:
        with pytest.raises(subinterpreters.RunFailedError) as failure:
            subinterpreters.run_string(
                interpreter, f"import sys; sys.path[:0] = {sys.path!r}; import load_flow_engine.cy_engine"
            )
    finally:
        subinterpreters.destroy(interpreter)
    assert str(failure.value) == (
        "<class 'ImportError'>: Interpreter change detected - "
        "this module can only be loaded into one interpreter per process."
    )


def test_the_checkout_does_not_shadow_the_built_package(cy):
    # Started in the repository root, an interpreter puts the root first on its path.
    root = Path(__file__).resolve().parents[2]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run(
        [sys.executable, "-c", "import load_flow_engine.cy_engine as m; print(m.__file__)"],
        capture_output=True, text=True, cwd=root, env=env, timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert Path(done.stdout.strip()) == Path(cy.__file__)


def test_import_under_warnings_as_errors_when_versions_match(run_python):
    done = run_python("import load_flow_engine.cy_engine", "-W", "error")
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize(
    "compiled, running",
    [((3, 15), (3, 11)), ((3, 11), (3, 15)), ((3, 15), (4, 15))],
)
def test_version_mismatch_warns_and_fails_under_warnings_as_errors(cy, compiled, running):
    text = (
        f"compile time Python version {compiled[0]}.{compiled[1]} of module '{MODULE}' "
        f"does not match runtime version {running[0]}.{running[1]}"
    )
    with pytest.warns(RuntimeWarning) as caught:
        cy._check_version(*compiled, *running)
    assert [str(w.message) for w in caught] == [text]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match=f"^{re.escape(text)}$"):
            cy._check_version(*compiled, *running)
        cy._check_version(3, 15, 3, 15)  # equal versions: no warning


@pytest.mark.skipif(
    not __import__("sysconfig").get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded interpreter"
)
def test_import_keeps_a_free_threaded_interpreter_free_threaded(run_python):
    done = run_python("import sys, load_flow_engine.cy_engine; print(sys._is_gil_enabled())")
    assert done.stdout.strip() == "False", done.stderr


NUMPY_FAILURES = [
    # (setup, whether the fallback module was imported)
    ("sys.modules['numpy._core._multiarray_umath'] = None", True),  # NumPy 2's fallback refuses
    ("sys.modules['numpy._core._multiarray_umath'] = None\n"
     "sys.modules['numpy.core._multiarray_umath'] = None", False),
    ("sys.modules['numpy._core._multiarray_umath'] = types.SimpleNamespace(_ARRAY_API=5)", False),
    ("new = ctypes.pythonapi.PyCapsule_New\n"
     "new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]\n"
     "sys.modules['numpy._core._multiarray_umath'] = types.SimpleNamespace(_ARRAY_API=new(8, b'other', None))",
     False),
]


@pytest.mark.parametrize(
    "setup, fallback", NUMPY_FAILURES, ids=["fallback", "both missing", "not a capsule", "named capsule"]
)
def test_numpy_interface_failure_fails_the_import_and_a_later_import_succeeds(run_python, setup, fallback):
    setup = "\n".join("        " + line for line in setup.splitlines())
    done = run_python(
        f"""
        import ctypes, sys, types, numpy
        real = sys.modules['numpy._core._multiarray_umath']
{setup}
        try:
            import load_flow_engine.cy_engine
        except ImportError as e:
            print(type(e).__name__, e)
        print(sys.modules.get('numpy.core._multiarray_umath') is not None)
        print('load_flow_engine.cy_engine' in sys.modules)
        sys.modules['numpy._core._multiarray_umath'] = real
        import load_flow_engine.cy_engine as m
        print(m.CyBus(1, numpy.ones(1, complex)).get_potentials(1))
        """
    )
    assert done.stdout.splitlines() == [
        "ImportError numpy._core.multiarray failed to import",
        str(fallback),
        "False",
        "[1.+0.j]",
    ], done.stderr


# ---------------------------------------------------------------- argument rules


@pytest.fixture
def bus(cy):
    return cy.CyBus(3, np.array([1, 2, 3], dtype=complex))


ARGUMENT_ERRORS = [
    # (call, TypeError message)
    (lambda cy, b: cy.CyBus(3), "__cinit__() takes exactly 2 positional arguments (1 given)"),
    (lambda cy, b: cy.CyBus(3, None, 4), "__cinit__() takes exactly 2 positional arguments (3 given)"),
    (lambda cy, b: cy.CyBus(potentials=None), "__cinit__() takes exactly 2 positional arguments (0 given)"),
    # keywords are checked before a missing argument is reported: a repeated or unknown one wins
    (lambda cy, b: cy.CyBus(3, n=3), "__cinit__() got multiple values for keyword argument 'n'"),
    (lambda cy, b: cy.CyBus(pot=1), "__cinit__() got an unexpected keyword argument 'pot'"),
    (lambda cy, b: cy.CyBus(1, pot=1), "__cinit__() got an unexpected keyword argument 'pot'"),
    (lambda cy, b: cy.CyBus(n=3), "__cinit__() takes exactly 2 positional arguments (1 given)"),
    (lambda cy, b: cy.CyBus(0, None, n=0), "__cinit__() got multiple values for keyword argument 'n'"),
    (lambda cy, b: cy.CyBus(0, None, m=0), "__cinit__() got an unexpected keyword argument 'm'"),
    (lambda cy, b: cy.CyBus(0, None, **{1: 2}), "__cinit__() keywords must be strings"),
    (lambda cy, b: cy.CySwitch(), "__cinit__() takes exactly 1 positional argument (0 given)"),
    (lambda cy, b: b.get_potentials(1, 2), "get_potentials() takes exactly 1 positional argument (2 given)"),
    (lambda cy, b: b.get_potentials(), "get_potentials() takes exactly 1 positional argument (0 given)"),
    (lambda cy, b: b.get_potentials(3, n=3), "get_potentials() got multiple values for keyword argument 'n'"),
    (lambda cy, b: b.get_potentials(3, m=3), "get_potentials() got an unexpected keyword argument 'm'"),
    (lambda cy, b: b.get_potentials(m=3), "get_potentials() got an unexpected keyword argument 'm'"),
    (lambda cy, b: b.get_potentials(m=3, n=3), "get_potentials() got an unexpected keyword argument 'm'"),
    (lambda cy, b: b.get_potentials(n=3, m=3), "get_potentials() got an unexpected keyword argument 'm'"),
    (lambda cy, b: b.get_potentials(1, 2, n=3), "get_potentials() takes exactly 1 positional argument (2 given)"),
    (lambda cy, b: b.disconnect(1), "disconnect() takes exactly 0 positional arguments (1 given)"),
    (lambda cy, b: b.disconnect(x=1), "disconnect() got an unexpected keyword argument 'x'"),
    (lambda cy, b: b.connect(cy_element=b), "connect() takes exactly 2 positional arguments (1 given)"),
    (lambda cy, b: b.connect(connections=[]), "connect() takes exactly 2 positional arguments (0 given)"),
    (lambda cy, b: b.connect(b, cy_element=b), "connect() got multiple values for keyword argument 'cy_element'"),
    (lambda cy, b: b.connect(x=1), "connect() got an unexpected keyword argument 'x'"),
    (lambda cy, b: b.connect(b, [], x=1), "connect() got an unexpected keyword argument 'x'"),
    (lambda cy, b: b.connect(1, []), f"Argument 'cy_element' has incorrect type (expected {MODULE}.CyElement, got int)"),
    (lambda cy, b: b.connect(cy.np, []), f"Argument 'cy_element' has incorrect type (expected {MODULE}.CyElement, got module)"),
    (lambda cy, b: b.__reduce__(1), "__reduce__() takes exactly 0 positional arguments (1 given)"),
    (lambda cy, b: b.__setstate__(), "__setstate__() takes exactly 1 positional argument (0 given)"),
    (lambda cy, b: cy.cy_set_logging_config(), "cy_set_logging_config() takes exactly 1 positional argument (0 given)"),
    (lambda cy, b: cy.cy_set_logging_config(sev="info"), "cy_set_logging_config() got an unexpected keyword argument 'sev'"),
    (lambda cy, b: cy.cy_set_logging_config("info", severity="info"),
     "cy_set_logging_config() got multiple values for keyword argument 'severity'"),
    (lambda cy, b: cy.cy_set_logging_config(**{1: 2}), "keywords must be strings"),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS)
def test_argument_errors(cy, bus, call, message):
    with pytest.raises(TypeError) as failure:
        call(cy, bus)
    assert str(failure.value) == message


TRACEBACK_ENTRIES = [
    # (call, exception, last traceback entry)
    (lambda cy, b: b.initialize_potentials(np.zeros(3)), ValueError, "CyBus.initialize_potentials"),
    (lambda cy, b: b.get_potentials(m=1), TypeError, "CyElement.get_potentials"),
    (lambda cy, b: cy.CyBus(-1, None), RuntimeError, "CyBus.__cinit__"),
    (lambda cy, b: cy.CySwitch(), TypeError, "CySwitch.__cinit__"),
    (lambda cy, b: cy.cy_set_logging_config(None), TypeError, "cy_set_logging_config"),
]


@pytest.mark.parametrize("call, exception, entry", TRACEBACK_ENTRIES)
def test_tracebacks_end_with_the_failing_method(cy, bus, call, exception, entry):
    with pytest.raises(exception) as failure:
        call(cy, bus)
    last = traceback.extract_tb(failure.value.__traceback__)[-1]
    assert last.name == f"{MODULE}.{entry}"
    assert last.filename.startswith("cy_engine/wrap_") or last.filename == "cy_engine/module.cpp"


def test_refused_calls_leave_nothing_alive(cy, bus):
    def refuse():
        for _ in range(10_000):
            try:
                bus.get_potentials(m=1)
            except TypeError:
                pass
            try:
                cy.CyBus(-1, None)
            except RuntimeError:
                pass

    refuse()  # the first errors make the entries' code objects, kept for the process
    gc.collect()
    before = sys.getallocatedblocks()
    refuse()
    gc.collect()
    assert sys.getallocatedblocks() - before < 100


def test_arguments_by_keyword_in_any_order(cy):
    bus = cy.CyBus(potentials=np.array([5, 6], dtype=complex), n=2)
    assert list(bus.get_potentials(n=2)) == [5, 6]
    assert bus.get_port_potential(index=1) == 6
    switch = cy.CySwitch(n=1)
    switch.connect_side(beginning=True, connections=[(0, 1)], element=bus)
    assert switch.get_side_potentials(n2=0, n1=1)[0][0] == 6


def test_class_typed_argument_is_checked_after_the_other_arguments(cy):
    class Untruthful:
        def __bool__(self):
            raise ZeroDivisionError("bool")

    switch = cy.CySwitch(1)
    with pytest.raises(ZeroDivisionError):
        switch.connect_side(42, [], Untruthful())
    # connections is converted by the body, after the element check
    with pytest.raises(TypeError, match="Argument 'element' has incorrect type"):
        switch.connect_side(42, None, True)


# ---------------------------------------------------------------- conversions


class WithInt:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class Failing:
    def __int__(self):
        raise ZeroDivisionError("int")

    def __float__(self):
        raise ZeroDivisionError("float")

    def __complex__(self):
        raise ZeroDivisionError("complex")

    def __bool__(self):
        raise ZeroDivisionError("bool")


class WithIndex:
    def __index__(self):
        return 7


class WithComplex:
    def __complex__(self):
        return 1 - 2j


class SubStr(str):
    pass


CONVERSIONS = [
    # (term, value, expected result)
    ("int", 2.9, 2),
    ("int", -2.9, -2),
    ("int", True, 1),
    ("int", 2147483647, 2147483647),
    ("int", -2147483648, -2147483648),
    ("int", np.int64(-5), -5),
    ("int", np.float64(3.7), 3),
    ("int", WithInt(4), 4),
    ("float", 3, 3.0),
    ("float", 2.5, 2.5),
    ("float", np.float32(0.5), 0.5),
    ("float", WithIndex(), 7.0),
    ("complex", 1 + 2j, 1 + 2j),
    ("complex", 2, 2 + 0j),
    ("complex", 0.5, 0.5 + 0j),
    ("complex", WithComplex(), 1 - 2j),
    ("complex", np.complex128(3j), 3j),
    ("bool", True, True),
    ("bool", None, False),
    ("bool", [], False),
    ("bool", [0], True),
    ("bool", 2, True),
    ("str", "abc", b"abc"),
    ("str", "é€", "é€".encode()),
    ("str", SubStr("x"), b"x"),
    ("str", b"a\x00b", b"a\x00b"),
    ("str", bytearray(b"ab"), b"ab"),
    ("complex array", None, []),
    ("complex array", np.array([1, 2j]), [1, 2j]),
    ("complex array", np.zeros(0, complex), []),
    ("int array", np.array([3, -1], dtype=np.int32), [3, -1]),
    ("int array", (ctypes.c_int * 2)(5, 6), [5, 6]),
    ("float array", np.array([0.5, 2.0]), [0.5, 2.0]),
    ("float array", np.arange(6.0).reshape(2, 3)[1], [3.0, 4.0, 5.0]),
    ("complex array", np.zeros((3, 1), complex)[::2][:1, 0], [0j]),
]


@pytest.mark.parametrize("term, value, expected", CONVERSIONS)
def test_conversions(cy, term, value, expected):
    result = cy._convert(term, value)
    assert result == expected and type(result) is type(expected)


def test_object_array_items_are_the_objects(cy):
    items = [object(), None, 3]
    assert all(a is b for a, b in zip(cy._convert("object array", np.array(items, dtype=object)), items))


CONVERSION_ERRORS = [
    # (term, value, exception, message or None for the interpreter's or the exporter's own)
    ("int", 2147483648, OverflowError, "value too large to convert to int"),
    ("int", -2147483649, OverflowError, "value too large to convert to int"),
    ("int", 2**80, OverflowError, "value too large to convert to int"),
    ("int", WithInt(2**40), OverflowError, "value too large to convert to int"),
    ("int", "3", TypeError, "an integer is required"),
    ("int", None, TypeError, "an integer is required"),
    ("int", 1j, TypeError, "an integer is required"),
    ("int", WithIndex(), TypeError, "an integer is required"),
    ("int", WithInt("x"), TypeError, "__int__ returned non-int (type str)"),
    ("int", WithInt(2.5), TypeError, "__int__ returned non-int (type float)"),
    ("int", Failing(), ZeroDivisionError, "int"),
    ("int", float("nan"), ValueError, None),
    ("float", "1.5", TypeError, None),
    ("float", None, TypeError, None),
    ("float", Failing(), ZeroDivisionError, "float"),
    ("complex", "1", TypeError, None),
    ("complex", None, TypeError, None),
    ("complex", Failing(), ZeroDivisionError, "complex"),
    ("bool", Failing(), ZeroDivisionError, "bool"),
    ("str", None, TypeError, "expected bytes, NoneType found"),
    ("str", 5, TypeError, "expected bytes, int found"),
    ("str", "\ud800", UnicodeEncodeError, None),
    ("complex array", [1, 2], TypeError, "a bytes-like object is required, not 'list'"),
    ("complex array", 5, TypeError, None),
    ("complex array", np.zeros(4, complex)[::2], ValueError, "ndarray is not C-contiguous"),
    ("complex array", np.zeros(4, complex).T[::-1], ValueError, "ndarray is not C-contiguous"),
    ("complex array", np.zeros((2, 2), complex), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ("complex array", np.zeros((), complex), ValueError, "Buffer has wrong number of dimensions (expected 1, got 0)"),
    ("complex array", np.zeros(2), ValueError, "Buffer dtype mismatch, expected 'double complex' but got 'double'"),
    ("complex array", np.zeros(2, np.complex64), ValueError,
     "Buffer dtype mismatch, expected 'double complex' but got 'complex float'"),
    ("complex array", np.zeros(2, ">c16"), ValueError, "Big-endian buffer not supported on little-endian compiler"),
    ("complex array", np.zeros(2, [("re", "f8"), ("im", "f8")]), ValueError,
     "Buffer dtype mismatch, expected 'double complex' but got a struct"),
    ("int array", np.zeros(2, np.int64), ValueError, "Buffer dtype mismatch, expected 'int' but got 'long'"),
    ("int array", np.zeros(2, np.uint32), ValueError, "Buffer dtype mismatch, expected 'int' but got 'unsigned int'"),
    ("int array", np.zeros(2, bool), ValueError, "Buffer dtype mismatch, expected 'int' but got 'bool'"),
    ("int array", np.zeros(2, np.int16), ValueError, "Buffer dtype mismatch, expected 'int' but got 'short'"),
    ("float array", np.zeros(2, np.float32), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    ("float array", np.zeros(2, complex), ValueError, "Buffer dtype mismatch, expected 'double' but got 'complex double'"),
    ("float array", np.zeros(2, object), ValueError, "Buffer dtype mismatch, expected 'double' but got Python object"),
    ("float array", np.zeros(2, np.float16), ValueError, "Unexpected format string character: 'e'"),
    ("object array", np.zeros(2), ValueError, "Buffer dtype mismatch, expected 'Python object' but got 'double'"),
    ("float array", b"abcdefgh", BufferError, "Object is not writable."),
]


@pytest.mark.parametrize("term, value, exception, message", CONVERSION_ERRORS)
def test_conversion_errors(cy, term, value, exception, message):
    with pytest.raises(exception) as failure:
        cy._convert(term, value)
    if message is not None:
        assert str(failure.value) == message


def test_read_only_array_is_refused_by_the_exporter(cy):
    a = np.zeros(2, complex)
    a.setflags(write=False)
    with pytest.raises(ValueError, match="read-only"):
        cy._convert("complex array", a)


def test_array_buffers_are_released_after_the_call(cy):
    a = np.array([1 + 1j, 2 + 2j])
    values = cy._convert("complex array", a)
    a.resize(5, refcheck=False)  # refused while a buffer export is held
    assert values == [1 + 1j, 2 + 2j] and a.shape == (5,)


# ---------------------------------------------------------------- exception translation

TRANSLATIONS = [
    ("bad_alloc", MemoryError, "std::bad_alloc"),
    ("bad_cast", TypeError, "std::bad_cast"),
    ("bad_typeid", TypeError, "std::bad_typeid"),
    ("domain_error", ValueError, "message"),
    ("invalid_argument", ValueError, "message"),
    ("ios_base_failure", OSError, None),
    ("out_of_range", IndexError, "message"),
    ("overflow_error", OverflowError, "message"),
    ("range_error", ArithmeticError, "message"),
    ("underflow_error", ArithmeticError, "message"),
    ("length_error", RuntimeError, "message"),
    ("logic_error", RuntimeError, "message"),
    ("runtime_error", RuntimeError, "message"),
    ("something else", RuntimeError, "Unknown exception"),
]


@pytest.mark.parametrize("kind, exception, message", TRANSLATIONS)
def test_engine_exceptions_are_translated(cy, kind, exception, message):
    with pytest.raises(exception) as failure:
        cy._raise_cpp(kind, "message", False)
    assert type(failure.value) is exception
    if message is not None:
        assert str(failure.value) == message
    else:
        assert str(failure.value).startswith("message")


def test_engine_messages_arrive_unchanged(cy):
    text = "1 Solving failed at iteration 3. "
    with pytest.raises(RuntimeError) as failure:
        cy._raise_cpp("runtime_error", text, False)
    assert failure.value.args == (text,)


def test_a_pending_python_exception_wins_over_the_engine_exception(cy):
    with pytest.raises(ValueError, match="^pending$"):
        cy._raise_cpp("runtime_error", "engine", True)


def test_engine_length_error_of_a_negative_count(cy):
    for make in (lambda: cy.CyBus(-1, None), lambda: cy.CySwitch(-2), lambda: cy.CyDeltaPotentialRef(0)):
        with pytest.raises(RuntimeError) as failure:
            make()
        assert failure.value.args == ("vector",)
