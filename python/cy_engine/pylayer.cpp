#include "pylayer.hpp"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#include <numpy/arrayobject.h>
#include <frameobject.h>

namespace lfe::py {

namespace {

// The classes made by the module. The module lives in one interpreter for the whole process, so the
// types are process-wide; they are never released.
PyTypeObject* g_classes[static_cast<int>(ClassId::count) > 0 ? static_cast<int>(ClassId::count) : 1];
struct Pickling {
    PyTypeObject* type;
    const char* message;
};
std::vector<Pickling>* g_pickling = new std::vector<Pickling>();
std::vector<PyTypeObject*>* g_keeping_roots = new std::vector<PyTypeObject*>();

// Holds the pending exception across code that must run with none pending.
class SavedError {
public:
    SavedError() {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &traceback_);
#endif
    }
    void restore() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
        exc_ = nullptr;
#else
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
#endif
    }

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc_ = nullptr;
#else
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
};

// Replaces the pending exception (if any) by `type`(message), keeping the original as its cause.
void replace_error(PyObject* type, const char* message) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(type, message);
    if (cause != nullptr) {
        PyObject* exc = PyErr_GetRaisedException();
        PyException_SetCause(exc, cause);
        PyErr_SetRaisedException(exc);
    }
#else
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    if (t != nullptr) {
        PyErr_NormalizeException(&t, &v, &tb);
        if (tb != nullptr) PyException_SetTraceback(v, tb);
        Py_XDECREF(t);
        Py_XDECREF(tb);
    }
    PyErr_SetString(type, message);
    if (v != nullptr) {
        PyObject *t2 = nullptr, *v2 = nullptr, *tb2 = nullptr;
        PyErr_Fetch(&t2, &v2, &tb2);
        PyErr_NormalizeException(&t2, &v2, &tb2);
        PyException_SetCause(v2, v);
        PyErr_Restore(t2, v2, tb2);
    }
#endif
}

KeepingWrapper* as_keeping(PyObject* o) {
    for (PyTypeObject* root : *g_keeping_roots)
        if (PyObject_TypeCheck(o, root)) return reinterpret_cast<KeepingWrapper*>(o);
    return nullptr;
}

// Destroys the engine object first, then drops the references it needed.
void release_keeping(KeepingWrapper* k, void (*destroy)(void*)) {
    if (void* p = k->base.engine) {
        k->base.engine = nullptr;
        destroy(p);
    }
    PyObject** refs = k->refs;
    const Py_ssize_t n = k->nrefs;
    k->refs = nullptr;
    k->nrefs = 0;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (KeepingWrapper* held = as_keeping(refs[i])) --held->dependents;
    for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(refs[i]);
    PyMem_Free(refs);
}

bool count_error(const char* function, Py_ssize_t expected, Py_ssize_t found) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", function, "exactly",
                 expected, expected == 1 ? "" : "s", found);
    return false;
}

Py_ssize_t find_name(const char* const* names, Py_ssize_t n, PyObject* key) {
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) return i;
    return -1;
}

// The argument rules over positional values and (key, value) keyword pairs: too many positional
// arguments first, then each keyword in the order given, and only then the first argument missing.
bool parse_core(const char* function, const char* const* names, Py_ssize_t n, PyObject* const* args,
                Py_ssize_t nargs, PyObject* const* keys, PyObject* const* kwvalues, Py_ssize_t nkw,
                PyObject** values) {
    if (nargs > n) return count_error(function, n, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    if (nkw == 0) return nargs == n || count_error(function, n, nargs);
    for (Py_ssize_t i = nargs; i < n; ++i) values[i] = nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = keys[k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function);
            return false;
        }
        const Py_ssize_t j = find_name(names, n, key);
        if (j < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
            return false;
        }
        if (j < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function, key);
            return false;
        }
        values[j] = kwvalues[k];
    }
    for (Py_ssize_t i = nargs; i < n; ++i)
        if (values[i] == nullptr) return count_error(function, n, i);
    return true;
}

// ---- buffer formats

