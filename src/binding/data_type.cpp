#include "binding/data_type.hpp"

#include <new>
#include <type_traits>
#include <utility>

#include "binding/errors.hpp"

namespace tolvane::binding {

namespace {

// new_data_object constructs the model in memory the interpreter allocated;
// a throwing move would leave a half-made object for dealloc to destroy.
static_assert(std::is_nothrow_move_constructible_v<Data>);

PyObject* cached_type = nullptr;  // lives as long as the process

// A Data only ever comes from a model file, so it cannot start half-made.
PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

void dealloc_data(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* data = reinterpret_cast<data_object*>(self);
    using index_ptr = std::unique_ptr<encode_index>;
    data->index.~index_ptr();
    data->model.~Data();
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyType_Slot data_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_data)},
    {Py_tp_methods, data_methods},
    {0, nullptr},
};

// Default flags only: no subclasses, no __dict__, no weak references, and no
// cycle tracking, since a Data holds no Python objects.
PyType_Spec data_spec = {
    "builtins.Data",
    static_cast<int>(sizeof(data_object)),
    0,
    Py_TPFLAGS_DEFAULT,
    data_slots,
};

}  // namespace

PyObject* data_type() {
    if (!cached_type) cached_type = PyType_FromSpec(&data_spec);
    return cached_type;
}

PyTypeObject* require_data_type() {
    PyObject* type = data_type();
    if (!type) {
        PyErr_PrintEx(0);
        fail("failed to create type object for Data");
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

py_ref new_data_object(Data&& model) {
    PyTypeObject* type = require_data_type();
    py_ref object = py_ref::steal(type->tp_alloc(type, 0));
    if (!object) {
        std::string message = "called `Result::unwrap()` on an `Err` value: ";
        message += take_error_description();
        fail(std::move(message));
    }
    auto* data = reinterpret_cast<data_object*>(object.get());
    new (&data->model) Data(std::move(model));
    new (&data->index) std::unique_ptr<encode_index>();
    data->borrows = 0;
    return object;
}

const encode_index& index_of(data_object* data) {
    if (!data->index) data->index = std::make_unique<encode_index>(data->model);
    return *data->index;
}

data_object* as_data(PyObject* self) {
    PyTypeObject* type = require_data_type();
    if (Py_IS_TYPE(self, type) || PyType_IsSubtype(Py_TYPE(self), type))
        return reinterpret_cast<data_object*>(self);
    set_type_error("'", self, "' object cannot be converted to 'Data'");
    return nullptr;
}

borrow_guard::borrow_guard(data_object* o, mode m) : object{nullptr}, held{m} {
    if (m == mode::exclusive) {
        if (o->borrows != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return;
        }
        o->borrows = -1;
    } else {
        if (o->borrows == -1) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return;
        }
        ++o->borrows;
    }
    object = o;
}

borrow_guard::~borrow_guard() {
    if (!object) return;
    if (held == mode::exclusive)
        object->borrows = 0;
    else
        --object->borrows;
}

}  // namespace tolvane::binding
