// The module's lock rule: no thread waits for an object's mutex while it holds the interpreter
// lock, and none waits for the interpreter lock while it holds a mutex. A long call first gives
// up the interpreter lock and then takes the mutex, and gives the mutex back before the
// interpreter lock is taken again; a short accessor takes a free mutex as it is and waits for
// a busy one the same way. So one long call stalls only the threads that use its object.
//
// Taking the interpreter lock back may end the thread: while the interpreter is finalized,
// CPython ends every other thread that asks for the lock (3.11: pthread_exit, a forced unwind
// on glibc). That unwind must pass through every frame up to the thread's start, so nothing on
// its path is noexcept or swallows it, and nothing unwound touches Python objects: the lock is
// not held, and will not be.
#pragma once

#include "py.hpp"

#include <exception>
#include <mutex>
#include <optional>
#include <utility>

namespace talmiro_py {

namespace detail {
inline thread_local bool t_regaining_gil = false;
}  // namespace detail

// True on a thread that is being ended while it waited for the interpreter lock: what unwinds
// now must leave Python objects alone (leaking them is all that is left to do).
inline bool thread_is_ending() noexcept { return detail::t_regaining_gil; }

// Takes the interpreter lock back after PyEval_SaveThread. Returns with the lock held, or
// ends the thread by a forced unwind (during finalization), with thread_is_ending() true.
inline void regain_gil(PyThreadState* state) {
    detail::t_regaining_gil = true;
    PyEval_RestoreThread(state);
    detail::t_regaining_gil = false;
}

// Runs `body` without the interpreter lock (no object mutex), e.g. opening a codec. A C++
// exception from `body` is carried past the lock's return, so the lock is never taken back
// while another exception unwinds (a forced unwind then would end the process).
template <typename F>
auto without_gil(F&& body) {
    using R = decltype(std::forward<F>(body)());
    std::optional<R> result;
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        result.emplace(std::forward<F>(body)());
    } catch (...) {
        failure = std::current_exception();
        if (!failure) throw;  // a foreign exception, such as a forced unwind, cannot be held
    }
    regain_gil(state);
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

// Runs `body` without the interpreter lock and with `mutex` held.
template <typename F>
auto without_gil_locked(std::mutex& mutex, F&& body) {
    return without_gil([&] {
        std::lock_guard<std::mutex> held(mutex);
        return std::forward<F>(body)();
    });
}

// Runs `body` with `mutex` held, for the short accessors: `body` copies out what the caller
// needs and touches no Python object; the caller builds Python objects from the copy once this
// returned. A free mutex is taken at once; a busy one (a long call holds it) is waited for with
// the interpreter lock released, so that other threads run meanwhile.
template <typename F>
auto copied_out(std::mutex& mutex, F&& body) {
    {
        std::unique_lock<std::mutex> held(mutex, std::try_to_lock);
        if (held.owns_lock()) return std::forward<F>(body)();
    }
    return without_gil_locked(mutex, std::forward<F>(body));
}

}  // namespace talmiro_py