bool little_endian() {
    const unsigned one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

struct ItemType {
    char group;  // 'I' signed, 'U' unsigned, 'H' char, 'R' real, 'C' complex, 'O' object, 'S' string
    Py_ssize_t size;
    const char* description;
};

const char* expected_name(Item item) {
    switch (item) {
        case Item::complex_double: return "double complex";
        case Item::int32: return "int";
        case Item::float64: return "double";
        case Item::object: return "Python object";
    }
    return "";
}

ItemType expected_type(Item item) {
    switch (item) {
        case Item::complex_double: return {'C', static_cast<Py_ssize_t>(sizeof(std::complex<double>)), ""};
        case Item::int32: return {'I', static_cast<Py_ssize_t>(sizeof(int)), ""};
        case Item::float64: return {'R', static_cast<Py_ssize_t>(sizeof(double)), ""};
        case Item::object: return {'O', static_cast<Py_ssize_t>(sizeof(PyObject*)), ""};
    }
    return {};
}

// The item type of a one-item format; false with the exception set for a character it cannot read.
bool read_format(const char* format, ItemType& out) {
    const char* f = format != nullptr ? format : "B";
    bool standard = false;
    if (*f == '@' || *f == '^') {
        ++f;
    } else if (*f == '=' || *f == '<' || *f == '>' || *f == '!') {
        standard = true;
        const bool big = *f == '>' || *f == '!';
        if (big && little_endian()) {
            PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
            return false;
        }
        if (*f == '<' && !little_endian()) {
            PyErr_SetString(PyExc_ValueError, "Little-endian buffer not supported on big-endian compiler");
            return false;
        }
        ++f;
    }
    long repeat = 1;
    if (std::isdigit(static_cast<unsigned char>(*f))) {
        repeat = 0;
        // Any count other than 1 makes a struct: stop growing it before it can overflow.
        while (std::isdigit(static_cast<unsigned char>(*f))) {
            if (repeat < 1000000) repeat = repeat * 10 + (*f - '0');
            ++f;
        }
    }
    const bool complex = *f == 'Z';
    if (complex) ++f;
    const char c = *f;
    if (c != '\0') ++f;
    const bool more = *f != '\0';
    const Py_ssize_t sl = standard ? 4 : static_cast<Py_ssize_t>(sizeof(long));
    switch (c) {
        case '?': out = {'U', standard ? 1 : static_cast<Py_ssize_t>(sizeof(bool)), "'bool'"}; break;
        case 'c': out = {'H', 1, "'char'"}; break;
        case 'b': out = {'I', 1, "'signed char'"}; break;
        case 'B': out = {'U', 1, "'unsigned char'"}; break;
        case 'h': out = {'I', 2, "'short'"}; break;
        case 'H': out = {'U', 2, "'unsigned short'"}; break;
        case 'i': out = {'I', 4, "'int'"}; break;
        case 'I': out = {'U', 4, "'unsigned int'"}; break;
        case 'l': out = {'I', sl, "'long'"}; break;
        case 'L': out = {'U', sl, "'unsigned long'"}; break;
        case 'q': out = {'I', 8, "'long long'"}; break;
        case 'Q': out = {'U', 8, "'unsigned long long'"}; break;
        case 'f': out = {complex ? 'C' : 'R', complex ? 8 : 4, complex ? "'complex float'" : "'float'"}; break;
        case 'd': out = {complex ? 'C' : 'R', complex ? 16 : 8, complex ? "'complex double'" : "'double'"}; break;
        case 'g': {
            const Py_ssize_t s = static_cast<Py_ssize_t>(sizeof(long double));
            out = {complex ? 'C' : 'R', complex ? 2 * s : s, complex ? "'complex long double'" : "'long double'"};
            break;
        }
        case 'O': out = {'O', static_cast<Py_ssize_t>(sizeof(PyObject*)), "Python object"}; break;
        case 's':
        case 'p': out = {'S', 1, "a string"}; break;
        case 'T': out = {'T', 0, "a struct"}; break;
        case '\0': out = {'E', 0, "end"}; break;
        default: PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", c); return false;
    }
    if (complex && c != 'f' && c != 'd' && c != 'g') out = {'T', 0, "a struct"};
    if (repeat != 1 || more) out = {'T', 0, "a struct"};
    return true;
}

}  // namespace

// ---------------------------------------------------------------- classes

PyTypeObject* class_object(ClassId id) { return g_classes[static_cast<int>(id)]; }

std::string short_name(PyTypeObject* type) {
    const char* name = type->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot != nullptr ? std::string(dot + 1) : std::string(name);
}

// ---------------------------------------------------------------- errors

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    throw PythonError{};
}

void raise_current() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw PythonError{};
}

