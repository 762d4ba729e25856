// The module tolvane: the class Data with its four methods, and
// load_from_file. Each entry point binds its arguments, takes the borrow,
// converts the arguments, calls the core and converts the result; failures
// of the core become PanicException at the panic boundary.
#include <array>
#include <string>
#include <utility>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/data_type.hpp"
#include "binding/module_once.hpp"
#include "binding/panic.hpp"
#include "encoding/decode.hpp"
#include "encoding/encode.hpp"
#include "persist/load.hpp"
#include "training/train.hpp"

namespace tolvane::binding {

namespace {

constexpr std::array<const char*, 3> TRAIN_PARAMS{"train_file", "print_logs", "logs_file"};
constexpr std::array<const char*, 1> ENCODE_PARAMS{"st"};
constexpr std::array<const char*, 1> DECODE_PARAMS{"tokens"};
constexpr std::array<const char*, 1> LOAD_PARAMS{"filename"};

using mode = borrow_guard::mode;

PyObject* data_train(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<panic_boundary>([&]() -> PyObject* {
        auto bound = bind("Data.train()", TRAIN_PARAMS, args, nargs, kwnames);
        if (!bound) return nullptr;
        data_object* data = as_data(self);
        if (!data) return nullptr;
        {
            borrow_guard borrow{data, mode::exclusive};
            if (!borrow) return nullptr;
            data->index.reset();
            auto train_file = convert_argument("train_file", (*bound)[0], to_text);
            if (!train_file) return nullptr;
            auto print_logs = convert_argument("print_logs", (*bound)[1], to_flag);
            if (!print_logs) return nullptr;
            auto logs_file = convert_argument("logs_file", (*bound)[2], to_text);
            if (!logs_file) return nullptr;

            train_options options{std::string{*train_file}, *print_logs, std::string{*logs_file}};
            run_hooks hooks;
            // A Ctrl-C during a long run: the signal handler's exception stays
            // pending and reaches the caller once the run has unwound.
            hooks.should_stop = [] { return PyErr_CheckSignals() != 0; };
            train(data->model, options, hooks);
        }
        Py_RETURN_NONE;
    });
}

PyObject* data_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<panic_boundary>([&]() -> PyObject* {
        auto bound = bind("Data.encode()", ENCODE_PARAMS, args, nargs, kwnames);
        if (!bound) return nullptr;
        data_object* data = as_data(self);
        if (!data) return nullptr;
        reused_ids ids;
        {
            borrow_guard borrow{data, mode::shared};
            if (!borrow) return nullptr;
            auto st = convert_argument("st", (*bound)[0], to_text);
            if (!st) return nullptr;
            index_of(data).encode_into(data->model, *st, ids.get());
        }
        return to_list(ids.get()).release();
    });
}

PyObject* data_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<panic_boundary>([&]() -> PyObject* {
        auto bound = bind("Data.decode()", DECODE_PARAMS, args, nargs, kwnames);
        if (!bound) return nullptr;
        data_object* data = as_data(self);
        if (!data) return nullptr;
        std::string text;
        {
            borrow_guard borrow{data, mode::shared};
            if (!borrow) return nullptr;
            // May run the caller's Python code, which may call back into this
            // same Data; the shared borrow lets reads through and keeps train out.
            auto tokens = convert_argument("tokens", (*bound)[0], to_token_ids);
            if (!tokens) return nullptr;
            text = decode_tokens(data->model, *tokens);
        }
        return to_str(text).release();
    });
}

PyObject* data_vocab(PyObject* self, PyObject*) {
    return guarded<panic_boundary>([&]() -> PyObject* {
        data_object* data = as_data(self);
        if (!data) return nullptr;
        token_sequence ids;
        {
            borrow_guard borrow{data, mode::shared};
            if (!borrow) return nullptr;
            ids = vocab_ids(data->model);
        }
        return to_list(ids).release();
    });
}

PyObject* load_from_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<panic_boundary>([&]() -> PyObject* {
        auto bound = bind("load_from_file()", LOAD_PARAMS, args, nargs, kwnames);
        if (!bound) return nullptr;
        auto filename = convert_argument("filename", (*bound)[0], to_text);
        if (!filename) return nullptr;
        return new_data_object(load_model_file(*filename)).release();
    });
}

template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef load_from_file_def = {
    "load_from_file", as_cfunction(load_from_file), METH_FASTCALL | METH_KEYWORDS,
    "load_from_file(filename)\n--\n\n"};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tolvane",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

process_module module_state;  // the module object and the Data type are process-wide

// Adds `value` as attribute `name` and lists the name in __all__, which the
// first export creates.
bool add_export(PyObject* module, const char* name, PyObject* value) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    py_ref key = py_ref::steal(PyUnicode_FromString("__all__"));
    if (!key) return false;
    py_ref all = py_ref::borrow(PyDict_GetItemWithError(dict, key.get()));
    if (!all) {
        if (PyErr_Occurred()) return false;
        all = py_ref::steal(PyList_New(0));
        if (!all || PyDict_SetItem(dict, key.get(), all.get()) < 0) return false;
    }
    py_ref name_object = py_ref::steal(PyUnicode_FromString(name));
    if (!name_object || PyList_Append(all.get(), name_object.get()) < 0) return false;
    return PyModule_AddObjectRef(module, name, value) == 0;
}

PyObject* create_module() {
    py_ref module = py_ref::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    if (!module) return nullptr;

    PyObject* type = data_type();
    if (!type || !add_export(module.get(), "Data", type)) return nullptr;

    py_ref module_name = py_ref::steal(PyModule_GetNameObject(module.get()));
    if (!module_name) return nullptr;
    py_ref function = py_ref::steal(
        PyCMethod_New(&load_from_file_def, module.get(), module_name.get(), nullptr));
    if (!function) return nullptr;
    py_ref function_name = py_ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!function_name) return nullptr;
    const char* name = PyUnicode_AsUTF8(function_name.get());
    if (!name || !add_export(module.get(), name, function.get())) return nullptr;

    return module.release();
}

PyObject* init_module() {
    return import_once(module_state,
                       "tolvane does not support subinterpreters: it can only be imported "
                       "in the interpreter that imported it first",
                       create_module);
}

}  // namespace

PyMethodDef data_methods[] = {
    {"train", as_cfunction(data_train), METH_FASTCALL | METH_KEYWORDS,
     "train($self, train_file, print_logs, logs_file)\n--\n\n"},
    {"encode", as_cfunction(data_encode), METH_FASTCALL | METH_KEYWORDS,
     "encode($self, st)\n--\n\n"},
    {"decode", as_cfunction(data_decode), METH_FASTCALL | METH_KEYWORDS,
     "decode($self, tokens)\n--\n\n"},
    {"vocab", as_cfunction(data_vocab), METH_NOARGS, "vocab($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tolvane::binding

PyMODINIT_FUNC PyInit_tolvane() {
    using namespace tolvane::binding;
    return guarded<panic_boundary>([] { return init_module(); });
}
