#include "binding/args.hpp"

#include <vector>

#include "binding/errors.hpp"

namespace tolvane::binding {

std::string too_many_positional(const char* name, std::size_t params, std::size_t given) {
    // "arguments" stays plural whatever the parameter count; only the verb follows `given`.
    return std::string{name} + " takes " + std::to_string(params) + " positional arguments but " +
           std::to_string(given) + (given == 1 ? " was given" : " were given");
}

std::string missing_required(const char* name, std::span<const char* const> missing) {
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) list += i + 1 == missing.size() ? " and " : ", ";
        list += '\'';
        list += missing[i];
        list += '\'';
    }
    return std::string{name} + " missing " + std::to_string(missing.size()) +
           (missing.size() == 1 ? " required positional argument: "
                                : " required positional arguments: ") +
           list;
}

namespace {

// The parameter that keyword `key` names, or -1. Keyword names from Python
// code are always str; anything else cannot match a parameter.
Py_ssize_t parameter_index(const signature& sig, PyObject* key) {
    if (!PyUnicode_Check(key)) return -1;
    for (std::size_t i = 0; i < sig.params.size(); ++i)
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0)
            return static_cast<Py_ssize_t>(i);
    return -1;
}

}  // namespace

bool bind_arguments(const signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> out) {
    const auto count = static_cast<Py_ssize_t>(sig.params.size());
    for (auto& slot : out) slot = nullptr;

    // Positional arguments fill the parameters from the first.
    if (nargs > count) {
        set_type_error(too_many_positional(sig.qualified_name, sig.params.size(),
                                           static_cast<std::size_t>(nargs)));
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    // Keywords in call order; their values follow the positional ones in the vector.
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = parameter_index(sig, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                         sig.qualified_name, key);
            return false;
        }
        if (out[index]) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                         sig.qualified_name, sig.params[index]);
            return false;
        }
        out[index] = args[nargs + k];
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!out[i]) missing.push_back(sig.params[i]);
    if (!missing.empty()) {
        set_type_error(missing_required(sig.qualified_name, missing));
        return false;
    }
    return true;
}

}  // namespace tolvane::binding
