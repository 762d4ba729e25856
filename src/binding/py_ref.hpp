// One strong reference to a Python object. Every owned PyObject* in the
// binding lives in one of these; a raw PyObject* is always borrowed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tolvane::binding {

class py_ref {
public:
    py_ref() = default;
    // Takes over a new reference (which may be null after a failed call).
    static py_ref steal(PyObject* o) { return py_ref{o}; }
    // Adds a reference to a borrowed object.
    static py_ref borrow(PyObject* o) { Py_XINCREF(o); return py_ref{o}; }

    py_ref(py_ref&& other) noexcept : object{std::exchange(other.object, nullptr)} {}
    py_ref& operator=(py_ref&& other) noexcept {
        if (this != &other) Py_XSETREF(object, std::exchange(other.object, nullptr));
        return *this;
    }
    py_ref(const py_ref&) = delete;
    py_ref& operator=(const py_ref&) = delete;
    ~py_ref() { Py_XDECREF(object); }

    PyObject* get() const { return object; }
    explicit operator bool() const { return object != nullptr; }
    // Hands the reference to a caller that steals it (a return value, a list slot).
    PyObject* release() { return std::exchange(object, nullptr); }

private:
    explicit py_ref(PyObject* o) : object{o} {}
    PyObject* object = nullptr;
};

}  // namespace tolvane::binding
