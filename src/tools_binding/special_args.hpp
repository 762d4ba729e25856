// The allowed_special and disallowed_special arguments of the encode
// methods, as what the call does with each of the model's special tokens.
#pragma once

#include <optional>

#include "encoding/special_tokens.hpp"
#include "tools_binding/support.hpp"

namespace tolvane::tools {

// `allowed` (nullptr: left out, nothing matched) is "all" or a collection of
// the model's special tokens; `disallowed` (nullptr: left out, "all") is
// "all" or such a collection, "all" meaning every special not allowed. A
// special allowed is never refused. Nothing with TypeError or ValueError
// set, naming the argument and the offending value.
std::optional<special_choice> to_special_choice(const tokenizer& tok, PyObject* allowed,
                                                PyObject* disallowed);

// The skip_special_tokens argument (nullptr: false); nothing with an error set.
std::optional<bool> to_flag(PyObject* obj);

}  // namespace tolvane::tools