void translate_exception() noexcept {
    try {
        if (PyErr_Occurred()) return;  // the Python exception already pending wins
        throw;
    } catch (const PythonError&) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_cast& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::bad_typeid& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::ios_base::failure& e) {
        PyErr_SetString(PyExc_IOError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::range_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::underflow_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
    }
}

namespace {

// The declaring source as "cy_engine/<file>", whatever the build's absolute path.
const char* source_name(const char* file) {
    const char* found = std::strstr(file, "cy_engine/");
    for (const char* next = found; next != nullptr; next = std::strstr(next + 1, "cy_engine/")) found = next;
    return found != nullptr ? found : file;
}

}  // namespace

void add_traceback(TraceSite& site) noexcept {
    if (!PyErr_Occurred()) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* pending = PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
#endif
    static PyObject* const globals = PyDict_New();
    PyFrameObject* frame = nullptr;
    PyObject* code = site.code.load(std::memory_order_acquire);
    if (code == nullptr) {
        PyObject* made =
            reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_name(site.file), site.qualname.c_str(), site.line));
        // Two threads failing at once both make one: the first kept wins.
        if (made != nullptr && !site.code.compare_exchange_strong(code, made, std::memory_order_acq_rel))
            Py_DECREF(made);
        else
            code = made;
    }
    if (code != nullptr && globals != nullptr)
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
    // The entry is a courtesy: failing to make it must not replace the error being reported.
    PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(pending);
#else
    PyErr_Restore(type, value, tb);
#endif
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

void raise_no_engine(PyTypeObject* type) {
    raise_format(PyExc_TypeError, "%s holds no engine object", short_name(type).c_str());
}

void raise_wrong_engine(PyTypeObject* type) {
    raise_format(PyExc_TypeError, "%s holds an engine object of another kind", short_name(type).c_str());
}

void* item_engine(PyObject* item, long long i, PyTypeObject* expected, const char* list) {
    if (item == nullptr || !PyObject_TypeCheck(item, expected))
        raise_format(PyExc_TypeError, "%s[%lld] has incorrect type (expected %.200s, got %.200s)", list, i,
                     expected->tp_name, item == nullptr ? "NULL" : Py_TYPE(item)->tp_name);
    void* engine = reinterpret_cast<Wrapper*>(item)->engine;
    if (engine == nullptr)
        raise_format(PyExc_TypeError, "%s[%lld]: %s holds no engine object", list, i, short_name(Py_TYPE(item)).c_str());
    return engine;
}

void require_values(Py_ssize_t size, long long k, const char* argument) {
    if (static_cast<long long>(size) < k)
        raise_format(PyExc_ValueError, "%s needs at least %lld values, got %zd", argument, k, size);
}

Ref checked(PyObject* result) {
    if (result == nullptr) raise_current();
    return Ref(result);
}

Ref make_tuple(std::vector<Ref> items) {
    Ref t = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return t;
}

Ref to_python(const std::vector<int>& v) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(v.size())));
    for (std::size_t i = 0; i < v.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(v[i]).release());
    return list;
}

// ---------------------------------------------------------------- wrapper lifetime

void keep_references(PyObject* self, const std::vector<PyObject*>& objects) {
    KeepingWrapper* k = as_keeping(self);
    if (k == nullptr) throw std::logic_error("keep_references: this wrapper keeps no references");
    if (objects.empty()) return;
    const std::size_t total = static_cast<std::size_t>(k->nrefs) + objects.size();
    auto* grown = static_cast<PyObject**>(PyMem_Realloc(k->refs, total * sizeof(PyObject*)));
    if (grown == nullptr) throw std::bad_alloc();
    k->refs = grown;
    for (PyObject* o : objects) {
        if (KeepingWrapper* held = as_keeping(o)) ++held->dependents;
        k->refs[k->nrefs++] = Py_NewRef(o);
    }
}

namespace detail {

void lambda_declared_twice(const char* first, const char* second) {
    throw std::logic_error(std::string("one wrapper lambda declared for both ") + first + " and " + second);
}

void dealloc_wrapper(PyObject* self, void (*destroy)(void*)) {
    PyTypeObject* type = Py_TYPE(self);
    SavedError saved;
    auto* w = reinterpret_cast<Wrapper*>(self);
    if (void* p = w->engine) {
        w->engine = nullptr;
        destroy(p);
    }
    saved.restore();
    type->tp_free(self);
    Py_DECREF(type);
}

void dealloc_keeping(PyObject* self, void (*destroy)(void*)) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    SavedError saved;
    release_keeping(reinterpret_cast<KeepingWrapper*>(self), destroy);
    saved.restore();
    type->tp_free(self);
    Py_DECREF(type);
}

