// Turning everything that can go wrong into a Python exception. The core
// throws `failure` (or `stop_requested`); `guarded` is the one place that
// catches them, so no C++ exception ever reaches the interpreter. What a
// failure becomes is the module's choice, made by the boundary it names.
#pragma once

#include "binding/py_ref.hpp"
#include "model/failure.hpp"

#include <exception>
#include <new>
#include <string>

namespace tolvane::binding {

// The qualified name of obj's type, for messages; never fails.
std::string type_name(PyObject* obj);

// The UTF-8 of a str, or "" (with the error cleared) when it has none.
std::string utf8_of(PyObject* str);

// Sets TypeError with `message`.
void set_type_error(const std::string& message);

// Sets TypeError "<before><name of obj's type><after>".
void set_type_error(const char* before, PyObject* obj, const char* after);

// Used where the interpreter is asked for its error: when a C-API call failed
// without setting one, the caller still gets an exception, never a bare NULL.
void ensure_error_set();

// Takes the pending exception off the interpreter and describes it as
// "<type>: <message>", for failure messages that wrap a Python error.
std::string take_error_description();

// The pending exception, taken off the interpreter (normalised), or empty.
class raised_error {
public:
    static raised_error fetch();
    PyObject* get() const { return exc.get(); }
    explicit operator bool() const { return bool(exc); }
    // Puts it back as the pending exception.
    void restore();
private:
    py_ref exc;
};

// With `err` taken off the interpreter after a conversion of argument `name`
// failed: an exact TypeError is raised again with the "argument 'NAME': "
// prefix, keeping its cause; anything else is put back as it was.
void raise_argument_error(const char* name, raised_error err);

// A run stopped on the host's request: the reason (KeyboardInterrupt) is the
// pending error already. Always returns nullptr.
PyObject* raise_stopped() noexcept;

// Runs one entry point body; returns its result, or nullptr with an exception
// set. `Boundary` turns what the body threw into that exception:
//   static PyObject* raise_failure(const failure&) noexcept;
//   static PyObject* raise_out_of_memory() noexcept;
//   static PyObject* raise_unexpected(const char* what) noexcept;
// each returning nullptr with the exception set.
template <class Boundary, class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const failure& f) {
        return Boundary::raise_failure(f);
    } catch (const stop_requested&) {
        return raise_stopped();
    } catch (const std::bad_alloc&) {
        return Boundary::raise_out_of_memory();
    } catch (const std::exception& e) {
        return Boundary::raise_unexpected(e.what());
    } catch (...) {
        return Boundary::raise_unexpected("unknown C++ exception");
    }
}

}  // namespace tolvane::binding
