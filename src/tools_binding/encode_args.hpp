// The arguments the encode methods share: one text or many, the mode, the
// thread count and what the call does with special tokens. Each binder
// returns them, or nothing with a Python error set naming the argument.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "binding/args.hpp"
#include "tools_binding/special_args.hpp"
#include "tools_binding/tokenizer_type.hpp"

namespace tolvane::tools {

// The special-token parameters come after the ones that were there before
// them and are keyword-only, as the peers have them: a positional argument
// past the old ones is refused as it was refused before.
template <std::size_t N>
auto bind_keyword_tail(const char* name, const std::array<const char*, N>& params, std::size_t positional,
                       PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
    -> std::optional<std::array<PyObject*, N>> {
    if (static_cast<std::size_t>(nargs) > positional) {
        PyErr_SetString(PyExc_TypeError,
                        binding::too_many_positional(name, positional, static_cast<std::size_t>(nargs)).c_str());
        return std::nullopt;
    }
    return binding::bind(name, params, args, nargs, kwnames, 1);
}

// What a call does with special tokens. Left out on a model without them,
// nothing is built: the call costs what it cost before they existed.
struct specials_argument {
    std::optional<special_choice> choice;
    const special_choice* get() const { return choice ? &*choice : nullptr; }
};

// (text, mode='compatible', *, allowed_special=(), disallowed_special='all')
struct one_text {
    std::string_view text;
    encode_mode mode;
    specials_argument specials;
};
std::optional<one_text> bind_one_text(PyObject* self, const char* name, const char* text_where,
                                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// (texts, mode='compatible', threads=None, *, allowed_special=(), disallowed_special='all')
struct many_texts {
    text_batch texts;
    encode_mode mode;
    unsigned threads;
    specials_argument specials;
};
std::optional<many_texts> bind_many_texts(PyObject* self, const char* name, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tolvane::tools
