// The Python class _VocabTrainer: the native core of tolvane_tools.train.
// Documents go in with add/add_many; learn returns the model's bytes and
// what the run did.
#pragma once

#include "tools_binding/support.hpp"

namespace tolvane::tools {

// Created once per process; false with an error set on failure.
bool init_trainer_type();
PyObject* trainer_type();

}  // namespace tolvane::tools
