#include "tools_binding/support.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "encoding/batch.hpp"

namespace tolvane::tools {

namespace {

PyObject* set_error(PyObject* type, std::string_view message) noexcept {
    PyErr_Clear();
    py_ref text = py_ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* mode_compatible = nullptr;  // interned, kept for the life of the process
PyObject* mode_ranked = nullptr;

}  // namespace

PyObject* tools_boundary::raise_failure(const failure& f) noexcept {
    switch (f.kind) {
        case failure_kind::missing_key: return set_error(PyExc_KeyError, f.message);
        case failure_kind::invalid_value: return set_error(PyExc_ValueError, f.message);
        case failure_kind::os_error: raise_os_error(f, nullptr); return nullptr;
        case failure_kind::internal: break;
    }
    return set_error(PyExc_RuntimeError, f.message);
}

PyObject* tools_boundary::raise_out_of_memory() noexcept {
    PyErr_Clear();
    return PyErr_NoMemory();
}

PyObject* tools_boundary::raise_unexpected(const char* what) noexcept {
    return set_error(PyExc_RuntimeError, std::string{"unexpected C++ exception: "} + what);
}

void raise_os_error(const failure& f, PyObject* filename) {
    PyErr_Clear();
    errno = f.os_errno;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
}

bool init_mode_names() {
    if (!mode_compatible) mode_compatible = PyUnicode_InternFromString("compatible");
    if (!mode_ranked) mode_ranked = PyUnicode_InternFromString("ranked");
    return mode_compatible && mode_ranked;
}

std::optional<encode_mode> to_mode(PyObject* obj) {
    // Literals in the caller's code are interned, so the usual call costs a
    // pointer comparison; an equal str built at run time still matches.
    if (!obj || obj == mode_compatible) return encode_mode::compatible;
    if (obj == mode_ranked) return encode_mode::ranked;
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "mode must be 'compatible' or 'ranked', not %.200s",
                     Py_TYPE(obj)->tp_name);
        return std::nullopt;
    }
    if (PyUnicode_CompareWithASCIIString(obj, "compatible") == 0) return encode_mode::compatible;
    if (PyUnicode_CompareWithASCIIString(obj, "ranked") == 0) return encode_mode::ranked;
    PyErr_Format(PyExc_ValueError, "mode must be 'compatible' or 'ranked', not %R", obj);
    return std::nullopt;
}

std::optional<unsigned> to_threads(PyObject* obj) {
    if (!obj || obj == Py_None) return default_threads();
    if (!PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "threads must be an int or None, not %.200s",
                     Py_TYPE(obj)->tp_name);
        return std::nullopt;
    }
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (n == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow < 0 || (overflow == 0 && n < 1)) {
        PyErr_Format(PyExc_ValueError, "threads must be at least 1, not %R", obj);
        return std::nullopt;
    }
    // Far more threads than texts or cores only wait; the batch caps them anyway.
    constexpr long long MAX_THREADS = 1024;
    return static_cast<unsigned>(overflow > 0 || n > MAX_THREADS ? MAX_THREADS : n);
}

std::optional<std::string_view> to_text(PyObject* obj, const char* where) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", where, Py_TYPE(obj)->tp_name);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);  // lone surrogates: UnicodeEncodeError
    if (!text) return std::nullopt;
    return std::string_view{text, static_cast<std::size_t>(size)};
}

void raise_unknown_id(long long id) {
    PyErr_Format(PyExc_KeyError, "token id %lld is not in the model", id);
}

std::optional<token_id> to_id(PyObject* obj, const char* where) {
    py_ref index;
    if (!PyLong_Check(obj)) {
        // Anything an int stands for (numpy integers, __index__) is taken as one.
        if (!PyIndex_Check(obj) || PyUnicode_Check(obj)) {
            PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", where, Py_TYPE(obj)->tp_name);
            return std::nullopt;
        }
        index = py_ref::steal(PyNumber_Index(obj));
        if (!index) return std::nullopt;
        obj = index.get();
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow != 0) {
        PyErr_Format(PyExc_KeyError, "token id %S is not in the model", obj);
        return std::nullopt;
    }
    if (value < 0 || value >= static_cast<long long>(MAX_TOKENS)) {
        raise_unknown_id(value);
        return std::nullopt;
    }
    return static_cast<token_id>(value);
}

namespace {

// A lone surrogate makes UnicodeEncodeError; its reason gets the place of the
// text it is in (" (in texts[1])"), so that a batch names the failing text as
// its other errors do, and the type callers catch stays the same.
void name_failing_text(const char* where, std::size_t index) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    py_ref owned_type = py_ref::steal(type), owned_value = py_ref::steal(value),
           owned_traceback = py_ref::steal(traceback);
    if (owned_value) {
        py_ref reason = py_ref::steal(PyUnicodeEncodeError_GetReason(owned_value.get()));
        py_ref named = reason ? py_ref::steal(PyUnicode_FromFormat("%U (in %s[%zu])", reason.get(),
                                                                   where, index))
                              : py_ref{};
        const char* utf8 = named ? PyUnicode_AsUTF8(named.get()) : nullptr;
        if (!utf8 || PyUnicodeEncodeError_SetReason(owned_value.get(), utf8) < 0) PyErr_Clear();
    }
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
}

}  // namespace

