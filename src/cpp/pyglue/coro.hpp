// The coroutine bridge: C++20 coroutines that Python drives as coroutine
// objects, so an async method can co_await any Python awaitable.
#pragma once

#include "errors.hpp"
#include "export.hpp"

#include <pybind11/pybind11.h>

#include <coroutine>
#include <string>
#include <utility>

namespace pyglue {
namespace py = pybind11;

namespace detail {
// iter(awaitable.__await__()), or TypeError as `await` raises it.
PYGLUE_API py::object await_iterator(py::handle awaitable);
PYGLUE_API void release_permit(py::handle sem);
}  // namespace detail

// A C++20 coroutine that Python drives as a coroutine object. Inside, any
// Python awaitable may be co_awaited; the result is a py::object.
// Its members are inline so that the class itself needs no export.
class Coro {
public:
    struct promise_type;
    using handle_type = std::coroutine_handle<promise_type>;

    struct Awaiter {
        promise_type* p;
        bool await_ready() const noexcept { return false; }
        void await_suspend(handle_type) const noexcept {}
        py::object await_resume() const {
            if (p->thrown) {
                py::object e = std::move(p->thrown);
                p->thrown = py::object();
                raise(e);
            }
            py::object v = std::move(p->sent);
            p->sent = py::object();
            return v;
        }
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
        void unhandled_exception() { error = current_exception(); }
        // Done before suspension, so a bad awaitable raises inside the frame.
        Awaiter await_transform(py::object awaitable) {
            delegate = detail::await_iterator(awaitable);
            return Awaiter{this};
        }
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

// Wrap a coroutine as a Python coroutine object.
PYGLUE_API py::object make_coroutine(Coro coro, std::string qualname);

// The coroutine object type, created once per process and registered with
// collections.abc.Coroutine so asyncio accepts it; m.coroutine names it.
PYGLUE_API void init_coroutines(py::module_& m);

// A semaphore permit released on every exit of the scope that holds it.
class Permit {
public:
    explicit Permit(py::object sem) : sem_(std::move(sem)) {}
    Permit(const Permit&) = delete;
    Permit& operator=(const Permit&) = delete;
    ~Permit() {
        if (sem_) detail::release_permit(sem_);
    }

private:
    py::object sem_;
};

}  // namespace pyglue
