#include "pyglue.hpp"

#include <new>
#include <stdexcept>

namespace pyglue {

void bind(py::module_& m, const char* as_name, const char* module, const char* name) {
    py::object mod = py::module_::import(module);
    m.attr(as_name) = name ? py::getattr(mod, name) : mod;
}

py::str str(py::handle obj) {
    PyObject* s = PyObject_Str(obj.ptr());
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

// ------------------------------------------------------------ argument checks

void raise_arg_type(const char* arg, const char* expected, py::handle got) {
    raise_new(PyExc_TypeError, cat("Argument '", arg, "' has incorrect type (expected ", expected,
                                   ", got ", py::type::handle_of(got).attr("__name__"), ")"));
}

void need_str(py::handle v, const char* arg) {
    if (!PyUnicode_CheckExact(v.ptr())) raise_arg_type(arg, "str", v);
}

void need_str_instance(py::handle v, const char* arg) {
    if (!PyUnicode_Check(v.ptr())) raise_arg_type(arg, "str", v);
}

void need_opt_str(py::handle v, const char* arg) {
    if (!v.is_none() && !PyUnicode_CheckExact(v.ptr())) raise_arg_type(arg, "str", v);
}

void need_list(py::handle v, const char* arg) {
    if (!PyList_CheckExact(v.ptr())) raise_arg_type(arg, "list", v);
}

void need_opt_list(py::handle v, const char* arg) {
    if (!v.is_none() && !PyList_CheckExact(v.ptr())) raise_arg_type(arg, "list", v);
}

void need_dict(py::handle v, const char* arg) {
    if (!PyDict_CheckExact(v.ptr())) raise_arg_type(arg, "dict", v);
}

static bool is_real_number(py::handle v) {
    if (PyLong_Check(v.ptr()) || PyFloat_Check(v.ptr())) return true;
    py::object real = py::module_::import("numbers").attr("Real");
    return py::isinstance(v, real);
}

py::object need_int(py::handle v, const char* arg) {
    if (PyLong_CheckExact(v.ptr())) return py::reinterpret_borrow<py::object>(v);
    if (!is_real_number(v)) raise_arg_type(arg, "int", v);
    PyObject* r = PyNumber_Long(v.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object need_opt_int(py::handle v, const char* arg) {
    if (v.is_none()) return py::none();
    return need_int(v, arg);
}

py::object need_float(py::handle v, const char* arg) {
    if (PyFloat_CheckExact(v.ptr())) return py::reinterpret_borrow<py::object>(v);
    if (!is_real_number(v)) raise_arg_type(arg, "float", v);
    PyObject* r = PyNumber_Float(v.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// ------------------------------------------------------------ result checks

py::object need_dict_result(py::object v) {
    if (v.is_none() || PyDict_CheckExact(v.ptr())) return v;
    raise_new(PyExc_TypeError, cat("Expected dict, got ", py::type::handle_of(v).attr("__name__")));
}

// -------------------------------------------------------------- class helpers

py::str record_repr(py::handle self, std::initializer_list<std::pair<const char*, py::object>> fields) {
    py::list parts;
    for (const auto& [name, value] : fields) parts.append(cat(name, "=", py::object(py::repr(value))));
    PyObject* inner = PyUnicode_Join(py::str(", ").ptr(), parts.ptr());
    if (!inner) throw py::error_already_set();
    return cat(py::type::handle_of(self).attr("__name__"), "(", py::reinterpret_steal<py::object>(inner), ")");
}

py::object clip(py::handle text, Py_ssize_t width) {
    if (!PyUnicode_Check(text.ptr()) || PyUnicode_GetLength(text.ptr()) <= width) {
        return py::reinterpret_borrow<py::object>(text);
    }
    PyObject* head = PyUnicode_Substring(text.ptr(), 0, width);
    if (!head) throw py::error_already_set();
    return cat(py::reinterpret_steal<py::object>(head), "\u2026");
}

// ----------------------------------------------------------------- membership

bool contains(py::handle container, py::handle item) {
    const int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

// ------------------------------------------------------------------- printing

void print(py::handle line) {
    py::module_::import("builtins").attr("print")(line);
}

// ---------------------------------------------------------------- environment

py::object call_load_dotenv(py::handle load_dotenv) {
    py::object load = py::reinterpret_borrow<py::object>(load_dotenv);
    try {
        return load();
    } catch (py::error_already_set& e) {
        // AssertionError from the frame walk; AttributeError when asserts are off.
        if (!e.matches(PyExc_AssertionError) && !e.matches(PyExc_AttributeError)) throw;
        py::object find = py::module_::import("dotenv").attr("find_dotenv");
        return load(find(py::arg("usecwd") = true));
    }
}

// --------------------------------------------------------------------- errors

static py::object fetch_error() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return py::none();
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return py::reinterpret_steal<py::object>(value);
}

py::object current_exception() {
    try {
        throw;
    } catch (py::error_already_set& e) {
        return e.value();
    } catch (py::builtin_exception& e) {
        e.set_error();
        return fetch_error();
    } catch (std::bad_alloc&) {
        return py::reinterpret_steal<py::object>(PyObject_CallNoArgs(PyExc_MemoryError));
    } catch (std::exception& e) {
        return py::reinterpret_steal<py::object>(
            PyObject_CallOneArg(PyExc_RuntimeError, py::str(e.what()).ptr()));
    } catch (...) {
        return py::reinterpret_steal<py::object>(
            PyObject_CallOneArg(PyExc_RuntimeError, py::str("unknown C++ exception").ptr()));
    }
}

bool is_ordinary(py::handle exc) {
    return PyObject_IsInstance(exc.ptr(), PyExc_Exception) == 1;
}

py::object caught() {
    py::object e = current_exception();
    if (!is_ordinary(e)) throw;
    return e;
}

void rewrap(py::handle type, py::handle prefix) {
    py::object e = caught();
    raise_new(type, cat(prefix, e), e);
}

void raise(py::handle exc) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()));
    PyObject* tb = PyException_GetTraceback(exc.ptr());  // new reference or NULL
    Py_INCREF(type);
    Py_INCREF(exc.ptr());
    // PyErr_Restore does no implicit chaining: the exception goes out as it is.
    PyErr_Restore(type, exc.ptr(), tb);
    throw py::error_already_set();
}

void raise_new(py::handle type, py::handle message, py::handle context) {
    py::object exc = py::reinterpret_borrow<py::object>(type)(message);
    if (context && !context.is_none()) {
        PyException_SetContext(exc.ptr(), context.inc_ref().ptr());  // steals
    }
    raise(exc);
}

// ---------------------------------------------------------------------- files

namespace {

// A failure about the temporary file is reported against the caller's path,
// as open(path, "w") would report it.
void blame_path(const py::object& error, const py::object& tmp, const py::object& path) {
    if (!PyObject_IsInstance(error.ptr(), PyExc_OSError)) return;
    py::object filename = py::getattr(error, "filename", py::none());
    if (filename.is_none() || !filename.equal(tmp)) return;
    error.attr("filename") = path;
    // Deleted rather than set to None, which str() would show as "-> None".
    if (PyObject_DelAttrString(error.ptr(), "filename2") < 0) throw py::error_already_set();
}

// Removing the temporary file must not hide the error that made it useless.
void discard_file(const py::object& os, const py::object& tmp) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    try {
        os.attr("unlink")(tmp);
    } catch (py::error_already_set&) {
    }
    PyErr_Restore(t, v, tb);
}

}  // namespace

void write_text_atomic(py::handle path_h, py::handle text, bool follow_symlinks) {
    py::object os = py::module_::import("os");
    py::object ospath = os.attr("path");
    py::object path = os.attr("fspath")(path_h);
    // Through a symlink, as open() writes: the link stays, its target is
    // replaced; unless told not to follow, when the rename replaces the link.
    py::object target = os.attr("fsdecode")(
        follow_symlinks ? ospath.attr("realpath")(path) : ospath.attr("abspath")(path));
    py::object folder = ospath.attr("dirname")(target);
    py::str prefix = cat(".", py::object(ospath.attr("basename")(target)), ".");

    // Mode 0o666 less the umask, as open() creates files; O_EXCL so a name
    // another writer holds is never shared.
    // (O_EXCL alone already refuses a symlink planted at the name; O_NOFOLLOW says so.)
    py::object flags = os.attr("O_WRONLY") | os.attr("O_CREAT") | os.attr("O_EXCL") | os.attr("O_CLOEXEC") |
                       py::getattr(os, "O_NOFOLLOW", py::int_(0));
    py::object tmp, fd;
    for (int attempt = 0; !fd; ++attempt) {
        tmp = ospath.attr("join")(folder, cat(prefix, py::object(os.attr("urandom")(6).attr("hex")()), ".tmp"));
        try {
            fd = os.attr("open")(tmp, flags, 0666);
        } catch (py::error_already_set& e) {
            if (e.matches(PyExc_FileExistsError) && attempt < 100) continue;
            blame_path(e.value(), tmp, path);
            throw;
        }
    }

    try {
        try {
            py::object st = os.attr("stat")(target, py::arg("follow_symlinks") = follow_symlinks);
            os.attr("fchmod")(fd, py::module_::import("stat").attr("S_IMODE")(st.attr("st_mode")));
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_FileNotFoundError)) throw;
        }
        py::object file;
        try {
            file = os.attr("fdopen")(fd, "w", py::arg("encoding") = "utf-8");
        } catch (...) {
            os.attr("close")(fd);
            throw;
        }
        file.attr("__enter__")();
        try {
            file.attr("write")(text);
            file.attr("flush")();
            os.attr("fsync")(file.attr("fileno")());
        } catch (...) {
            py::object error = current_exception();
            file.attr("__exit__")(py::type::handle_of(error), error, py::getattr(error, "__traceback__", py::none()));
            throw;
        }
        file.attr("__exit__")(py::none(), py::none(), py::none());
        os.attr("replace")(tmp, target);
    } catch (py::error_already_set& e) {
        blame_path(e.value(), tmp, path);
        discard_file(os, tmp);
        throw;
    } catch (...) {
        discard_file(os, tmp);
        throw;
    }
}

