// Python values to the core's values and back. Each conversion from Python
// returns the value, or nothing with a Python error set.
#pragma once

#include "binding/errors.hpp"
#include "binding/py_ref.hpp"
#include "model/types.hpp"

#include <optional>
#include <span>
#include <string_view>

namespace tolvane::binding {

// A str (or subclass) as UTF-8. The view lives as long as `obj`.
std::optional<std::string_view> to_text(PyObject* obj);

// True or False, or a numpy bool scalar.
std::optional<bool> to_flag(PyObject* obj);

// Any sequence but a str, item by item; each item an int in 0..65535.
// Runs the caller's __iter__/__next__/__index__, which may re-enter the module.
std::optional<token_sequence> to_token_ids(PyObject* obj);

// New references, or empty with an error set. The ints of a list are made
// once per id value and kept (see id_object), so a list costs a reference
// per id rather than an allocation.
py_ref to_list(std::span<const token_id> ids);
py_ref to_str(std::string_view utf8);

// A vector of ids kept per thread for encoding one text per call: most
// texts are short, and allocating (and clearing) a fresh vector for each
// costs as much as building its list. Taken for the length of one call and
// given back after, so a call that re-enters the module meanwhile (a
// finalizer run by the collector while the list is built) finds none and
// uses its own; one grown by a long text is not kept.
class reused_ids {
public:
    reused_ids();
    ~reused_ids();
    reused_ids(const reused_ids&) = delete;
    reused_ids& operator=(const reused_ids&) = delete;

    token_sequence& get() { return ids; }

private:
    token_sequence ids;
};

// The int for one id, a new reference (or nullptr with an error set). Made
// on first use and kept for the life of the process; only touched while
// holding the interpreter lock.
PyObject* id_object(token_id id);

}  // namespace tolvane::binding
