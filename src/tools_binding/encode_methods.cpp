// Tokenizer: encoding and decoding, one text or many. A text's UTF-8 is read
// straight from the str; long work runs without the interpreter lock, which
// is safe because a Tokenizer never changes.
#include <array>
#include <string>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "encoding/batch.hpp"
#include "tools_binding/encode_args.hpp"

namespace tolvane::tools {

namespace {

constexpr std::array<const char*, 2> IDS_PARAMS{"ids", "skip_special_tokens"};
constexpr std::array<const char*, 2> IDS_BATCH_PARAMS{"list_of_ids", "skip_special_tokens"};

PyObject* encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto call = bind_one_text(self, "Tokenizer.encode()", "Tokenizer.encode() argument 'text'",
                                  args, nargs, kwnames);
        if (!call) return nullptr;
        const tokenizer& tok = tokenizer_of(self);
        binding::reused_ids ids;
        ids.get().clear();
        maybe_without_lock(call->text.size() >= RELEASE_LOCK_BYTES, [&] {
            tok.encode_append(call->text, call->mode, ids.get(), call->specials.get());
        });
        return id_list(ids.get()).release();
    });
}

PyObject* count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto call = bind_one_text(self, "Tokenizer.count()", "Tokenizer.count() argument 'text'",
                                  args, nargs, kwnames);
        if (!call) return nullptr;
        const tokenizer& tok = tokenizer_of(self);
        std::size_t n = maybe_without_lock(call->text.size() >= RELEASE_LOCK_BYTES, [&] {
            return tok.count(call->text, call->mode, call->specials.get());
        });
        return PyLong_FromSize_t(n);
    });
}


PyObject* encode_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto call = bind_many_texts(self, "Tokenizer.encode_batch()", args, nargs, kwnames);
        if (!call) return nullptr;
        const tokenizer& tok = tokenizer_of(self);
        auto encoded = maybe_without_lock(call->texts.bytes >= RELEASE_LOCK_BYTES, [&] {
            return tolvane::encode_batch(tok, call->texts.views, call->mode, call->threads,
                                         call->specials.get());
        });
        py_ref lists = py_ref::steal(PyList_New(static_cast<Py_ssize_t>(encoded.size())));
        if (!lists) return nullptr;
        for (std::size_t i = 0; i < encoded.size(); ++i) {
            py_ref ids = id_list(encoded[i]);
            if (!ids) return nullptr;
            PyList_SET_ITEM(lists.get(), static_cast<Py_ssize_t>(i), ids.release());
            token_sequence().swap(encoded[i]);  // the ints hold it now
        }
        return lists.release();
    });
}

PyObject* encode_flat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto call = bind_many_texts(self, "Tokenizer.encode_flat()", args, nargs, kwnames);
        if (!call) return nullptr;
        const tokenizer& tok = tokenizer_of(self);
        flat_encoding flat = maybe_without_lock(call->texts.bytes >= RELEASE_LOCK_BYTES, [&] {
            return tolvane::encode_flat(tok, call->texts.views, call->mode, call->threads,
                                        call->specials.get());
        });
        py_ref ids = array_view(std::move(flat.ids));
        if (!ids) return nullptr;
        py_ref offsets = array_view(std::move(flat.offsets));
        if (!offsets) return nullptr;
        return PyTuple_Pack(2, ids.get(), offsets.get());
    });
}

PyObject* decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto bound = bind_keyword_tail("Tokenizer.decode()", IDS_PARAMS, 1, args, nargs, kwnames);
        if (!bound) return nullptr;
        auto ids = to_ids((*bound)[0], "Tokenizer.decode() argument 'ids'");
        if (!ids) return nullptr;
        auto skip = to_flag((*bound)[1]);
        if (!skip) return nullptr;
        return binding::to_str(tokenizer_of(self).decode(*ids, *skip)).release();
    });
}

// A KeyError set by the conversion of one item of a batch, its message
// prefixed with the item's place ("list_of_ids[1]: ..."), as the failures of
// decoding an item are.
void prefix_key_error(const std::string& where) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    py_ref owned_type = py_ref::steal(type), owned_value = py_ref::steal(value),
           owned_traceback = py_ref::steal(traceback);
    py_ref args = owned_value ? py_ref::steal(PyObject_GetAttrString(owned_value.get(), "args")) : py_ref{};
    PyObject* message = args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1
                            ? PyTuple_GET_ITEM(args.get(), 0)
                            : nullptr;
    if (message && PyUnicode_Check(message)) {
        py_ref named = py_ref::steal(PyUnicode_FromFormat("%s: %U", where.c_str(), message));
        if (named) {
            PyErr_SetObject(PyExc_KeyError, named.get());
            return;
        }
    }
    PyErr_Clear();
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
}

