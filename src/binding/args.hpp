// Binding the arguments of a METH_FASTCALL | METH_KEYWORDS call to named,
// positional-or-keyword parameters, straight from the argument vector and the
// tuple of keyword names (no tuple or dict is built). The first `required`
// parameters must be given; a later one left out binds to nullptr.
#pragma once

#include "binding/py_ref.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>

namespace tolvane::binding {

struct signature {
    const char* qualified_name;  // "Data.train()", used in every message
    std::span<const char* const> params;
    std::size_t required;  // at most params.size()
};

// Fills out[i] with a borrowed reference for params[i]; false with TypeError
// set on any mismatch. out.size() must equal sig.params.size().
bool bind_arguments(const signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> out);

template <std::size_t N>
std::optional<std::array<PyObject*, N>> bind(const char* qualified_name,
                                             const std::array<const char*, N>& params,
                                             PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames, std::size_t required = N) {
    std::array<PyObject*, N> out{};
    if (!bind_arguments({qualified_name, params, required}, args, nargs, kwnames, out))
        return std::nullopt;
    return out;
}

// The message texts, kept apart from the C API.
std::string too_many_positional(const char* name, std::size_t params, std::size_t given);
// `missing` names the empty parameters in parameter order; never empty.
std::string missing_required(const char* name, std::span<const char* const> missing);

}  // namespace tolvane::binding
