#include "tools_binding/tokenizer_type.hpp"

#include <new>
#include <utility>

namespace tolvane::tools {

namespace {

PyObject* cached_tokenizer_type = nullptr;  // both live as long as the process
PyObject* cached_array_type = nullptr;

// A Tokenizer comes from a model (a file or its bytes), so it never starts half-made.
PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError,
                    "Tokenizer has no constructor: use Tokenizer.from_file or Tokenizer.from_bytes");
    return nullptr;
}

void dealloc_tokenizer(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<tokenizer_object*>(self)->tok;
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyObject* repr_tokenizer(PyObject* self) {
    return PyUnicode_FromFormat("<Tokenizer: %zu tokens>", tokenizer_of(self).model().lookup.size());
}

constexpr const char* TOKENIZER_DOC =
    "A vocabulary model fixed for encoding and decoding.\n"
    "\n"
    "Made with Tokenizer.from_file(path) or Tokenizer.from_bytes(data); it never\n"
    "changes afterwards, so any number of threads may use one Tokenizer at once,\n"
    "and it pickles (the pickle holds the model itself, not a path).\n"
    "\n"
    "Two ways to encode (the `mode` argument):\n"
    "  'compatible'  exactly the ids Data.encode gives for the same model and text;\n"
    "  'ranked'      the learned merges applied in the order they were learned,\n"
    "                the best compression the vocabulary allows.\n"
    "\n"
    "A model made by tolvane_tools.train may carry special tokens (special_tokens;\n"
    "encode matches them only where allowed_special says, and refuses text that\n"
    "spells one unless disallowed_special lets it through) and byte fallback\n"
    "(byte_fallback, byte_ids: an unknown grapheme becomes its UTF-8 bytes, so\n"
    "decode(encode(text)) == text).\n";

PyType_Slot tokenizer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_tokenizer)},
    {Py_tp_repr, reinterpret_cast<void*>(repr_tokenizer)},
    {Py_tp_doc, const_cast<char*>(TOKENIZER_DOC)},
    {Py_tp_methods, nullptr},  // filled in by init_types
    {Py_tp_getset, tokenizer_getset},
    {0, nullptr},
};

// No subclasses (nothing may add mutable state), no __dict__, no cycle
// tracking: a Tokenizer holds no Python objects.
PyType_Spec tokenizer_spec = {
    "tolvane_tools.Tokenizer",
    static_cast<int>(sizeof(tokenizer_object)),
    0,
    Py_TPFLAGS_DEFAULT,
    tokenizer_slots,
};

// --- the array behind encode_flat's memoryviews -----------------------------

struct array_object {
    PyObject_HEAD
    std::variant<std::vector<token_id>, std::vector<std::uint64_t>> values;
    // What a buffer view points its shape and strides at; fixed at creation.
    Py_ssize_t length;
    Py_ssize_t stride;
};

// Read-only, one-dimensional, contiguous; the values never change, so a
// writable view is refused, as for bytes.
int array_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* array = reinterpret_cast<array_object*>(self);
    if (flags & PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "the token ids are read-only");
        view->obj = nullptr;
        return -1;
    }
    const bool wide = std::holds_alternative<std::vector<std::uint64_t>>(array->values);
    view->buf = std::visit([](auto& values) -> void* { return values.data(); }, array->values);
    view->obj = Py_NewRef(self);
    view->itemsize = array->stride;
    view->len = array->length * array->stride;
    view->readonly = 1;
    view->ndim = 1;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(wide ? "Q" : "H") : nullptr;
    view->shape = (flags & PyBUF_ND) ? &array->length : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &array->stride : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void dealloc_array(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<array_object*>(self)->values.~variant();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot array_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_array)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(array_getbuffer)},
    {0, nullptr},
};

PyType_Spec array_spec = {
    "tolvane_tools._native._array",
    static_cast<int>(sizeof(array_object)),
    0,
    Py_TPFLAGS_DEFAULT,
    array_slots,
};

template <class T>
py_ref make_array_view(std::vector<T>&& values) {
    auto* type = reinterpret_cast<PyTypeObject*>(cached_array_type);
    py_ref owner = py_ref::steal(type->tp_alloc(type, 0));
    if (!owner) return owner;
    auto* array = reinterpret_cast<array_object*>(owner.get());
    array->length = static_cast<Py_ssize_t>(values.size());
    array->stride = sizeof(T);
    new (&array->values)
        std::variant<std::vector<token_id>, std::vector<std::uint64_t>>(std::move(values));
    return py_ref::steal(PyMemoryView_FromObject(owner.get()));
}

}  // namespace

bool init_types() {
    if (cached_tokenizer_type && cached_array_type) return true;
    // One table from the files that define the methods.
    static std::vector<PyMethodDef> methods;
    if (methods.empty()) {
        for (PyMethodDef* table : {model_methods, encode_methods, offsets_methods})
            for (PyMethodDef* m = table; m->ml_name; ++m) methods.push_back(*m);
        methods.push_back({nullptr, nullptr, 0, nullptr});
    }
    for (PyType_Slot* slot = tokenizer_slots; slot->slot; ++slot)
        if (slot->slot == Py_tp_methods) slot->pfunc = methods.data();
    if (!cached_tokenizer_type) cached_tokenizer_type = PyType_FromSpec(&tokenizer_spec);
    if (!cached_array_type) cached_array_type = PyType_FromSpec(&array_spec);
    return cached_tokenizer_type && cached_array_type;
}

PyObject* tokenizer_type() { return cached_tokenizer_type; }

py_ref new_tokenizer(std::unique_ptr<tokenizer> tok) {
    auto* type = reinterpret_cast<PyTypeObject*>(cached_tokenizer_type);
    py_ref object = py_ref::steal(type->tp_alloc(type, 0));
    if (!object) return object;
    reinterpret_cast<tokenizer_object*>(object.get())->tok = tok.release();
    return object;
}

py_ref array_view(std::vector<token_id>&& values) { return make_array_view(std::move(values)); }
py_ref array_view(std::vector<std::uint64_t>&& values) { return make_array_view(std::move(values)); }

}  // namespace tolvane::tools
