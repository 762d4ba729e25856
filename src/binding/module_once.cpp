#include "binding/module_once.hpp"

#include "binding/errors.hpp"

namespace tolvane::binding {

PyObject* import_once(process_module& module, const char* refusal, PyObject* (*create)()) {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        ensure_error_set();
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!module.owner.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError, refusal);
        return nullptr;
    }
    if (module.object) return Py_NewRef(module.object);
    py_ref created = py_ref::steal(create());
    if (!created) return nullptr;
    module.object = Py_NewRef(created.get());
    return created.release();
}

}  // namespace tolvane::binding
