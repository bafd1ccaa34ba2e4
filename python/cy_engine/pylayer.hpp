#pragma once
// The layer every wrapper class of load_flow_engine.cy_engine is declared on: the wrapper object,
// argument parsing (position and keyword) and conversion, result arrays, exception translation and
// class creation.
//
// A wrapper method is a lambda whose parameter types say how each argument is converted:
//   int, double, std::complex<double>, bool, std::string      the scalar terms
//   ComplexArray, IntArray, FloatArray, ObjectArray          buffers read in place (None: size 0)
//   Instance<ClassId::CyElement> (any class of the table)    None or an instance of that class
//   Object                                                   untyped: the body converts it
// The first parameter of a method is its receiver: `Bus&` (the engine object, refused with
// TypeError "<class> holds no engine object" when absent) or `PyObject*` (the wrapper itself).
// The result is returned as None (void), int, double, complex, bool, a pair or tuple of those, or a
// Ref to any object. See ClassDef for the declarations.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <complex>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

class Element;
class AbstractSolver;

namespace lfe::py {

enum class ClassId : int {
    object = -1,
#define LFE_CLASS(name, base) name,
#include "class_table.def"
#undef LFE_CLASS
    count
};

inline constexpr const char* module_name = "load_flow_engine.cy_engine";

// Pickling messages of the class table.
inline constexpr const char* no_default_reduce = "no default __reduce__ due to non-trivial __cinit__";
inline constexpr const char* element_not_picklable = "self.element cannot be converted to a Python object for pickling";
inline constexpr const char* solver_not_picklable = "self.solver cannot be converted to a Python object for pickling";

// The class made for a table entry (null until the module has made it).
PyTypeObject* class_object(ClassId id);
// The class name without its module ("CyBus").
std::string short_name(PyTypeObject* type);

// ---------------------------------------------------------------- references and errors

// An owned (strong) reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref borrow(PyObject* o) { return Ref(Py_XNewRef(o)); }
    PyObject* get() const { return p_; }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(PyObject* owned = nullptr) {
        PyObject* old = p_;
        p_ = owned;
        Py_XDECREF(old);
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Thrown once a Python exception is set: unwinds a wrapper body back to its trampoline.
struct PythonError {};

[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);
// After a C-API call failed and set the exception.
[[noreturn]] void raise_current();
// Inside a catch block: the exception being handled becomes the pending Python exception (a Python
// exception already pending wins), by the engine's translation table.
void translate_exception() noexcept;

// ---------------------------------------------------------------- wrapper objects

// Every wrapper: one owning pointer to one engine object, null in the abstract classes.
struct Wrapper {
    PyObject_HEAD
    void* engine;
};

// Wrappers of a family declared with ClassDef::root<Root>(true) also hold strong references to the
// wrappers their engine object points into (a network's elements, a solver's network). The engine
// object is destroyed before they are dropped.
struct KeepingWrapper {
    Wrapper base;
    PyObject** refs;
    Py_ssize_t nrefs;
    Py_ssize_t dependents;  // keeping wrappers that hold this one
};

// Appends strong references to `self`, a keeping wrapper.
void keep_references(PyObject* self, const std::vector<PyObject*>& objects);

// The engine base each family stores its pointer as: the element wrappers store Element*, the solver
// wrappers AbstractSolver*, every other family its own engine type.
template <class T>
using root_of = std::conditional_t<std::is_base_of_v<Element, T>, Element,
                                   std::conditional_t<std::is_base_of_v<AbstractSolver, T>, AbstractSolver, T>>;

template <class T>
void* stored_pointer(T* p) {
    return static_cast<void*>(static_cast<root_of<T>*>(p));
}

[[noreturn]] void raise_no_engine(PyTypeObject* type);
[[noreturn]] void raise_wrong_engine(PyTypeObject* type);

// The engine object of a wrapper `obj` (an instance of a class of the family of T).
template <class T>
T& engine_of(PyObject* obj) {
    void* p = reinterpret_cast<Wrapper*>(obj)->engine;
    if (p == nullptr) raise_no_engine(Py_TYPE(obj));
    using R = root_of<T>;
    T* t;
    if constexpr (std::is_same_v<R, T>)
        t = static_cast<T*>(p);
    else
        t = dynamic_cast<T*>(static_cast<R*>(p));
    if (t == nullptr) raise_wrong_engine(Py_TYPE(obj));
    return *t;
}

// ---------------------------------------------------------------- argument types

// A one-dimensional C-contiguous buffer read in place for the duration of the call.
template <class T>
struct ArrayView {
    T* data = nullptr;
    Py_ssize_t size = 0;
    T& operator[](Py_ssize_t i) const { return data[i]; }
};
using ComplexArray = ArrayView<std::complex<double>>;
using IntArray = ArrayView<int>;
using FloatArray = ArrayView<double>;
using ObjectArray = ArrayView<PyObject*>;

// An untyped argument (borrowed), converted by the method body.
struct Object {
    PyObject* obj = nullptr;
};

// A str and nothing else (not a subclass), encoded as UTF-8.
struct ExactStr {
    std::string value;
};

// None or an instance of class C (or of a class derived from it), borrowed.
template <ClassId C>
struct Instance {
    PyObject* obj = nullptr;

    bool is_none() const { return obj == Py_None; }
    bool has_engine() const { return obj != Py_None && reinterpret_cast<Wrapper*>(obj)->engine != nullptr; }
    // Refuses None and wrappers without an engine object with TypeError.
    template <class T>
    T& engine() const {
        if (obj == Py_None) raise_no_engine(class_object(C));
        return engine_of<T>(obj);
    }
};

// Item i of a list argument: an instance of `expected` (or a subclass) holding its engine object, or
// TypeError "<list>[<i>] has incorrect type (expected <class>, got <type>)" or "<list>[<i>]: <class>
// holds no engine object".
void* item_engine(PyObject* item, long long i, PyTypeObject* expected, const char* list);

// An array from which k values are read must hold at least k: ValueError
// "<argument> needs at least <k> values, got <m>".
void require_values(Py_ssize_t size, long long k, const char* argument);
template <class T>
void require_values(const ArrayView<T>& a, long long k, const char* argument) {
    require_values(a.size, k, argument);
}
// Values a new load of n ports reads: one per phase for a star load, one per port for a delta
// load; a count the engine refuses reads none.
inline long long star_values(int n) { return n > 1 ? static_cast<long long>(n) - 1 : 0; }
inline long long delta_values(int n) { return n > 0 ? n : 0; }

// Conversions of the argument-type terms; each returns false with the Python exception set.
bool to_int(PyObject* o, int& out);
bool to_double(PyObject* o, double& out);
bool to_complex(PyObject* o, std::complex<double>& out);
bool to_bool(PyObject* o, bool& out);
bool to_bytes(PyObject* o, std::string& out);
bool to_exact_str(PyObject* o, const char* argument, std::string& out);
bool check_instance(PyObject* o, ClassId expected, const char* argument);

enum class Item { complex_double, int32, float64, object };
// Acquires `o` as a buffer of the item type into view (held tells whether to release it).
bool get_array(PyObject* o, Item item, Py_buffer& view, bool& held, void*& data, Py_ssize_t& size);

// Index pairs (i, j) from any iterable of two-item iterables, converted by the int rule; the whole
// sequence is converted before anything uses it.
std::vector<std::pair<int, int>> index_pairs(PyObject* connections);

// ---------------------------------------------------------------- results

// "s" unless n is 1, for messages that count values.
inline const char* plural(std::size_t n) { return n == 1 ? "" : "s"; }

// New zero-filled NumPy arrays; a negative length fails with NumPy's ValueError.
Ref new_complex_array(Py_ssize_t n);
Ref new_float_array(Py_ssize_t n);
Ref new_float_matrix(Py_ssize_t rows, Py_ssize_t columns);
std::complex<double>* complex_data(PyObject* array);

// A new zero-filled array of n values, of which `fill` writes the first `written`: the values an
// engine read-out produces. An n below them is ValueError "<method>: <argument> = <n> is below the
// <written> value(s) the load writes"; a negative n is NumPy's ValueError.
template <class Fill>
Ref written_values(const char* method, const char* argument, int n, std::size_t written, Fill fill) {
    if (n >= 0 && static_cast<std::size_t>(n) < written)
        raise_format(PyExc_ValueError, "%s: %s = %d is below the %zu value%s the load writes", method, argument, n,
                     written, plural(written));
    Ref array = new_complex_array(n);
    fill(complex_data(array.get()));
    return array;
}
double* float_data(PyObject* array);

Ref checked(PyObject* result);  // raise_current() on null
inline Ref to_python(Ref&& r) { return std::move(r); }
inline Ref to_python(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref to_python(int v) { return checked(PyLong_FromLong(v)); }
inline Ref to_python(long v) { return checked(PyLong_FromLong(v)); }
inline Ref to_python(long long v) { return checked(PyLong_FromLongLong(v)); }
inline Ref to_python(std::size_t v) { return checked(PyLong_FromSize_t(v)); }
inline Ref to_python(double v) { return checked(PyFloat_FromDouble(v)); }
inline Ref to_python(const std::complex<double>& v) { return checked(PyComplex_FromDoubles(v.real(), v.imag())); }
Ref to_python(const std::vector<int>& v);  // a list of ints
template <class... T>
Ref to_python(const std::tuple<T...>& t);
template <class A, class B>
Ref to_python(const std::pair<A, B>& p) {
    return to_python(std::tuple<const A&, const B&>(p.first, p.second));
}
Ref make_tuple(std::vector<Ref> items);
template <class... T>
Ref to_python(const std::tuple<T...>& t) {
    std::vector<Ref> items;
    std::apply([&](const auto&... x) { (items.push_back(to_python(x)), ...); }, t);
    return make_tuple(std::move(items));
}

// ---------------------------------------------------------------- traceback entries

// Where a method, constructor or function is declared: an error leaving it gets a traceback entry
// named by its qualified name ("load_flow_engine.cy_engine.CyBus.initialize_potentials").
struct TraceSite {
    std::string qualname;
    const char* file = "";
    int line = 0;
    std::atomic<PyObject*> code{nullptr};  // made at the first error, kept for the process
};
// With an exception pending: appends the site's entry to its traceback.
void add_traceback(TraceSite& site) noexcept;

// ---------------------------------------------------------------- argument parsing

// Fills values[0..n) (borrowed) from positional arguments and keyword names (vectorcall form) by the
// rules of the module: all n arguments required, positional first, then by keyword.
bool parse_vector(const char* function, const char* const* names, Py_ssize_t n, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames, PyObject** values);
// The same from a tuple and a dictionary (constructors); owned keeps the values alive.
bool parse_tuple(const char* function, const char* const* names, Py_ssize_t n, PyObject* args, PyObject* kwargs,
                 PyObject** values, std::vector<Ref>& owned);

namespace detail {

template <class T, class = void>
struct Converter;

template <>
struct Converter<int> {
    static constexpr bool deferred = false;
    int v = 0;
    bool convert(PyObject* o, const char*) { return to_int(o, v); }
    int get() const { return v; }
};
template <>
struct Converter<double> {
    static constexpr bool deferred = false;
    double v = 0.0;
    bool convert(PyObject* o, const char*) { return to_double(o, v); }
    double get() const { return v; }
};
template <>
struct Converter<std::complex<double>> {
    static constexpr bool deferred = false;
    std::complex<double> v;
    bool convert(PyObject* o, const char*) { return to_complex(o, v); }
    std::complex<double> get() const { return v; }
};
template <>
struct Converter<bool> {
    static constexpr bool deferred = false;
    bool v = false;
    bool convert(PyObject* o, const char*) { return to_bool(o, v); }
    bool get() const { return v; }
};
template <>
struct Converter<std::string> {
    static constexpr bool deferred = false;
    std::string v;
    bool convert(PyObject* o, const char*) { return to_bytes(o, v); }
    const std::string& get() const { return v; }
};
template <>
struct Converter<ExactStr> {
    static constexpr bool deferred = false;
    ExactStr v;
    bool convert(PyObject* o, const char* name) { return to_exact_str(o, name, v.value); }
    const ExactStr& get() const { return v; }
};
template <>
struct Converter<Object> {
    static constexpr bool deferred = false;
    Object v;
    bool convert(PyObject* o, const char*) {
        v.obj = o;
        return true;
    }
    Object get() const { return v; }
};

template <class T>
constexpr Item item_of() {
    if constexpr (std::is_same_v<T, std::complex<double>>)
        return Item::complex_double;
    else if constexpr (std::is_same_v<T, int>)
        return Item::int32;
    else if constexpr (std::is_same_v<T, double>)
        return Item::float64;
    else {
        static_assert(std::is_same_v<T, PyObject*>, "arrays hold complex, int, double or objects");
        return Item::object;
    }
}

template <class T>
struct Converter<ArrayView<T>> {
    static constexpr bool deferred = false;
    Py_buffer view{};
    bool held = false;
    ArrayView<T> v;
    Converter() = default;
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    ~Converter() {
        if (held) PyBuffer_Release(&view);
    }
    bool convert(PyObject* o, const char*) {
        void* data = nullptr;
        if (!get_array(o, item_of<T>(), view, held, data, v.size)) return false;
        v.data = static_cast<T*>(data);
        return true;
    }
    ArrayView<T> get() const { return v; }
};

// Class-typed arguments are checked after every other declared argument is converted.
template <ClassId C>
struct Converter<Instance<C>> {
    static constexpr bool deferred = true;
    Instance<C> v;
    bool convert(PyObject* o, const char* name) {
        if (!check_instance(o, C, name)) return false;
        v.obj = o;
        return true;
    }
    Instance<C> get() const { return v; }
};

template <class F>
struct signature : signature<decltype(&F::operator())> {};
template <class C, class R, class... A>
struct signature<R (C::*)(A...) const> {
    using result = R;
    using args = std::tuple<A...>;
};
template <class C, class R, class... A>
struct signature<R (C::*)(A...)> {
    using result = R;
    using args = std::tuple<A...>;
};

// Each declared lambda has a type of its own: its object, its name and its argument names live in
// this class's statics, so each trampoline below is a distinct plain function.
template <class F>
struct Stored {
    static inline std::optional<F> fn;
    static inline const char* name = nullptr;
    static inline std::vector<const char*> names;
    static inline TraceSite site;
};
void lambda_declared_twice(const char* first, const char* second);  // throws std::logic_error
template <class F, std::size_t N>
TraceSite* store(F f, const char* name, const std::array<const char*, N>& names, const char* file, int line) {
    if (Stored<F>::fn && std::strcmp(Stored<F>::name, name) != 0) lambda_declared_twice(Stored<F>::name, name);
    Stored<F>::fn.reset();
    Stored<F>::fn.emplace(std::move(f));
    Stored<F>::name = name;
    Stored<F>::names.assign(names.begin(), names.end());
    Stored<F>::site.file = file;
    Stored<F>::site.line = line;
    return &Stored<F>::site;
}

// A trampoline's result: null (an error) gets the traceback entry of the declaration.
template <class F>
PyObject* traced(PyObject* result) {
    if (result == nullptr) add_traceback(Stored<F>::site);
    return result;
}

template <class Conv, std::size_t... I>
bool convert_all(Conv& conv, PyObject* const* values, const char* const* names, std::index_sequence<I...>) {
    using T = std::remove_reference_t<Conv>;
    return (... && (std::tuple_element_t<I, T>::deferred || std::get<I>(conv).convert(values[I], names[I]))) &&
           (... && (!std::tuple_element_t<I, T>::deferred || std::get<I>(conv).convert(values[I], names[I])));
}

template <class Call>
PyObject* call_and_convert(Call&& call) {
    using R = decltype(call());
    if constexpr (std::is_void_v<R>) {
        call();
        Py_RETURN_NONE;
    } else {
        return to_python(call()).release();
    }
}

// Converts values[] for the argument types A..., then calls the stored lambda with the receiver.
template <class F, class Receiver, class... A, std::size_t... I>
PyObject* invoke(PyObject* self, PyObject* const* values, std::index_sequence<I...> seq) {
    try {
        std::tuple<Converter<std::decay_t<A>>...> conv;
        if (!convert_all(conv, values, Stored<F>::names.data(), seq)) return nullptr;
        F& fn = *Stored<F>::fn;
        if constexpr (std::is_void_v<Receiver>) {
            return call_and_convert([&]() -> decltype(auto) { return fn(std::get<I>(conv).get()...); });
        } else if constexpr (std::is_same_v<std::decay_t<Receiver>, PyObject*>) {
            return call_and_convert([&]() -> decltype(auto) { return fn(self, std::get<I>(conv).get()...); });
        } else {
            static_assert(std::is_lvalue_reference_v<Receiver>, "a method's receiver is `T&` or `PyObject*`");
            auto& engine = engine_of<std::remove_cv_t<std::remove_reference_t<Receiver>>>(self);
            return call_and_convert([&]() -> decltype(auto) { return fn(engine, std::get<I>(conv).get()...); });
        }
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

template <class F, class Args>
struct MethodTrampoline;
template <class F, class Receiver, class... A>
struct MethodTrampoline<F, std::tuple<Receiver, A...>> {
    static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        constexpr std::size_t n = sizeof...(A);
        PyObject* values[n > 0 ? n : 1];
        if (!parse_vector(Stored<F>::name, Stored<F>::names.data(), n, args, PyVectorcall_NARGS(nargsf), kwnames,
                          values))
            return traced<F>(nullptr);
        return traced<F>(invoke<F, Receiver, A...>(self, values, std::index_sequence_for<A...>{}));
    }
};

template <class F, class Args>
struct FunctionTrampoline;
template <class F, class... A>
struct FunctionTrampoline<F, std::tuple<A...>> {
    static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        constexpr std::size_t n = sizeof...(A);
        PyObject* values[n > 0 ? n : 1];
        if (!parse_vector(Stored<F>::name, Stored<F>::names.data(), n, args, PyVectorcall_NARGS(nargsf), kwnames,
                          values))
            return traced<F>(nullptr);
        return traced<F>(invoke<F, void, A...>(nullptr, values, std::index_sequence_for<A...>{}));
    }
};

// Runs the constructor lambda on the converted arguments and stores the engine object it returns;
// a lambda whose first parameter is the wrapper itself (PyObject*) gets it first.
template <bool WithSelf, class F, class... A, std::size_t... I>
bool construct(PyObject* self, PyObject* const* values, std::index_sequence<I...> seq) {
    try {
        std::tuple<Converter<std::decay_t<A>>...> conv;
        if (!convert_all(conv, values, Stored<F>::names.data(), seq)) return false;
        F& fn = *Stored<F>::fn;
        if constexpr (WithSelf)
            reinterpret_cast<Wrapper*>(self)->engine = stored_pointer(fn(self, std::get<I>(conv).get()...));
        else
            reinterpret_cast<Wrapper*>(self)->engine = stored_pointer(fn(std::get<I>(conv).get()...));
        return true;
    } catch (...) {
        translate_exception();
        return false;
    }
}

template <bool WithSelf, class F, class... A>
struct ConstructorTrampolineOf {
    static PyObject* call(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        Ref self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        constexpr std::size_t n = sizeof...(A);
        PyObject* values[n > 0 ? n : 1];
        std::vector<Ref> owned;
        if (!parse_tuple("__cinit__", Stored<F>::names.data(), n, args, kwargs, values, owned))
            return traced<F>(nullptr);
        if (!construct<WithSelf, F, A...>(self.get(), values, std::index_sequence_for<A...>{}))
            return traced<F>(nullptr);
        return self.release();
    }
};
template <class F, class Args>
struct ConstructorTrampoline;
template <class F, class... A>
struct ConstructorTrampoline<F, std::tuple<A...>> : ConstructorTrampolineOf<false, F, A...> {};
template <class F, class... A>
struct ConstructorTrampoline<F, std::tuple<PyObject*, A...>> : ConstructorTrampolineOf<true, F, A...> {};

template <class F>
struct IgnoringConstructorTrampoline {
    static PyObject* call(PyTypeObject* type, PyObject*, PyObject*) {
        Ref self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        try {
            reinterpret_cast<Wrapper*>(self.get())->engine = stored_pointer((*Stored<F>::fn)());
        } catch (...) {
            translate_exception();
            return traced<F>(nullptr);
        }
        return self.release();
    }
};

void dealloc_wrapper(PyObject* self, void (*destroy)(void*));
void dealloc_keeping(PyObject* self, void (*destroy)(void*));
int clear_keeping(PyObject* self, void (*destroy)(void*));
int traverse_keeping(PyObject* self, visitproc visit, void* arg);

template <class Root>
void destroy(void* p) {
    delete static_cast<Root*>(p);
}
template <class Root>
void dealloc_plain(PyObject* self) {
    dealloc_wrapper(self, &destroy<Root>);
}
template <class Root>
void dealloc_keeping_root(PyObject* self) {
    dealloc_keeping(self, &destroy<Root>);
}
template <class Root>
int clear_keeping_root(PyObject* self) {
    return clear_keeping(self, &destroy<Root>);
}

}  // namespace detail

template <class... Names>
constexpr std::array<const char*, sizeof...(Names)> args(Names... names) {
    return {names...};
}

// ---------------------------------------------------------------- classes and functions

// One class of the table: its name and base come from class_table.def, the rest from its
// define_<name>() function. A class without a constructor is abstract: calling it ignores every
// argument and makes a wrapper holding no engine object.
class ClassDef {
public:
    explicit ClassDef(const char* pickling_message) : pickling_message(pickling_message) {}

    // The first class of a family: instances own a Root, released with `delete`.
    template <class Root>
    ClassDef& root(bool keeps_references = false) {
        if (keeps_references) {
            dealloc = &detail::dealloc_keeping_root<Root>;
            clear = &detail::clear_keeping_root<Root>;
            traverse = &detail::traverse_keeping;
            basicsize = sizeof(KeepingWrapper);
        } else {
            dealloc = &detail::dealloc_plain<Root>;
            basicsize = sizeof(Wrapper);
        }
        return *this;
    }

    // The lambda takes the converted arguments (optionally preceded by `PyObject* self`, the new
    // wrapper) and returns the new engine object; an exception leaves no wrapper.
    template <std::size_t N, class F>
    ClassDef& constructor(const std::array<const char*, N>& names, F f, const char* file = __builtin_FILE(),
                          int line = __builtin_LINE()) {
        using A = typename detail::signature<F>::args;
        constexpr bool with_self =
            std::tuple_size_v<A> > 0 && std::is_same_v<std::tuple_element_t<0, A>, PyObject*>;
        static_assert(std::tuple_size_v<A> == N + (with_self ? 1 : 0), "one name per constructor argument");
        sites.push_back({"__cinit__", detail::store(std::move(f), "__cinit__", names, file, line)});
        tp_new = &detail::ConstructorTrampoline<F, A>::call;
        return *this;
    }

    // A constructor that declares no argument and ignores whatever it is given.
    template <class F>
    ClassDef& constructor_ignoring_arguments(F f, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
        sites.push_back(
            {"__cinit__", detail::store(std::move(f), "__cinit__", std::array<const char*, 0>{}, file, line)});
        tp_new = &detail::IgnoringConstructorTrampoline<F>::call;
        return *this;
    }

    template <std::size_t N, class F>
    ClassDef& method(const char* name, const char* doc, const std::array<const char*, N>& names, F f,
                     const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
        using A = typename detail::signature<F>::args;
        static_assert(std::tuple_size_v<A> == N + 1, "a receiver, then one name per argument");
        sites.push_back({name, detail::store(std::move(f), name, names, file, line)});
        methods.push_back({name,
                           reinterpret_cast<PyCFunction>(
                               reinterpret_cast<void (*)(void)>(&detail::MethodTrampoline<F, A>::call)),
                           METH_FASTCALL | METH_KEYWORDS, doc});
        return *this;
    }

    const char* pickling_message;
    newfunc tp_new = nullptr;
    destructor dealloc = nullptr;
    inquiry clear = nullptr;
    traverseproc traverse = nullptr;
    Py_ssize_t basicsize = 0;
    std::vector<PyMethodDef> methods;
    std::vector<std::pair<const char*, TraceSite*>> sites;  // named once the class name is known
};

// A module function.
template <std::size_t N, class F>
PyMethodDef function(const char* name, const char* doc, const std::array<const char*, N>& names, F f,
                     const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    using A = typename detail::signature<F>::args;
    static_assert(std::tuple_size_v<A> == N, "one name per argument");
    detail::store(std::move(f), name, names, file, line)->qualname = std::string(module_name) + "." + name;
    return {name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&detail::FunctionTrampoline<F, A>::call)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

#define LFE_CLASS(name, base) ClassDef define_##name();
#include "class_table.def"
#undef LFE_CLASS

// Makes the class of a table entry with its base (null for object) and adds it to the module.
PyTypeObject* create_class(PyObject* module, ClassId id, const char* name, PyTypeObject* base, ClassDef def);

// NumPy's native array interface; false with ImportError "numpy._core.multiarray failed to import".
bool import_numpy_api();

}  // namespace lfe::py
