#include "binding/errors.hpp"

namespace tolvane::binding {

std::string utf8_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &size);
    if (!text) {
        PyErr_Clear();
        return {};
    }
    return {text, static_cast<std::size_t>(size)};
}

std::string type_name(PyObject* obj) {
    py_ref name = py_ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (name) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size))
            return {text, static_cast<std::size_t>(size)};
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

void set_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

void set_type_error(const char* before, PyObject* obj, const char* after) {
    std::string message = before;
    message += type_name(obj);
    message += after;
    set_type_error(message);
}

void ensure_error_set() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
}

std::string take_error_description() {
    ensure_error_set();
    raised_error err = raised_error::fetch();
    std::string description = type_name(err.get());
    py_ref text = py_ref::steal(PyObject_Str(err.get()));
    if (text) {
        std::string message = utf8_of(text.get());
        if (!message.empty()) description += ": " + message;
    }
    PyErr_Clear();
    return description;
}

raised_error raised_error::fetch() {
    raised_error e;
#if PY_VERSION_HEX >= 0x030C0000
    e.exc = py_ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return e;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    e.exc = py_ref::steal(value);
#endif
    return e;
}

void raised_error::restore() {
    if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

void raise_argument_error(const char* name, raised_error err) {
    PyObject* exc = err.get();
    if (exc && Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        py_ref text = py_ref::steal(PyObject_Str(exc));
        if (!text) return;
        py_ref message = py_ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
        if (!message) return;
        py_ref prefixed = py_ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
        if (!prefixed) return;
        if (PyObject* cause = PyException_GetCause(exc))
            PyException_SetCause(prefixed.get(), cause);  // steals the cause
        PyErr_SetObject(PyExc_TypeError, prefixed.get());
        return;
    }
    err.restore();
}

PyObject* raise_stopped() noexcept {
    ensure_error_set();
    return nullptr;
}

}  // namespace tolvane::binding
