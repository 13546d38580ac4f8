// The binding toolkit every extension module of the package uses: one way to
// look up collaborators, check arguments, print, raise and run coroutines.
#pragma once

#include <pybind11/pybind11.h>

#include <coroutine>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace pyglue {
namespace py = pybind11;

// ---------------------------------------------------------------- late binding

// The extension module object. Collaborators are stored on it at import and
// looked up at each use, so that unittest.mock.patch on the module works.
class Module {
public:
    void set(py::handle m) {
        m.inc_ref();  // kept for the life of the process
        mod_ = m.ptr();
    }
    py::object get(const char* name) const { return py::getattr(py::handle(mod_), name); }
    py::object operator()(const char* name) const { return get(name); }
    py::handle handle() const { return py::handle(mod_); }

private:
    PyObject* mod_ = nullptr;
};

// m.<as_name> = import(module) or import(module).<name>
void bind(py::module_& m, const char* as_name, const char* module, const char* name = nullptr);

// -------------------------------------------------------------------- strings

// str(obj), kept as a Python string (no UTF-8 round trip, lone surrogates survive).
py::str str(py::handle obj);

namespace detail {
template <typename T>
py::object piece(const T& v) {
    if constexpr (std::is_base_of_v<py::handle, T>) {
        return str(v);
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        std::string_view s(v);
        return py::str(s.data(), s.size());
    } else if constexpr (std::is_arithmetic_v<T>) {
        return str(py::cast(v));
    } else {
        return str(py::object(v));  // attribute and item accessors
    }
}
}  // namespace detail

// Concatenation of the str() of every piece, as Python would build it.
template <typename... Ts>
py::str cat(const Ts&... parts) {
    py::list items;
    (items.append(detail::piece(parts)), ...);
    return py::reinterpret_steal<py::str>(PyUnicode_Join(py::str("").ptr(), items.ptr()));
}

// ------------------------------------------------------------ argument checks

// TypeError: Argument 'pdf_path' has incorrect type (expected str, got NoneType)
[[noreturn]] void raise_arg_type(const char* arg, const char* expected, py::handle got);

void need_str(py::handle v, const char* arg);       // type(v) is str
void need_str_instance(py::handle v, const char* arg);  // isinstance(v, str)
void need_opt_str(py::handle v, const char* arg);   // None or type(v) is str
void need_list(py::handle v, const char* arg);      // type(v) is list
void need_opt_list(py::handle v, const char* arg);  // None or type(v) is list
void need_dict(py::handle v, const char* arg);      // type(v) is dict
py::object need_int(py::handle v, const char* arg);      // any real number, truncated
py::object need_opt_int(py::handle v, const char* arg);  // None or need_int
py::object need_float(py::handle v, const char* arg);    // any real number, as float
inline bool truth(py::handle v) { return py::bool_(py::reinterpret_borrow<py::object>(v)); }

// ------------------------------------------------------------ result checks

// A method documented to return a dict: v itself when it is exactly a dict or
// None, else TypeError "Expected dict, got list".
py::object need_dict_result(py::object v);

// ----------------------------------------------------------------- membership

// item in container, as Python's `in` (with its fallback to iteration).
bool contains(py::handle container, py::handle item);

// ------------------------------------------------------------------- printing

// One line through builtins.print, looked up at call time.
void print(py::handle line);
inline void print(const char* line) { print(py::str(line)); }
inline void print(const std::string& line) { print(py::str(line)); }

// ---------------------------------------------------------------------- files

// Write text to path (str, bytes or os.PathLike) as open(path, "w",
// encoding="utf-8") would, but all or nothing: the text goes to a new file in
// the same folder, which replaces path only once complete and flushed to disk.
// On any failure path is left as it was and the new file is removed. A new
// file gets the mode open() would give it; an existing one keeps its mode.
// With follow_symlinks false a symlink at `path` is replaced by the file, its
// target left alone.
void write_text_atomic(py::handle path, py::handle text, bool follow_symlinks = true);

// ---------------------------------------------------------------- environment

// load_dotenv() as Python code calls it. python-dotenv looks for .env by
// walking up from the calling Python file; called from C++ with no such file
// above it (code read from stdin, an embedded interpreter) that walk fails,
// and the search then starts from the working directory instead.
py::object call_load_dotenv(py::handle load_dotenv);

// --------------------------------------------------------------------- errors

// The Python exception object for the C++ exception being handled; call only
// inside a catch block.
py::object current_exception();
// isinstance(exc, Exception): the errors a guard may catch; others pass through.
bool is_ordinary(py::handle exc);
// Raise exc itself (its traceback kept), as `raise exc` would.
[[noreturn]] void raise(py::handle exc);
// Raise type(message) with __context__ set to context (when given) and
// __cause__ left unset, as `raise New(...)` inside `except` does.
[[noreturn]] void raise_new(py::handle type, py::handle message, py::handle context = py::handle());
[[noreturn]] inline void raise_new(py::handle type, const char* message, py::handle context = py::handle()) {
    raise_new(type, py::str(message), context);
}

// Inside catch (...): the ordinary error being handled, as a Python object;
// anything else (KeyboardInterrupt, SystemExit, GeneratorExit) is rethrown.
// Every guard has this shape, coroutines included, where no lambda can hold
// a co_await:
//     try { r = co_await f(); } catch (...) { error = pyglue::caught(); }
py::object caught();
// Inside catch (...): raise type(prefix + str(e)) with the ordinary error e
// being handled as its context; anything else is rethrown.
[[noreturn]] void rewrap(py::handle type, py::handle prefix);