// --------------------------------------------------------- coroutine bridge

void Coro::promise_type::unhandled_exception() {
    error = current_exception();
}

Coro::Awaiter Coro::promise_type::await_transform(py::object awaitable) {
    // Done before suspension, so a bad awaitable raises inside the frame.
    py::object await_method = py::getattr(awaitable, "__await__", py::none());
    if (await_method.is_none()) {
        raise_new(PyExc_TypeError,
                  cat("object ", py::type::handle_of(awaitable).attr("__name__"),
                      " can't be used in 'await' expression"));
    }
    delegate = await_method();
    return Awaiter{this};
}

py::object Coro::Awaiter::await_resume() const {
    if (p->thrown) {
        py::object e = std::move(p->thrown);
        p->thrown = py::object();
        raise(e);
    }
    py::object v = std::move(p->sent);
    p->sent = py::object();
    return v;
}

namespace {

class CoroutineObject {
public:
    CoroutineObject(Coro coro, std::string qualname)
        : coro_(std::move(coro)), qualname_(std::move(qualname)) {}

    py::object send(py::object value) {
        check_can_run();
        if (!started_) {
            if (!value.is_none()) {
                raise_new(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            }
            started_ = true;
            return run();
        }
        PyObject* res = nullptr;
        PySendResult r = PyIter_Send(promise().delegate.ptr(), value.ptr(), &res);
        return after_delegate(r, res);
    }

    py::object next() { return send(py::none()); }

    py::object throw_(py::args args) {
        if (args.empty() || args.size() > 3) {
            raise_new(PyExc_TypeError, "throw expected at least 1 argument, at most 3");
        }
        if (finished_ || !started_) {
            // Thrown into a coroutine that never ran or already ended: it
            // ends now and the exception comes straight back.
            finish();
            raise(make_exception(args));
        }
        check_can_run();
        py::object thrower = py::getattr(promise().delegate, "throw", py::none());
        if (thrower.is_none()) {
            promise().thrown = make_exception(args);
            promise().delegate = py::object();
            return run();
        }
        PyObject* res = PyObject_Call(thrower.ptr(), args.ptr(), nullptr);
        if (res) return py::reinterpret_steal<py::object>(res);
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            py::object stop = fetch_error();
            return after_delegate(PYGEN_RETURN, py::getattr(stop, "value", py::none()).release().ptr());
        }
        return after_delegate(PYGEN_ERROR, nullptr);
    }

