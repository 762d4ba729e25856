#include "tools_binding/special_args.hpp"

#include <string>

namespace tolvane::tools {

namespace {

bool is_all(PyObject* obj) {
    return PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, "all") == 0;
}

// Calls mark(index) for each special token `obj` names; false with an error set.
template <class Mark>
bool each_named(const tokenizer& tok, PyObject* obj, const char* argument, Mark&& mark) {
    if (PyUnicode_Check(obj)) {
        // A lone str is a common slip for {"<|endoftext|>"}; its characters
        // would otherwise be taken for the names.
        PyErr_Format(PyExc_TypeError, "%s must be 'all' or a collection of special tokens, not the str %R",
                     argument, obj);
        return false;
    }
    py_ref iterator = py_ref::steal(PyObject_GetIter(obj));
    if (!iterator) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s must be 'all' or a collection of special tokens, not %.200s",
                     argument, Py_TYPE(obj)->tp_name);
        return false;
    }
    while (py_ref item = py_ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, "%s must hold str, not %.200s", argument, Py_TYPE(item.get())->tp_name);
            return false;
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item.get(), &size);
        if (!utf8) return false;
        auto index = tok.specials().index_of({utf8, static_cast<std::size_t>(size)});
        if (!index) {
            PyErr_Format(PyExc_ValueError, "%s: %R is not a special token of this model", argument, item.get());
            return false;
        }
        mark(*index);
    }
    return !PyErr_Occurred();
}

}  // namespace

std::optional<special_choice> to_special_choice(const tokenizer& tok, PyObject* allowed, PyObject* disallowed) {
    const std::size_t n = tok.specials().size();
    special_choice choice = special_choice::refuse_all(n);
    if (allowed && is_all(allowed)) {
        for (std::size_t k = 0; k < n; ++k) choice.set_match(k);
    } else if (allowed) {
        if (!each_named(tok, allowed, "allowed_special", [&](std::size_t k) { choice.set_match(k); }))
            return std::nullopt;
    }
    if (disallowed && !is_all(disallowed)) {
        std::vector<bool> named(n, false);
        if (!each_named(tok, disallowed, "disallowed_special", [&](std::size_t k) { named[k] = true; }))
            return std::nullopt;
        for (std::size_t k = 0; k < n; ++k) choice.set_refuse(k, named[k]);
    }
    return choice;
}

std::optional<bool> to_flag(PyObject* obj) {
    if (!obj) return false;
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return std::nullopt;
    return truth == 1;
}

}  // namespace tolvane::tools
