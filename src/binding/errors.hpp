// Turning everything that can go wrong into a Python exception. The core
// throws `failure` (or `stop_requested`); `guarded` is the one place that
// catches them, so no C++ exception ever reaches the interpreter.
#pragma once

#include "binding/py_ref.hpp"
#include "model/failure.hpp"

#include <exception>
#include <new>
#include <string>

namespace tolvane::binding {

// The qualified name of obj's type, for messages; never fails.
std::string type_name(PyObject* obj);

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

// After a conversion of argument `name` failed (error pending): an exact
// TypeError gets the "argument 'NAME': " prefix and keeps its cause; a
// PanicException from a nested call is reported with its traceback and
// continues as a failure of this call (throws); anything else stays as is.
void argument_error(const char* name);

// Writes the report of `f` to standard error and sets PanicException(message).
// Always returns nullptr.
PyObject* raise_failure(const failure& f) noexcept;

// The same for exceptions that carry no location (std::exception and others).
PyObject* raise_unexpected(const char* what) noexcept;

// A run stopped on the host's request: the reason (KeyboardInterrupt) is the
// pending error already. Always returns nullptr.
PyObject* raise_stopped() noexcept;

// Runs one entry point body; returns its result, or nullptr with an exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const failure& f) {
        return raise_failure(f);
    } catch (const stop_requested&) {
        return raise_stopped();
    } catch (const std::bad_alloc&) {
        return raise_unexpected("out of memory");
    } catch (const std::exception& e) {
        return raise_unexpected(e.what());
    } catch (...) {
        return raise_unexpected("unknown C++ exception");
    }
}

}  // namespace tolvane::binding
