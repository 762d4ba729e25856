// The Python class Tokenizer: an object owning one immutable core tokenizer,
// its type, and the read-only buffer type that encode_flat returns.
#pragma once

#include <memory>
#include <variant>
#include <vector>

#include "tools_binding/support.hpp"

namespace tolvane::tools {

struct tokenizer_object {
    PyObject_HEAD
    // Set once at creation and never changed, so threads that let go of the
    // interpreter lock may read it while others call the same object.
    tokenizer* tok;
};

// Both types, created once per process; false with an error set on failure.
bool init_types();
PyObject* tokenizer_type();

// A new Tokenizer taking `tok` over (built first, so that the long part can
// run without the interpreter lock and nothing is ever half-made).
py_ref new_tokenizer(std::unique_ptr<tokenizer> tok);

inline const tokenizer& tokenizer_of(PyObject* self) {
    return *reinterpret_cast<tokenizer_object*>(self)->tok;
}

// A read-only memoryview over `values` (uint16 or uint64), which the view's
// owner keeps; no copy is made here or by numpy.frombuffer.
py_ref array_view(std::vector<token_id>&& values);
py_ref array_view(std::vector<std::uint64_t>&& values);

// The method tables, defined beside the methods.
extern PyMethodDef model_methods[];   // construction, accessors, pickling
extern PyMethodDef encode_methods[];  // encode, count, batch and flat forms, decode
extern PyMethodDef offsets_methods[];  // offsets, numpy, export
extern PyGetSetDef tokenizer_getset[];

}  // namespace tolvane::tools