PyObject* decode_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto bound = bind_keyword_tail("Tokenizer.decode_batch()", IDS_BATCH_PARAMS, 1, args, nargs,
                                       kwnames);
        if (!bound) return nullptr;
        PyObject* batch = (*bound)[0];
        auto skip = to_flag((*bound)[1]);
        if (!skip) return nullptr;
        if (PyUnicode_Check(batch)) {
            PyErr_SetString(PyExc_TypeError,
                            "Tokenizer.decode_batch() argument 'list_of_ids' must be an iterable "
                            "of id sequences, not a str");
            return nullptr;
        }
        py_ref iterator = py_ref::steal(PyObject_GetIter(batch));
        if (!iterator) return nullptr;
        py_ref texts = py_ref::steal(PyList_New(0));
        if (!texts) return nullptr;
        const tokenizer& tok = tokenizer_of(self);
        std::size_t index = 0;
        for (; py_ref item = py_ref::steal(PyIter_Next(iterator.get())); ++index) {
            std::string where = "list_of_ids[" + std::to_string(index) + "]";
            auto ids = to_ids(item.get(), where.c_str());
            if (!ids) {
                // An id out of range is named as an id the model lacks is.
                prefix_key_error(where);
                return nullptr;
            }
            std::string text;
            try {
                text = tok.decode(*ids, *skip);
            } catch (const failure& f) {
                throw failure{where + ": " + f.message, f.where, f.kind, f.os_errno};
            }
            py_ref str = binding::to_str(text);
            if (!str || PyList_Append(texts.get(), str.get()) < 0) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
        return texts.release();
    });
}

template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef encode_methods[] = {
    {"encode", as_cfunction(encode), FAST,
     "encode($self, /, text, mode='compatible', *, allowed_special=(), disallowed_special='all')\n--\n\n"
     "The token ids of `text`.\n"
     "\n"
     "mode='compatible' gives exactly the ids Data.encode gives for the same\n"
     "model; mode='ranked' applies the learned merges in the order they were\n"
     "learned, the best compression the vocabulary allows. Unknown graphemes\n"
     "become oov_id (without one, KeyError names the grapheme), or with\n"
     "byte_fallback the byte tokens of their UTF-8.\n"
     "\n"
     "Special tokens: those in allowed_special ('all' or a set) become their\n"
     "ids where the text spells them, longest first, left to right; text that\n"
     "spells one of disallowed_special ('all': every one not allowed) raises\n"
     "ValueError naming it; the rest are read as ordinary text\n"
     "(disallowed_special=()). Long texts are encoded without holding the\n"
     "interpreter lock."},
    {"count", as_cfunction(count), FAST,
     "count($self, /, text, mode='compatible', *, allowed_special=(), disallowed_special='all')\n--\n\n"
     "len(encode(text, mode, ...)), without building the list."},
    {"encode_batch", as_cfunction(encode_batch), FAST,
     "encode_batch($self, /, texts, mode='compatible', threads=None, *, allowed_special=(),\n"
     "             disallowed_special='all')\n--\n\n"
     "[encode(t, mode) for t in texts], the texts spread over `threads` threads\n"
     "(None: one per core) while the interpreter lock is released. A failure\n"
     "names the first failing text as texts[i]. Special tokens as in encode."},
    {"encode_flat", as_cfunction(encode_flat), FAST,
     "encode_flat($self, /, texts, mode='compatible', threads=None, *, allowed_special=(),\n"
     "            disallowed_special='all')\n--\n\n"
     "The ids of all texts end to end, as (ids, offsets): read-only memoryviews\n"
     "of uint16 ids and of uint64 offsets, one more than there are texts; the\n"
     "ids of texts[i] are ids[offsets[i]:offsets[i + 1]]. numpy.frombuffer takes\n"
     "both without copying. Threads and special tokens as in encode_batch."},
    {"decode", as_cfunction(decode), FAST,
     "decode($self, /, ids, *, skip_special_tokens=False)\n--\n\n"
     "The text of a sequence of ids (any iterable of ints, or a buffer of\n"
     "integers such as an encode_flat slice or a numpy array), read as UTF-8\n"
     "with U+FFFD for bytes that are not, as Data.decode does. KeyError names\n"
     "the first id the model does not hold. skip_special_tokens leaves the\n"
     "special tokens' texts out."},
    {"decode_batch", as_cfunction(decode_batch), FAST,
     "decode_batch($self, /, list_of_ids, *, skip_special_tokens=False)\n--\n\n"
     "[decode(ids, skip_special_tokens) for ids in list_of_ids]."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tolvane::tools
