#include "binding/convert.hpp"

#include "encoding/thread_buffer.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace tolvane::binding {

namespace {

// A sequence's reported length is only a hint for the reservation: a __len__
// may claim far more items than iteration yields, and range(10**18) reports
// a length no vector can hold. Beyond this many ids the vector grows as items
// actually arrive, by doubling.
constexpr Py_ssize_t MAX_RESERVED_IDS = Py_ssize_t{1} << 20;

// Most ids of a trained model are above the small ints the interpreter
// keeps, and allocating an int per id was a third of the binding's cost of
// encoding a sentence.
std::array<PyObject*, MAX_TOKENS> id_objects{};

inline PyObject* kept_int(token_id id) {
    PyObject*& slot = id_objects[id];
    if (!slot) slot = PyLong_FromLong(id);
    return Py_XNewRef(slot);
}

// numpy names its bool scalar "numpy.bool_" up to 1.x and "numpy.bool" from 2.0.
bool is_numpy_bool(PyTypeObject* type) {
    return std::strcmp(type->tp_name, "numpy.bool_") == 0 ||
           std::strcmp(type->tp_name, "numpy.bool") == 0;
}

std::optional<token_id> to_token_id(PyObject* item) {
    long value = PyLong_AsLong(item);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    if (value < 0 || value > std::numeric_limits<token_id>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return std::nullopt;
    }
    return static_cast<token_id>(value);
}

}  // namespace

std::optional<std::string_view> to_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        set_type_error("'", obj, "' object cannot be converted to 'PyString'");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);  // lone surrogates: UnicodeEncodeError
    if (!text) return std::nullopt;
    return std::string_view{text, static_cast<std::size_t>(size)};
}

std::optional<bool> to_flag(PyObject* obj) {
    if (Py_IS_TYPE(obj, &PyBool_Type)) return obj == Py_True;
    PyTypeObject* type = Py_TYPE(obj);
    if (is_numpy_bool(type)) {
        inquiry as_bool = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
        if (!as_bool) {
            set_type_error("object of type '", obj, "' does not define a '__bool__' conversion");
            return std::nullopt;
        }
        switch (as_bool(obj)) {
            case 0: return false;
            case 1: return true;
            default: ensure_error_set(); return std::nullopt;
        }
    }
    set_type_error("'", obj, "' object cannot be converted to 'PyBool'");
    return std::nullopt;
}

std::optional<token_sequence> to_token_ids(PyObject* obj) {
    // A str is a sequence of characters, never of ids, even when they are digits.
    if (PyUnicode_Check(obj)) {
        set_type_error("Can't extract `str` to `Vec`");
        return std::nullopt;
    }
    if (!PySequence_Check(obj)) {
        set_type_error("'", obj, "' object cannot be converted to 'Sequence'");
        return std::nullopt;
    }

    token_sequence ids;
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0)
        PyErr_Clear();  // no length is no reason to refuse: iteration decides
    else
        ids.reserve(static_cast<std::size_t>(std::min(hint, MAX_RESERVED_IDS)));

    py_ref iterator = py_ref::steal(PyObject_GetIter(obj));
    if (!iterator) return std::nullopt;
    while (py_ref item = py_ref::steal(PyIter_Next(iterator.get()))) {
        auto id = to_token_id(item.get());
        if (!id) return std::nullopt;
        ids.push_back(*id);
    }
    if (PyErr_Occurred()) return std::nullopt;
    return ids;
}

PyObject* id_object(token_id id) { return kept_int(id); }

py_ref to_list(std::span<const token_id> ids) {
    py_ref list = py_ref::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        PyObject* item = kept_int(ids[i]);
        if (!item) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list;
}

namespace {

struct spare_ids {
    token_sequence ids;
};

// A vector larger than this (in ids) goes back to the system after its call.
constexpr std::size_t KEPT_IDS = std::size_t{1} << 16;

}  // namespace

reused_ids::reused_ids() { ids.swap(thread_buffer<spare_ids>().ids); }

reused_ids::~reused_ids() {
    if (ids.capacity() <= KEPT_IDS) thread_buffer<spare_ids>().ids.swap(ids);
}

py_ref to_str(std::string_view utf8) {
    return py_ref::steal(
        PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

}  // namespace tolvane::binding
