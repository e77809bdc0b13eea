// The module's lock rule as two guards: a long call first gives up the interpreter lock and
// then takes the object's mutex; leaving the scope gives the mutex back before the
// interpreter lock is taken again, so the mutex is never held while waiting for it.
#pragma once

#include "py.hpp"

#include <mutex>
#include <utility>

namespace talmiro_py {

class GilReleased {
public:
    GilReleased() noexcept : state_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(state_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

private:
    PyThreadState* state_;
};

// Runs `body` without the interpreter lock and with `mutex` held.
template <typename F>
auto without_gil_locked(std::mutex& mutex, F&& body) {
    GilReleased released;
    std::lock_guard<std::mutex> held(mutex);
    return std::forward<F>(body)();
}

// Runs `body` without the interpreter lock (no object mutex), e.g. opening a codec.
template <typename F>
auto without_gil(F&& body) {
    GilReleased released;
    return std::forward<F>(body)();
}

// Runs `body` with `mutex` held and the interpreter lock kept: for the short accessors.
template <typename F>
auto locked(std::mutex& mutex, F&& body) {
    std::lock_guard<std::mutex> held(mutex);
    return std::forward<F>(body)();
}

}  // namespace talmiro_py