    void close() {
        if (running_) raise_new(PyExc_ValueError, "coroutine already executing");
        py::object closer;
        if (!finished_ && started_ && promise().delegate) {
            closer = py::getattr(promise().delegate, "close", py::none());
        }
        finish();  // destroys the frame: scope guards (permits) are released
        if (closer && !closer.is_none()) closer();
    }

    const std::string& qualname() const { return qualname_; }
    bool running() const { return running_; }
    py::object awaiting() const {
        if (finished_ || !started_ || !promise().delegate) return py::none();
        return promise().delegate;
    }

private:
    Coro::promise_type& promise() const { return coro_.handle().promise(); }

    void check_can_run() {
        if (running_) raise_new(PyExc_ValueError, "coroutine already executing");
        if (finished_) raise_new(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    }

    void finish() {
        finished_ = true;
        coro_.destroy();
    }

    static py::object make_exception(const py::args& args) {
        py::object typ = args[0];
        if (PyExceptionInstance_Check(typ.ptr())) return typ;
        if (PyExceptionClass_Check(typ.ptr())) {
            if (args.size() > 1 && PyExceptionInstance_Check(args[1].ptr())) return args[1];
            if (args.size() > 1 && !args[1].is_none()) return typ(args[1]);
            return typ();
        }
        raise_new(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException");
    }

    // The awaited iterator finished (or yielded) with r: hand that to the frame.
    py::object after_delegate(PySendResult r, PyObject* res) {
        if (r == PYGEN_NEXT) return py::reinterpret_steal<py::object>(res);
        if (r == PYGEN_RETURN) {
            promise().sent = py::reinterpret_steal<py::object>(res);
        } else {
            promise().thrown = fetch_error();
        }
        promise().delegate = py::object();
        return run();
    }

    // Resume the frame until it awaits something that suspends, or ends.
    py::object run() {
        for (;;) {
            running_ = true;
            coro_.handle().resume();
            running_ = false;
            if (coro_.handle().done()) {
                py::object error = std::move(promise().error);
                py::object result = std::move(promise().result);
                finish();
                if (error) raise(error);
                if (!result) result = py::none();
                // StopIteration built as an instance, so a tuple result stays whole.
                py::object stop = py::reinterpret_steal<py::object>(
                    PyObject_CallOneArg(PyExc_StopIteration, result.ptr()));
                raise(stop);
            }
            PyObject* res = nullptr;
            PySendResult r = PyIter_Send(promise().delegate.ptr(), Py_None, &res);
            if (r == PYGEN_NEXT) return py::reinterpret_steal<py::object>(res);
            if (r == PYGEN_RETURN) {
                promise().sent = py::reinterpret_steal<py::object>(res);
            } else {
                promise().thrown = fetch_error();
            }
            promise().delegate = py::object();
        }
    }

    Coro coro_;
    std::string qualname_;
    bool started_ = false;
    bool finished_ = false;
    bool running_ = false;
};

}  // namespace

void init_coroutines(py::module_& m) {
    py::class_<CoroutineObject>(m, "coroutine", py::module_local())
        .def("send", &CoroutineObject::send, py::arg("value"))
        .def("throw", &CoroutineObject::throw_)
        .def("close", &CoroutineObject::close)
        .def("__await__", [](py::object self) { return self; })
        .def("__next__", &CoroutineObject::next)
        .def_property_readonly("cr_running", &CoroutineObject::running)
        .def_property_readonly("cr_await", &CoroutineObject::awaiting)
        .def("__repr__", [](const CoroutineObject& c) {
            return "<coroutine object " + c.qualname() + ">";
        });
    py::object type = m.attr("coroutine");
    // asyncio names a task's coroutine by its __qualname__. type.__setattr__
    // reserves that name for the class itself, so the instance property goes
    // straight into the type's dict (class access still finds type's own).
    py::object getter = py::cpp_function([](const CoroutineObject& c) { return c.qualname(); });
    py::object prop = py::module_::import("builtins").attr("property")(getter);
    PyObject* dict = reinterpret_cast<PyTypeObject*>(type.ptr())->tp_dict;
    if (PyDict_SetItemString(dict, "__qualname__", prop.ptr()) < 0 ||
        PyDict_SetItemString(dict, "__name__", prop.ptr()) < 0) {
        throw py::error_already_set();
    }
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type.ptr()));
    py::module_::import("collections.abc").attr("Coroutine").attr("register")(type);
}

py::object make_coroutine(Coro coro, std::string qualname) {
    return py::cast(new CoroutineObject(std::move(coro), std::move(qualname)),
                    py::return_value_policy::take_ownership);
}

Permit::~Permit() {
    if (!sem_) return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);  // release may run while an error is being raised
    try {
        sem_.attr("release")();
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("releasing a semaphore permit");
    }
    PyErr_Restore(t, v, tb);
}

}  // namespace pyglue