// The usual guard: run body; an ordinary error becomes type(prefix + str(e))
// with e as its context; other errors pass through unchanged.
template <typename F>
auto wrap_errors(py::handle type, const char* prefix, F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        rewrap(type, py::str(prefix));
    }
}

// The same guard with a prefix built at run time (one that names an id, say).
template <typename F>
auto wrap_errors(py::handle type, py::handle prefix, F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        rewrap(type, prefix);
    }
}

// ------------------------------------------------------------- class helpers

namespace detail {
template <typename T>
struct call_traits : call_traits<decltype(&std::remove_reference_t<T>::operator())> {};
template <typename C, typename R, typename... A>
struct call_traits<R (C::*)(A...) const> {
    using tail = std::tuple<A...>;
};
template <typename R, typename... A>
struct call_traits<R (*)(A...)> {
    using tail = std::tuple<A...>;
};
template <typename Tag, typename F, typename... A>
struct init_def;
template <typename Tag, typename F, typename Self, typename... A>
struct init_def<Tag, F, std::tuple<Self, A...>> {
    template <typename Cls, typename... Extra>
    static void def(Cls& cls, F f, const Extra&... extra) {
        cls.def(
            "__init__",
            [f](py::detail::value_and_holder& v_h, A... args) {
                if (!v_h.value_ptr()) v_h.value_ptr() = new Tag();
                py::handle self(reinterpret_cast<PyObject*>(v_h.inst));
                f(self, std::move(args)...);
            },
            py::detail::is_new_style_constructor(), extra...);
    }
};
}  // namespace detail

// __init__ whose body receives the instance: f(py::handle self, args...).
// Classes keep their state in the instance __dict__, so Tag is an empty marker.
template <typename Tag, typename F, typename... Extra>
void def_init(py::class_<Tag>& cls, F f, const Extra&... extra) {
    detail::init_def<Tag, F, typename detail::call_traits<F>::tail>::def(cls, std::move(f), extra...);
}

// Pickling and copying by instance __dict__ (state lives there, never in C++).
template <typename Tag>
void def_dict_reduce(py::class_<Tag>& cls) {
    cls.def("__reduce__", [](py::object self) {
        py::object newobj = py::module_::import("copyreg").attr("__newobj__");
        return py::make_tuple(newobj, py::make_tuple(py::type::of(self)), self.attr("__dict__"));
    });
}

// Value equality: same type and equal instance __dict__. Unhashable, as a
// Python class that defines __eq__ alone.
template <typename Tag>
void def_dict_eq(py::class_<Tag>& cls) {
    cls.def("__eq__", [](py::object self, py::object other) -> py::object {
        if (!py::type::handle_of(self).is(py::type::handle_of(other))) {
            return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        }
        return py::bool_(self.attr("__dict__").equal(other.attr("__dict__")));
    });
    cls.attr("__hash__") = py::none();
}

// A data record: true even when empty (callers test a record's truth to see
// whether it exists), equal by value, copied and pickled by __dict__.
template <typename Tag>
void def_record(py::class_<Tag>& cls) {
    cls.def("__bool__", [](py::object) { return true; });
    def_dict_eq(cls);
    def_dict_reduce(cls);
}

// "TypeName(name=repr(value), ...)", named after type(self) so that a
// subclass shows its own name.
py::str record_repr(py::handle self, std::initializer_list<std::pair<const char*, py::object>> fields);

// text cut to width characters plus an ellipsis when longer; anything that is
// not a str comes back unchanged, so a repr never fails on a replaced value.
py::object clip(py::handle text, Py_ssize_t width);

// --------------------------------------------------------- coroutine bridge

// A C++20 coroutine that Python drives as a coroutine object. Inside, any
// Python awaitable may be co_awaited; the result is a py::object.
class Coro {
public:
    struct promise_type;
    using handle_type = std::coroutine_handle<promise_type>;

    struct Awaiter {
        promise_type* p;
        bool await_ready() const noexcept { return false; }
        void await_suspend(handle_type) const noexcept {}
        py::object await_resume() const;
    };

    struct promise_type {
        py::object result;     // value of co_return
        py::object error;      // exception that left the body
        py::object delegate;   // iterator of the awaitable being awaited
        py::object sent;       // value the awaitable finished with
        py::object thrown;     // exception the awaitable finished with

        // Declared so the promise is no aggregate: C++20 would otherwise
        // initialise its members from the coroutine's own arguments.
        promise_type() noexcept {}
        Coro get_return_object() { return Coro(handle_type::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(py::object v) { result = std::move(v); }
        void unhandled_exception();
        Awaiter await_transform(py::object awaitable);
    };

    explicit Coro(handle_type h) : h_(h) {}
    Coro(Coro&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    Coro& operator=(Coro&& o) noexcept {
        if (this != &o) {
            destroy();
            h_ = std::exchange(o.h_, {});
        }
        return *this;
    }
    Coro(const Coro&) = delete;
    Coro& operator=(const Coro&) = delete;
    ~Coro() { destroy(); }

    handle_type handle() const { return h_; }
    void destroy() {
        if (h_) {
            h_.destroy();
            h_ = {};
        }
    }

private:
    handle_type h_;
};

// Wrap a coroutine as the Python coroutine object of this module.
py::object make_coroutine(Coro coro, std::string qualname);

// Define the coroutine object type in module m (once per module) and register
// it with collections.abc.Coroutine so asyncio accepts it.
void init_coroutines(py::module_& m);

// A semaphore permit released on every exit of the scope that holds it.
class Permit {
public:
    explicit Permit(py::object sem) : sem_(std::move(sem)) {}
    Permit(const Permit&) = delete;
    Permit& operator=(const Permit&) = delete;
    ~Permit();

private:
    py::object sem_;
};

}  // namespace pyglue
