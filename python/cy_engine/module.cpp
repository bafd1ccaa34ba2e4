// The extension module load_flow_engine.cy_engine: multi-phase initialisation, the classes of the
// table in class_table.def, and the module functions.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "network/logging_config.hpp"
#include "pylayer.hpp"

namespace lfe::py {
namespace {

struct TableEntry {
    ClassId id;
    ClassId base;
    const char* name;
    ClassDef (*define)();
};

const TableEntry class_table[] = {
#define LFE_CLASS(name, base) {ClassId::name, ClassId::base, #name, &define_##name},
#include "class_table.def"
#undef LFE_CLASS
};

// The interpreter that imported the module first, and the one module object made in this process
// (set once its execution succeeded).
std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

// Issues the RuntimeWarning for a module built for another interpreter version; -1 when the warning
// was turned into an error.
int check_version(int compiled_major, int compiled_minor, int running_major, int running_minor) {
    if (compiled_major == running_major && compiled_minor == running_minor) return 0;
    char message[200];
    std::snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  compiled_major, compiled_minor, module_name, "does not match", running_major, running_minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

void running_version(int& major, int& minor) {
    major = minor = 0;
    std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor);
}

int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
    Ref value(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    std::int64_t first = -1;
    if (!g_interpreter.compare_exchange_strong(first, current) && first != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);
    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0)
        return nullptr;
    return module.release();
}

// ---- module functions

void raise_cpp(const std::string& kind, const std::string& message) {
    if (kind == "bad_alloc") throw std::bad_alloc();
    if (kind == "bad_cast") throw std::bad_cast();
    if (kind == "bad_typeid") throw std::bad_typeid();
    if (kind == "domain_error") throw std::domain_error(message);
    if (kind == "invalid_argument") throw std::invalid_argument(message);
    if (kind == "ios_base_failure") throw std::ios_base::failure(message);
    if (kind == "out_of_range") throw std::out_of_range(message);
    if (kind == "overflow_error") throw std::overflow_error(message);
    if (kind == "range_error") throw std::range_error(message);
    if (kind == "underflow_error") throw std::underflow_error(message);
    if (kind == "length_error") throw std::length_error(message);
    if (kind == "logic_error") throw std::logic_error(message);
    if (kind == "runtime_error") throw std::runtime_error(message);
    throw 1;  // not a std::exception
}

template <class T>
T convert_as(PyObject* value) {
    detail::Converter<T> c;
    if (!c.convert(value, "value")) raise_current();
    return c.get();
}

// The items of an array argument, as a list.
template <class T>
Ref array_items(PyObject* value) {
    detail::Converter<ArrayView<T>> c;
    if (!c.convert(value, "value")) raise_current();
    const ArrayView<T> a = c.get();
    Ref list = checked(PyList_New(a.size));
    for (Py_ssize_t i = 0; i < a.size; ++i) {
        Ref item;
        if constexpr (std::is_same_v<T, PyObject*>)
            item = Ref::borrow(a[i]);
        else
            item = to_python(a[i]);
        PyList_SET_ITEM(list.get(), i, item.release());
    }
    return list;
}

Ref convert_term(const std::string& term, PyObject* value) {
    if (term == "int") return to_python(convert_as<int>(value));
    if (term == "float") return to_python(convert_as<double>(value));
    if (term == "complex") return to_python(convert_as<std::complex<double>>(value));
    if (term == "bool") return to_python(convert_as<bool>(value));
    if (term == "str") {
        const std::string s = convert_as<std::string>(value);
        return checked(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
    }
    if (term == "complex array") return array_items<std::complex<double>>(value);
    if (term == "int array") return array_items<int>(value);
    if (term == "float array") return array_items<double>(value);
    if (term == "object array") return array_items<PyObject*>(value);
    raise_format(PyExc_ValueError, "unknown argument-type term '%s'", term.c_str());
}

std::vector<PyMethodDef>& module_functions() {
    static auto* functions = new std::vector<PyMethodDef>{
        function("cy_set_logging_config", "cy_set_logging_config(str severity)", args("severity"),
                 [](ExactStr severity) { set_logging_config(severity.value); }),
        // The version check of the import, for a test to run with other version numbers.
        function("_check_version", "_check_version(int compiled_major, int compiled_minor, int running_major, int running_minor)",
                 args("compiled_major", "compiled_minor", "running_major", "running_minor"),
                 [](int compiled_major, int compiled_minor, int running_major, int running_minor) {
                     if (check_version(compiled_major, compiled_minor, running_major, running_minor) < 0)
                         raise_current();
                 }),
        // Throws a C++ exception of the named kind through the translation of engine exceptions; with
        // pending, a Python ValueError("pending") is set first.
        function("_raise_cpp", "_raise_cpp(str kind, str message, bool pending)", args("kind", "message", "pending"),
                 [](const std::string& kind, const std::string& message, bool pending) {
                     if (pending) PyErr_SetString(PyExc_ValueError, "pending");
                     raise_cpp(kind, message);
                 }),
        // Converts value by an argument-type term ("int", "float", "complex", "bool", "str" giving
        // bytes, "complex array", "int array", "float array", "object array" giving a list).
        function("_convert", "_convert(str term, value)", args("term", "value"),
                 [](const std::string& term, Object value) { return convert_term(term, value.obj); }),
        function("_log", "_log(int level, str message)", args("level", "message"),
                 [](int level, const std::string& message) { log_message(level, message); }),
    };
    return *functions;
}

int create_classes(PyObject* module) {
    try {
        for (const TableEntry& entry : class_table) {
            PyTypeObject* base = entry.base == ClassId::object ? nullptr : class_object(entry.base);
            if (create_class(module, entry.id, entry.name, base, entry.define()) == nullptr) return -1;
        }
    } catch (...) {
        translate_exception();
        return -1;
    }
    return 0;
}

int module_exec(PyObject* module) {
    if (g_module != nullptr) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'cy_engine' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    int major = 0, minor = 0;
    running_version(major, minor);
    if (check_version(PY_MAJOR_VERSION, PY_MINOR_VERSION, major, minor) < 0) return -1;

    PyObject* modules = PyImport_GetModuleDict();
    Ref key(PyUnicode_FromString(module_name));
    if (!key) return -1;
    const int present = PyDict_Contains(modules, key.get());
    if (present < 0 || (present == 0 && PyDict_SetItem(modules, key.get(), module) < 0)) return -1;

    if (create_classes(module) < 0) return -1;

    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy || PyModule_AddObjectRef(module, "np", numpy.get()) < 0) return -1;
    if (!import_numpy_api()) return -1;

    try {
        std::vector<PyMethodDef> functions = module_functions();
        functions.push_back({nullptr, nullptr, 0, nullptr});
        static auto* kept = new std::vector<PyMethodDef>(std::move(functions));
        if (PyModule_AddFunctions(module, kept->data()) < 0) return -1;
    } catch (...) {
        translate_exception();
        return -1;
    }
    g_module = Py_NewRef(module);
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
#ifdef Py_mod_multiple_interpreters
    // Let every kind of interpreter reach module_create, whose interpreter check is the one refusal.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "cy_engine", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace lfe::py

PyMODINIT_FUNC PyInit_cy_engine(void) { return PyModuleDef_Init(&lfe::py::module_def); }