// A wrapper that others still hold (a network whose solver is in the same garbage) keeps its engine
// object: the holder's own clear or deallocation runs first and releases it.
int clear_keeping(PyObject* self, void (*destroy)(void*)) {
    auto* k = reinterpret_cast<KeepingWrapper*>(self);
    if (k->dependents > 0) return 0;
    release_keeping(k, destroy);
    return 0;
}

int traverse_keeping(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto* k = reinterpret_cast<KeepingWrapper*>(self);
    for (Py_ssize_t i = 0; i < k->nrefs; ++i) Py_VISIT(k->refs[i]);
    return 0;
}

}  // namespace detail

// ---------------------------------------------------------------- conversions

bool to_int(PyObject* o, int& out) {
    Ref converted;
    if (!PyLong_Check(o)) {
        PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
        if (nb == nullptr || nb->nb_int == nullptr) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        converted.reset(nb->nb_int(o));
        if (!converted) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        if (!PyLong_Check(converted.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(converted.get())->tp_name);
            return false;
        }
        o = converted.get();
    }
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(o, &overflow);
    if (v == -1 && overflow == 0 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < INT_MIN || v > INT_MAX) {
        PyErr_Format(PyExc_OverflowError, "value too large to convert to %.200s", "int");
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

bool to_double(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    out = PyFloat_AsDouble(o);
    return !(out == -1.0 && PyErr_Occurred());
}

bool to_complex(PyObject* o, std::complex<double>& out) {
    const Py_complex c = PyComplex_AsCComplex(o);
    if (c.real == -1.0 && PyErr_Occurred()) return false;
    out = {c.real, c.imag};
    return true;
}

bool to_bool(PyObject* o, bool& out) {
    if (o == Py_True || o == Py_False || o == Py_None) {
        out = o == Py_True;
        return true;
    }
    const int t = PyObject_IsTrue(o);
    if (t < 0) return false;
    out = t != 0;
    return true;
}

bool to_bytes(PyObject* o, std::string& out) {
    if (PyUnicode_Check(o)) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(o, &n);
        if (s == nullptr) return false;
        out.assign(s, static_cast<std::size_t>(n));
        return true;
    }
    if (PyByteArray_Check(o)) {
        out.assign(PyByteArray_AS_STRING(o), static_cast<std::size_t>(PyByteArray_GET_SIZE(o)));
        return true;
    }
    char* s = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(o, &s, &n) < 0) return false;  // the interpreter's TypeError otherwise
    out.assign(s, static_cast<std::size_t>(n));
    return true;
}

bool to_exact_str(PyObject* o, const char* argument, std::string& out) {
    if (!PyUnicode_CheckExact(o)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argument,
                     "str", Py_TYPE(o)->tp_name);
        return false;
    }
    return to_bytes(o, out);
}

bool check_instance(PyObject* o, ClassId expected, const char* argument) {
    PyTypeObject* type = class_object(expected);
    if (o == Py_None || PyObject_TypeCheck(o, type)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argument,
                 type->tp_name, Py_TYPE(o)->tp_name);
    return false;
}

bool get_array(PyObject* o, Item item, Py_buffer& view, bool& held, void*& data, Py_ssize_t& size) {
    if (o == Py_None) {
        data = nullptr;
        size = 0;
        return true;
    }
    if (PyObject_GetBuffer(o, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0) return false;
    held = true;
    if (view.ndim != 1) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", 1, view.ndim);
        return false;
    }
    ItemType found;
    if (!read_format(view.format, found)) return false;
    const ItemType wanted = expected_type(item);
    if (found.group != wanted.group || found.size != wanted.size) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", expected_name(item),
                     "'", found.description);
        return false;
    }
    if (view.itemsize != wanted.size) {
        PyErr_Format(PyExc_ValueError, "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                     view.itemsize, view.itemsize > 1 ? "s" : "", expected_name(item), wanted.size,
                     wanted.size > 1 ? "s" : "");
        return false;
    }
    if (view.strides != nullptr && view.shape[0] > 1 && view.strides[0] != view.itemsize) {
        PyErr_SetString(PyExc_ValueError, "Buffer not C contiguous.");
        return false;
    }
    data = view.buf;
    size = view.shape[0];
    return true;
}

