// Both extension modules keep process-wide state (their types, caches and the
// module object itself), so each belongs to the first interpreter that imports
// it: a second import there gets the same module object back, and any other
// interpreter is refused with ImportError.
#pragma once

#include "binding/py_ref.hpp"

#include <atomic>
#include <cstdint>

namespace tolvane::binding {

struct process_module {
    std::atomic<std::int64_t> owner{-1};
    PyObject* object = nullptr;  // kept for the life of the process
};

// A new reference to the module, made by create() (a new reference, or
// nullptr with an error set) on the first import; nullptr with an error set
// when the import is refused or creating it failed. `refusal` is the
// ImportError's message.
PyObject* import_once(process_module& module, const char* refusal, PyObject* (*create)());

}  // namespace tolvane::binding
