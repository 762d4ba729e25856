// Tokenizer: ids with where each token lies in its text, ids straight into
// numpy, and the export to other libraries (written in Python, called here
// so that it is a method like the others).
#include <array>
#include <string>

#include "binding/convert.hpp"
#include "encoding/batch.hpp"
#include "encoding/offsets.hpp"
#include "tools_binding/encode_args.hpp"

namespace tolvane::tools {

namespace {

constexpr std::array<const char*, 1> PATH_PARAMS{"path"};

// A list of (start, end) tuples from two entries per token.
py_ref offset_list(std::span<const std::uint64_t> spans) {
    py_ref list = py_ref::steal(PyList_New(static_cast<Py_ssize_t>(spans.size() / 2)));
    if (!list) return list;
    for (std::size_t i = 0; i + 1 < spans.size(); i += 2) {
        py_ref pair = py_ref::steal(Py_BuildValue("(KK)", static_cast<unsigned long long>(spans[i]),
                                                  static_cast<unsigned long long>(spans[i + 1])));
        if (!pair) return py_ref{};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i / 2), pair.release());
    }
    return list;
}

PyObject* encode_with_offsets(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto call = bind_one_text(self, "Tokenizer.encode_with_offsets()",
                                  "Tokenizer.encode_with_offsets() argument 'text'", args, nargs, kwnames);
        if (!call) return nullptr;
        const tokenizer& tok = tokenizer_of(self);
        token_sequence ids;
        std::vector<std::uint64_t> spans;
        maybe_without_lock(call->text.size() >= RELEASE_LOCK_BYTES, [&] {
            tok.encode_append(call->text, call->mode, ids, call->specials.get());
            append_token_offsets(tok, call->text, ids, spans);
        });
        py_ref id_objects = id_list(ids);
        if (!id_objects) return nullptr;
        py_ref offsets = offset_list(spans);
        if (!offsets) return nullptr;
        return PyTuple_Pack(2, id_objects.get(), offsets.get());
    });
}

PyObject* encode_flat_with_offsets(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto call = bind_many_texts(self, "Tokenizer.encode_flat_with_offsets()", args, nargs, kwnames);
        if (!call) return nullptr;
        const tokenizer& tok = tokenizer_of(self);
        flat_encoding flat = maybe_without_lock(call->texts.bytes >= RELEASE_LOCK_BYTES, [&] {
            return encode_flat_with_spans(tok, call->texts.views, call->mode, call->threads,
                                          call->specials.get());
        });
        py_ref ids = array_view(std::move(flat.ids));
        if (!ids) return nullptr;
        py_ref offsets = array_view(std::move(flat.offsets));
        if (!offsets) return nullptr;
        py_ref token_offsets = array_view(std::move(flat.spans));
        if (!token_offsets) return nullptr;
        return PyTuple_Pack(3, ids.get(), offsets.get(), token_offsets.get());
    });
}

PyObject* encode_to_numpy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto call = bind_one_text(self, "Tokenizer.encode_to_numpy()",
                                  "Tokenizer.encode_to_numpy() argument 'text'", args, nargs, kwnames);
        if (!call) return nullptr;
        py_ref numpy = py_ref::steal(PyImport_ImportModule("numpy"));
        if (!numpy) return nullptr;
        const tokenizer& tok = tokenizer_of(self);
        token_sequence ids;
        maybe_without_lock(call->text.size() >= RELEASE_LOCK_BYTES,
                           [&] { tok.encode_append(call->text, call->mode, ids, call->specials.get()); });
        // The array reads the ids where the encoder left them: numpy keeps
        // the buffer's owner alive, and nothing is copied.
        py_ref view = array_view(std::move(ids));
        if (!view) return nullptr;
        return PyObject_CallMethod(numpy.get(), "frombuffer", "Os", view.get(), "uint16");
    });
}

PyObject* to_huggingface(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto bound = binding::bind("Tokenizer.to_huggingface()", PATH_PARAMS, args, nargs, kwnames);
        if (!bound) return nullptr;
        py_ref writer = py_ref::steal(PyImport_ImportModule("tolvane_tools.huggingface"));
        if (!writer) return nullptr;
        return PyObject_CallMethod(writer.get(), "write_tokenizer_json", "OO", self, (*bound)[0]);
    });
}

template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef offsets_methods[] = {
    {"encode_with_offsets", as_cfunction(encode_with_offsets), FAST,
     "encode_with_offsets($self, /, text, mode='compatible', *, allowed_special=(),\n"
     "                    disallowed_special='all')\n--\n\n"
     "(ids, offsets): encode(text, mode) and, for each token, (start, end) such\n"
     "that text[start:end] is what it stands for. Tokens never split a grapheme,\n"
     "so every offset is a grapheme border; an unknown grapheme's token spans it\n"
     "(each of its byte tokens, with byte fallback). Special tokens as in encode."},
    {"encode_flat_with_offsets", as_cfunction(encode_flat_with_offsets), FAST,
     "encode_flat_with_offsets($self, /, texts, mode='compatible', threads=None, *,\n"
     "                         allowed_special=(), disallowed_special='all')\n--\n\n"
     "encode_flat(texts, mode, threads) and the offsets of every token: (ids,\n"
     "offsets, token_offsets), the last a read-only memoryview of uint64 holding\n"
     "start and end of each id in turn, as indices into its own text; the spans\n"
     "of texts[i] are token_offsets[2 * offsets[i]:2 * offsets[i + 1]]."},
    {"encode_to_numpy", as_cfunction(encode_to_numpy), FAST,
     "encode_to_numpy($self, /, text, mode='compatible', *, allowed_special=(),\n"
     "                disallowed_special='all')\n--\n\n"
     "encode(text, mode) as a read-only numpy array of uint16 over the\n"
     "encoder's own buffer (no copy). Needs numpy."},
    {"to_huggingface", as_cfunction(to_huggingface), FAST,
     "to_huggingface($self, /, path)\n--\n\n"
     "Writes a Hugging Face tokenizer.json to `path` (atomically) whose BPE gives\n"
     "the ids of mode='ranked': tokenizers.Tokenizer.from_file and\n"
     "transformers.PreTrainedTokenizerFast(tokenizer_file=path) load it alone.\n"
     "See tolvane_tools.huggingface for what may differ."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tolvane::tools