namespace {

// The next item of an iterator, or null at its end (raises if the iterator failed).
Ref next_item(PyObject* iterator) {
    Ref item(PyIter_Next(iterator));
    if (!item && PyErr_Occurred()) raise_current();
    return item;
}

[[noreturn]] void raise_need_more(Py_ssize_t found) {
    raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}
[[noreturn]] void raise_too_many() {
    raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
}

}  // namespace

std::vector<std::pair<int, int>> index_pairs(PyObject* connections) {
    std::vector<std::pair<int, int>> pairs;
    Ref iterator = checked(PyObject_GetIter(connections));
    const Py_ssize_t hint = PyObject_LengthHint(connections, 0);
    if (hint < 0) raise_current();
    pairs.reserve(static_cast<std::size_t>(hint));
    while (Ref item = next_item(iterator.get())) {
        Ref a, b;
        PyObject* o = item.get();
        if (PyTuple_CheckExact(o) || PyList_CheckExact(o)) {
            const Py_ssize_t n = PyTuple_CheckExact(o) ? PyTuple_GET_SIZE(o) : PyList_GET_SIZE(o);
            if (n > 2) raise_too_many();
            if (n < 2) raise_need_more(n);
            a = checked(PySequence_GetItem(o, 0));
            b = checked(PySequence_GetItem(o, 1));
        } else {
            Ref values = checked(PyObject_GetIter(o));
            a = next_item(values.get());
            if (!a) raise_need_more(0);
            b = next_item(values.get());
            if (!b) raise_need_more(1);
            if (next_item(values.get())) raise_too_many();
        }
        int i = 0, j = 0;
        if (!to_int(a.get(), i) || !to_int(b.get(), j)) raise_current();
        pairs.emplace_back(i, j);
    }
    return pairs;
}

// ---------------------------------------------------------------- arguments

bool parse_vector(const char* function, const char* const* names, Py_ssize_t n, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames, PyObject** values) {
    nargs = PyVectorcall_NARGS(nargs);
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* keys = nkw > 0 ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr;
    return parse_core(function, names, n, args, nargs, keys, args + nargs, nkw, values);
}

bool parse_tuple(const char* function, const char* const* names, Py_ssize_t n, PyObject* args, PyObject* kwargs,
                 PyObject** values, std::vector<Ref>& owned) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* const* positional = nargs > 0 ? &PyTuple_GET_ITEM(args, 0) : nullptr;
    std::vector<PyObject*> keys, kwvalues;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        // The values are held: converting one may run code that changes the dictionary.
        bool ok = true;
#ifdef Py_BEGIN_CRITICAL_SECTION
        Py_BEGIN_CRITICAL_SECTION(kwargs);
#endif
        try {
            Py_ssize_t pos = 0;
            PyObject *key = nullptr, *value = nullptr;
            owned.reserve(2 * static_cast<std::size_t>(PyDict_GET_SIZE(kwargs)));
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                owned.push_back(Ref::borrow(key));
                owned.push_back(Ref::borrow(value));
                keys.push_back(key);
                kwvalues.push_back(value);
            }
        } catch (const std::bad_alloc&) {
            ok = false;
        }
#ifdef Py_END_CRITICAL_SECTION
        Py_END_CRITICAL_SECTION();
#endif
        if (!ok) {
            PyErr_NoMemory();
            return false;
        }
    }
    return parse_core(function, names, n, positional, nargs, keys.data(), kwvalues.data(),
                      static_cast<Py_ssize_t>(keys.size()), values);
}

// ---------------------------------------------------------------- results

namespace {
Ref new_array(int nd, npy_intp* dims, int type) { return checked(PyArray_ZEROS(nd, dims, type, 0)); }
}  // namespace

Ref new_complex_array(Py_ssize_t n) {
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    return new_array(1, dims, NPY_COMPLEX128);
}

Ref new_float_array(Py_ssize_t n) {
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    return new_array(1, dims, NPY_FLOAT64);
}

Ref new_float_matrix(Py_ssize_t rows, Py_ssize_t columns) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(columns)};
    return new_array(2, dims, NPY_FLOAT64);
}