std::optional<text_batch> to_texts(PyObject* obj, const char* where) {
    if (PyUnicode_Check(obj)) {
        // Iterating it would encode each character as a text of its own.
        PyErr_Format(PyExc_TypeError, "%s must be an iterable of str, not a str", where);
        return std::nullopt;
    }
    py_ref iterator = py_ref::steal(PyObject_GetIter(obj));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError))
            PyErr_Format(PyExc_TypeError, "%s must be an iterable of str, not %.200s", where,
                         Py_TYPE(obj)->tp_name);
        return std::nullopt;
    }
    text_batch batch;
    Py_ssize_t hint = PyObject_LengthHint(obj, 0);
    if (hint < 0) return std::nullopt;
    batch.owners.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 1 << 20)));
    batch.views.reserve(batch.owners.capacity());
    while (py_ref item = py_ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, "%s[%zu] must be str, not %.200s", where,
                         batch.views.size(), Py_TYPE(item.get())->tp_name);
            return std::nullopt;
        }
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item.get(), &size);
        if (!text) {
            name_failing_text(where, batch.views.size());
            return std::nullopt;
        }
        batch.views.emplace_back(text, static_cast<std::size_t>(size));
        batch.bytes += static_cast<std::size_t>(size);
        batch.owners.push_back(std::move(item));
    }
    if (PyErr_Occurred()) return std::nullopt;
    return batch;
}

namespace {

// The ids in a buffer of integers, or nothing (no error set) when `obj` has
// no such buffer: it is then read by iteration instead.
std::optional<token_sequence> ids_from_buffer(PyObject* obj, const char* where, bool& failed) {
    failed = false;
    if (!PyObject_CheckBuffer(obj)) return std::nullopt;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    struct release {
        Py_buffer* v;
        ~release() { PyBuffer_Release(v); }
    } released{&view};

    if (view.ndim == 0) {
        // One number (a numpy scalar array) is no sequence, though its buffer
        // holds one item.
        PyErr_Format(PyExc_TypeError, "%s must be a sequence of ints, not a 0-d %.200s", where,
                     Py_TYPE(obj)->tp_name);
        failed = true;
        return std::nullopt;
    }
    // Native or little-endian integers only (this runs little-endian); any
    // other layout is read by iteration, which knows every format.
    const char* format = view.format ? view.format : "B";
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    if (view.ndim > 1 || std::strlen(format) != 1 || !std::strchr("bBhHiIlLqQ", *format))
        return std::nullopt;
    const bool is_signed = std::strchr("bhilq", *format) != nullptr;
    const Py_ssize_t n = view.itemsize > 0 ? view.len / view.itemsize : 0;

    token_sequence ids(static_cast<std::size_t>(n));
    const auto* bytes = static_cast<const unsigned char*>(view.buf);
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::uint64_t raw = 0;
        std::memcpy(&raw, bytes + i * view.itemsize, static_cast<std::size_t>(view.itemsize));
        long long value = static_cast<long long>(raw);
        if (is_signed && view.itemsize < 8 && (raw >> (view.itemsize * 8 - 1)) & 1)
            value = static_cast<long long>(raw) - (1LL << (view.itemsize * 8));
        if (!is_signed && raw >= MAX_TOKENS) {
            // Named as the unsigned number it is: 2**64 - 1 is no "-1".
            PyErr_Format(PyExc_KeyError, "token id %llu is not in the model",
                         static_cast<unsigned long long>(raw));
            failed = true;
            return std::nullopt;
        }
        if (value < 0 || value >= static_cast<long long>(MAX_TOKENS)) {
            raise_unknown_id(value);
            failed = true;
            return std::nullopt;
        }
        ids[static_cast<std::size_t>(i)] = static_cast<token_id>(value);
    }
    return ids;
}

}  // namespace

std::optional<token_sequence> to_ids(PyObject* obj, const char* where) {
    if (PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a sequence of ints, not a str", where);
        return std::nullopt;
    }
    bool failed = false;
    if (auto ids = ids_from_buffer(obj, where, failed)) return ids;
    if (failed) return std::nullopt;

    token_sequence ids;
    auto take = [&](PyObject* item) {
        auto id = to_id(item, "token id");
        if (id) ids.push_back(*id);
        return id.has_value();
    };
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        ids.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(obj)));
        // The size is read again every step: an item's __index__ may shrink the list.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
            py_ref item = py_ref::borrow(PySequence_Fast_GET_ITEM(obj, i));
            if (!take(item.get())) return std::nullopt;
        }
        return ids;
    }
    py_ref iterator = py_ref::steal(PyObject_GetIter(obj));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError))
            PyErr_Format(PyExc_TypeError, "%s must be a sequence of ints, not %.200s", where,
                         Py_TYPE(obj)->tp_name);
        return std::nullopt;
    }
    while (py_ref item = py_ref::steal(PyIter_Next(iterator.get())))
        if (!take(item.get())) return std::nullopt;
    if (PyErr_Occurred()) return std::nullopt;
    return ids;
}

}  // namespace tolvane::tools
