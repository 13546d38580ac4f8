#include "coro.hpp"

#include "errors.hpp"
#include "text.hpp"

namespace pyglue {

namespace detail {

py::object await_iterator(py::handle awaitable) {
    py::object await_method = py::getattr(awaitable, "__await__", py::none());
    if (await_method.is_none()) {
        raise_new(PyExc_TypeError,
                  cat("object ", py::type::handle_of(awaitable).attr("__name__"),
                      " can't be used in 'await' expression"));
    }
    return await_method();
}

void release_permit(py::handle sem) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);  // release may run while an error is being raised
    try {
        sem.attr("release")();
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("releasing a semaphore permit");
    }
    PyErr_Restore(t, v, tb);
}

}  // namespace detail

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
            py::object stop = detail::fetch_error();
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
            promise().thrown = detail::fetch_error();
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
                promise().thrown = detail::fetch_error();
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
    // One type for the whole process, whichever module is imported first;
    // every module that makes coroutines names it.
    static py::handle type;  // under the GIL; kept for the life of the process
    if (!type) {
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
        py::object created = m.attr("coroutine");
        // Named after the package, not after the module that happened to be first.
        created.attr("__module__") = "quorvan_core";
        // asyncio names a task's coroutine by its __qualname__. type.__setattr__
        // reserves that name for the class itself, so the instance property goes
        // straight into the type's dict (class access still finds type's own).
        py::object getter = py::cpp_function([](const CoroutineObject& c) { return c.qualname(); });
        py::object prop = py::module_::import("builtins").attr("property")(getter);
        PyObject* dict = reinterpret_cast<PyTypeObject*>(created.ptr())->tp_dict;
        if (PyDict_SetItemString(dict, "__qualname__", prop.ptr()) < 0 ||
            PyDict_SetItemString(dict, "__name__", prop.ptr()) < 0) {
            throw py::error_already_set();
        }
        PyType_Modified(reinterpret_cast<PyTypeObject*>(created.ptr()));
        py::module_::import("collections.abc").attr("Coroutine").attr("register")(created);
        type = created.release();
        return;
    }
    m.attr("coroutine") = type;
}

py::object make_coroutine(Coro coro, std::string qualname) {
    return py::cast(new CoroutineObject(std::move(coro), std::move(qualname)),
                    py::return_value_policy::take_ownership);
}

}  // namespace pyglue