std::complex<double>* complex_data(PyObject* array) {
    return static_cast<std::complex<double>*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

double* float_data(PyObject* array) {
    return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

bool import_numpy_api() {
    static const char* const failure = "numpy._core.multiarray failed to import";
    Ref module(PyImport_ImportModule("numpy._core._multiarray_umath"));
    if (!module && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        module.reset(PyImport_ImportModule("numpy.core._multiarray_umath"));
    }
    bool ok = false;
    if (module) {
        Ref capsule(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
        if (capsule && PyCapsule_CheckExact(capsule.get())) {
            auto** api = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
            if (api != nullptr) {
                PyArray_API = api;
                const bool little = PyArray_GetEndianness() == NPY_CPU_LITTLE;
                ok = PyArray_GetNDArrayCVersion() == 0x2000000 &&
                     PyArray_GetNDArrayCFeatureVersion() >= NPY_1_25_API_VERSION && little == little_endian();
                if (ok)
                    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
                else
                    PyArray_API = nullptr;
            }
        }
    }
    if (!ok) replace_error(PyExc_ImportError, failure);
    return ok;
}

// ---------------------------------------------------------------- class creation

namespace {

PyObject* abstract_new(PyTypeObject* type, PyObject*, PyObject*) { return type->tp_alloc(type, 0); }

const char* pickling_message(PyTypeObject* cls) {
    for (const Pickling& p : *g_pickling)
        if (p.type == cls) return p.message;
    return no_default_reduce;
}

const char* const state_names[] = {"state"};

PyObject* refuse_reduce(PyObject*, PyTypeObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* values[1];
    if (!parse_vector("__reduce__", nullptr, 0, args, PyVectorcall_NARGS(nargsf), kwnames, values)) return nullptr;
    PyErr_SetString(PyExc_TypeError, pickling_message(cls));
    return nullptr;
}

PyObject* refuse_setstate(PyObject*, PyTypeObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* values[1];
    if (!parse_vector("__setstate__", state_names, 1, args, PyVectorcall_NARGS(nargsf), kwnames, values))
        return nullptr;
    PyErr_SetString(PyExc_TypeError, pickling_message(cls));
    return nullptr;
}

}  // namespace

PyTypeObject* create_class(PyObject* module, ClassId id, const char* name, PyTypeObject* base, ClassDef def) {
    if (base == nullptr && def.dealloc == nullptr) {
        PyErr_Format(PyExc_SystemError, "class %s starts a family but declares no root", name);
        return nullptr;
    }
    // The class keeps pointers into its method table and name: both live as long as the process.
    auto* kept = new ClassDef(std::move(def));
    auto* qualified = new std::string(std::string(module_name) + "." + name);
    for (const auto& [method, site] : kept->sites) site->qualname = *qualified + "." + method;
    const int pickling_flags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;
    kept->methods.push_back(
        {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&refuse_reduce)), pickling_flags,
         nullptr});
    kept->methods.push_back({"__setstate__",
                             reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&refuse_setstate)),
                             pickling_flags, nullptr});
    kept->methods.push_back({nullptr, nullptr, 0, nullptr});

    std::vector<PyType_Slot> slots;
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(kept->tp_new != nullptr ? kept->tp_new : &abstract_new)});
    slots.push_back({Py_tp_methods, kept->methods.data()});
    if (kept->dealloc != nullptr) slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(kept->dealloc)});
    if (kept->traverse != nullptr) slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(kept->traverse)});
    if (kept->clear != nullptr) slots.push_back({Py_tp_clear, reinterpret_cast<void*>(kept->clear)});
    slots.push_back({0, nullptr});

    unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
    if (kept->traverse != nullptr) flags |= Py_TPFLAGS_HAVE_GC;
    PyType_Spec spec{qualified->c_str(), static_cast<int>(kept->basicsize), 0, flags, slots.data()};
    PyObject* type = PyType_FromSpecWithBases(&spec, reinterpret_cast<PyObject*>(base));
    if (type == nullptr) return nullptr;
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    g_classes[static_cast<int>(id)] = t;
    g_pickling->push_back({t, kept->pickling_message});
    if (kept->traverse != nullptr) g_keeping_roots->push_back(t);
    // The reference made here stays with g_classes: argument checks use the class for the whole
    // process, even if it is deleted from the module.
    if (PyModule_AddObjectRef(module, name, type) < 0) return nullptr;
    return t;
}

}  // namespace lfe::py
