// The module tolvane_tools._native: the Tokenizer class, and one private
// helper that lets the tests reach the literal ranked encoding.
#include <array>

#include "binding/args.hpp"
#include "binding/module_once.hpp"
#include "encoding/ranked.hpp"
#include "tools_binding/tokenizer_type.hpp"
#include "tools_binding/trainer_type.hpp"

namespace tolvane::tools {

namespace {

constexpr std::array<const char*, 2> LITERAL_PARAMS{"tokenizer", "text"};

// The ranked definition taken literally, rescanning after every merge: the
// reference the fast encoder is compared with. Slow; for tests only.
PyObject* encode_ranked_literal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto bound = binding::bind("_encode_ranked_literal()", LITERAL_PARAMS, args, nargs, kwnames);
        if (!bound) return nullptr;
        PyObject* tok = (*bound)[0];
        if (!PyObject_TypeCheck(tok, reinterpret_cast<PyTypeObject*>(tokenizer_type()))) {
            PyErr_Format(PyExc_TypeError, "tokenizer must be a Tokenizer, not %.200s", Py_TYPE(tok)->tp_name);
            return nullptr;
        }
        auto text = to_text((*bound)[1], "text");
        if (!text) return nullptr;
        return id_list(tolvane::encode_ranked_literal(tokenizer_of(tok).model(), *text)).release();
    });
}

PyMethodDef module_functions[] = {
    {"_encode_ranked_literal",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_ranked_literal)),
     METH_FASTCALL | METH_KEYWORDS, "_encode_ranked_literal(tokenizer, text)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tolvane_tools._native",
    "The native part of tolvane_tools: the Tokenizer class and the trainer's core.",
    0,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

binding::process_module module_state;  // the types and the int cache are process-wide

PyObject* create_module() {
    if (!init_types() || !init_mode_names() || !init_trainer_type()) return nullptr;
    py_ref module = py_ref::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    if (!module) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "Tokenizer", tokenizer_type()) < 0) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "_VocabTrainer", trainer_type()) < 0) return nullptr;
    return module.release();
}

PyObject* init_module() {
    return binding::import_once(module_state,
                                "tolvane_tools._native does not support subinterpreters: it can "
                                "only be imported in the interpreter that imported it first",
                                create_module);
}

}  // namespace

}  // namespace tolvane::tools

PyMODINIT_FUNC PyInit__native() {
    return tolvane::tools::guarded([] { return tolvane::tools::init_module(); });
}
