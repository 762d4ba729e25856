// The Python class Data: an object holding one model and its borrow counter,
// the type object created once per process, and the borrow guard.
#pragma once

#include <memory>

#include "binding/py_ref.hpp"
#include "model/data.hpp"
#include "encoding/encode.hpp"

namespace tolvane::binding {

struct data_object {
    PyObject_HEAD
    Data model;
    // 0 free, n > 0 held by n shared borrows, -1 held by train. A plain word
    // is enough: only the thread holding the interpreter lock touches it.
    Py_ssize_t borrows;
    // Made from `model` by the first encode after loading or training, and
    // dropped when training begins: only train changes the model.
    std::unique_ptr<encode_index> index;
};

// The object's encode index, made first if need be. Needs a borrow.
const encode_index& index_of(data_object* data);

// The method table of Data, defined next to the methods in lib.cpp.
extern PyMethodDef data_methods[];

// The Data type, created on first use and kept; nullptr with an error set
// when it cannot be created.
PyObject* data_type();

// The type for an operation that cannot go on without it: a type that cannot
// be created is printed and ends the operation as a failure.
PyTypeObject* require_data_type();

// A new Data instance that takes `model` over.
py_ref new_data_object(Data&& model);

// `self` as a data_object, or nullptr with TypeError set.
data_object* as_data(PyObject* self);

// Holds a borrow of one Data for the guard's lifetime and ends it on every
// path, failures included. Check it before use: a refused borrow leaves
// RuntimeError set and the guard inert.
class borrow_guard {
public:
    enum class mode { shared, exclusive };
    borrow_guard(data_object* object, mode m);
    ~borrow_guard();
    borrow_guard(const borrow_guard&) = delete;
    borrow_guard& operator=(const borrow_guard&) = delete;
    explicit operator bool() const { return object != nullptr; }

private:
    data_object* object;  // null when refused
    mode held;
};

}  // namespace tolvane::binding
