// The failure boundary of the module tolvane: every failure of the core
// becomes PanicException, which derives from BaseException, with the
// failure's message; where it happened goes to standard error.
#pragma once

#include "binding/errors.hpp"

namespace tolvane::binding {

struct panic_boundary {
    // Writes the report of `f` to standard error and sets PanicException(message).
    static PyObject* raise_failure(const failure& f) noexcept;
    static PyObject* raise_out_of_memory() noexcept;
    // The same for exceptions that carry no location (std::exception and others).
    static PyObject* raise_unexpected(const char* what) noexcept;
};

// After a conversion of argument `name` failed (error pending): an exact
// TypeError gets the "argument 'NAME': " prefix and keeps its cause; a
// PanicException from a nested call is reported with its traceback and
// continues as a failure of this call (throws); anything else stays as is.
void argument_error(const char* name);

// Converts argument `name` with `convert`; on failure applies argument_error
// (which may throw a failure for a nested PanicException).
template <class Convert>
auto convert_argument(const char* name, PyObject* obj, Convert&& convert) {
    auto value = convert(obj);
    if (!value) argument_error(name);
    return value;
}

}  // namespace tolvane::binding
