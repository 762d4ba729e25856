// Tokenizer: making one, saving it, pickling it, and what it tells about its
// vocabulary.
#include <array>
#include <string>
#include <variant>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "model/grapheme.hpp"
#include "model/utf8.hpp"
#include "persist/atomic_file.hpp"
#include "persist/extras.hpp"
#include "persist/file_kind.hpp"
#include "persist/load.hpp"
#include "persist/model_file.hpp"
#include "tools_binding/tokenizer_type.hpp"

namespace tolvane::tools {

namespace {


constexpr std::array<const char*, 1> PATH_PARAMS{"path"};
constexpr std::array<const char*, 1> DATA_PARAMS{"data"};
constexpr std::array<const char*, 1> ID_PARAMS{"id"};
constexpr std::array<const char*, 1> GRAPHEME_PARAMS{"grapheme"};
constexpr std::array<const char*, 1> TEXT_PARAMS{"text"};

// A path argument (str, bytes or os.PathLike) as the str or bytes it stands
// for, which error messages name, and as the bytes handed to the system.
struct path_argument {
    py_ref given;
    py_ref encoded;
    std::string_view bytes() const {
        return {PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))};
    }
};

std::optional<path_argument> to_path(PyObject* obj) {
    path_argument path;
    path.given = py_ref::steal(PyOS_FSPath(obj));
    if (!path.given) return std::nullopt;
    PyObject* encoded = nullptr;
    // Refuses an embedded NUL, which would name a different file.
    if (!PyUnicode_FSConverter(path.given.get(), &encoded)) return std::nullopt;
    path.encoded = py_ref::steal(encoded);
    return path;
}

std::unique_ptr<tokenizer> build(model_with_extras&& model) {
    return std::make_unique<tokenizer>(std::move(model.data), std::move(model.extras));
}

PyObject* from_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto bound = binding::bind("Tokenizer.from_file()", PATH_PARAMS, args, nargs, kwnames);
        if (!bound) return nullptr;
        auto path = to_path((*bound)[0]);
        if (!path) return nullptr;
        std::unique_ptr<tokenizer> tok;
        std::string not_a_model;
        const char* irregular = nullptr;
        try {
            maybe_without_lock(true, [&] {
                auto parsed = read_regular_model_file_with_extras(path->bytes());
                if (auto* error = std::get_if<model_read_error>(&parsed))
                    not_a_model = error->description;
                else if (auto* refused = std::get_if<irregular_file>(&parsed))
                    irregular = refused->kind;
                else
                    tok = build(std::move(std::get<model_with_extras>(parsed)));
            });
        } catch (const failure& f) {
            if (f.kind != failure_kind::os_error) throw;
            raise_os_error(f, path->given.get());
            return nullptr;
        }
        if (irregular) {
            // The words of the command, which refuses such a model path alike.
            PyErr_Format(PyExc_OSError, "model path is %s: %S", irregular, path->given.get());
            return nullptr;
        }
        if (!tok) {
            PyErr_Format(PyExc_ValueError, "%R is not a model file: %s", path->given.get(),
                         not_a_model.c_str());
            return nullptr;
        }
        return new_tokenizer(std::move(tok)).release();
    });
}

PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto bound = binding::bind("Tokenizer.from_bytes()", DATA_PARAMS, args, nargs, kwnames);
        if (!bound) return nullptr;
        PyObject* data = (*bound)[0];
        if (PyUnicode_Check(data) || !PyObject_CheckBuffer(data)) {
            PyErr_Format(PyExc_TypeError, "Tokenizer.from_bytes() argument 'data' must be "
                         "a bytes-like object, not %.200s", Py_TYPE(data)->tp_name);
            return nullptr;
        }
        Py_buffer view;
        if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
        // The lock stays held: the bytes of a bytearray could change under a
        // parse that let go of it.
        auto parsed = [&] {
            struct release {
                Py_buffer* v;
                ~release() { PyBuffer_Release(v); }
            } released{&view};
            return deserialize_model_with_extras(
                {static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)});
        }();
        if (auto* error = std::get_if<model_read_error>(&parsed)) {
            PyErr_Format(PyExc_ValueError, "not a model file: %s", error->description.c_str());
            return nullptr;
        }
        return new_tokenizer(build(std::move(std::get<model_with_extras>(parsed)))).release();
    });
}

PyObject* to_bytes(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const tokenizer& tok = tokenizer_of(self);
        std::string bytes = serialize_model_with_extras(tok.model(), tok.extras());
        return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    });
}

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto bound = binding::bind("Tokenizer.save()", PATH_PARAMS, args, nargs, kwnames);
        if (!bound) return nullptr;
        auto path = to_path((*bound)[0]);
        if (!path) return nullptr;
        const tokenizer& tok = tokenizer_of(self);
        const char* irregular = nullptr;
        try {
            maybe_without_lock(true, [&] {
                // Through a link to the file it names (the link stays); never
                // over a device, pipe or socket, which the rename would
                // replace with a regular file. A directory is left to the
                // rename, which refuses it as the system does.
                const save_target target = resolve_save_target(path->bytes());
                if (target.irregular && std::string_view{target.irregular} != "a directory")
                    irregular = target.irregular;
                else
                    replace_file_atomically(target.path, serialize_model_with_extras(tok.model(), tok.extras()));
            });
        } catch (const failure& f) {
            if (f.kind != failure_kind::os_error) throw;
            raise_os_error(f, path->given.get());
            return nullptr;
        }
        if (irregular) {
            PyErr_Format(PyExc_OSError, "output is %s: %S", irregular, path->given.get());
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        // The model's bytes travel, never a path: the pickle works wherever
        // it is loaded, in a spawned process as in a forked one.
        py_ref make = py_ref::steal(PyObject_GetAttrString(tokenizer_type(), "from_bytes"));
        if (!make) return nullptr;
        py_ref bytes = py_ref::steal(to_bytes(self, nullptr));
        if (!bytes) return nullptr;
        return Py_BuildValue("(O(O))", make.get(), bytes.get());
    });
}

const std::string* token_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, const char* name) {
    auto bound = binding::bind(name, ID_PARAMS, args, nargs, kwnames);
    if (!bound) return nullptr;
    auto id = to_id((*bound)[0], (std::string{name} + " argument 'id'").c_str());
    if (!id) return nullptr;
    const std::string* text = tokenizer_of(self).model().lookup.find(*id);
    if (!text) raise_unknown_id(*id);
    return text;
}

PyObject* token_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const std::string* text = token_of(self, args, nargs, kwnames, "Tokenizer.token_bytes()");
        if (!text) return nullptr;
        return PyBytes_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
    });
}

PyObject* token_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const std::string* text = token_of(self, args, nargs, kwnames, "Tokenizer.token_text()");
        if (!text) return nullptr;
        // A merged token may end inside a character; its text is lossy like decode's.
        if (!check_utf8(*text)) return binding::to_str(*text).release();
        return binding::to_str(decode_utf8_lossy(*text)).release();
    });
}

PyObject* id_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto bound = binding::bind("Tokenizer.id_of()", GRAPHEME_PARAMS, args, nargs, kwnames);
        if (!bound) return nullptr;
        auto grapheme = to_text((*bound)[0], "Tokenizer.id_of() argument 'grapheme'");
        if (!grapheme) return nullptr;
        auto id = tokenizer_of(self).grapheme_id(*grapheme);
        if (!id) Py_RETURN_NONE;
        return id_object(*id);
    });
}

PyObject* merge_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto bound = binding::bind("Tokenizer.merge_of()", ID_PARAMS, args, nargs, kwnames);
        if (!bound) return nullptr;
        auto id = to_id((*bound)[0], "Tokenizer.merge_of() argument 'id'");
        if (!id) return nullptr;
        auto pair = tokenizer_of(self).merge_of(*id);
        if (!pair) Py_RETURN_NONE;
        py_ref left = py_ref::steal(id_object(pair->left));
        py_ref right = py_ref::steal(id_object(pair->right));
        if (!left || !right) return nullptr;
        return PyTuple_Pack(2, left.get(), right.get());
    });
}

PyObject* graphemes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto bound = binding::bind("Tokenizer.graphemes()", TEXT_PARAMS, args, nargs, kwnames);
        if (!bound) return nullptr;
        auto text = to_text((*bound)[0], "Tokenizer.graphemes() argument 'text'");
        if (!text) return nullptr;
        (void)self;
        py_ref list = py_ref::steal(PyList_New(0));
        if (!list) return nullptr;
        bool ok = true;
        for_each_grapheme(*text, [&](std::string_view g) {
            if (!ok) return;
            py_ref piece = binding::to_str(g);
            ok = piece && PyList_Append(list.get(), piece.get()) == 0;
        });
        return ok ? list.release() : nullptr;
    });
}

PyObject* unknown_graphemes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto bound = binding::bind("Tokenizer.unknown_graphemes()", TEXT_PARAMS, args, nargs, kwnames);
        if (!bound) return nullptr;
        auto text = to_text((*bound)[0], "Tokenizer.unknown_graphemes() argument 'text'");
        if (!text) return nullptr;
        const tokenizer& tok = tokenizer_of(self);
        auto found = maybe_without_lock(text->size() >= RELEASE_LOCK_BYTES,
                                        [&] { return tok.unknown_graphemes(*text); });
        py_ref counts = py_ref::steal(PyDict_New());
        if (!counts) return nullptr;
        for (const auto& [grapheme, count] : found) {
            py_ref key = binding::to_str(grapheme);
            py_ref value = py_ref::steal(PyLong_FromSize_t(count));
            if (!key || !value || PyDict_SetItem(counts.get(), key.get(), value.get()) < 0) return nullptr;
        }
        return counts.release();
    });
}

PyObject* get_vocab_size(PyObject* self, void*) {
    return PyLong_FromSize_t(tokenizer_of(self).model().lookup.size());
}

PyObject* get_oov_id(PyObject* self, void*) {
    auto id = tokenizer_of(self).oov_id();
    if (!id) Py_RETURN_NONE;
    return id_object(*id);
}

PyObject* get_special_tokens(PyObject* self, void*) {
    py_ref specials = py_ref::steal(PyDict_New());
    if (!specials) return nullptr;
    for (const special_token& special : tokenizer_of(self).extras().specials) {
        py_ref text = binding::to_str(special.text);
        py_ref id = py_ref::steal(id_object(special.id));
        if (!text || !id || PyDict_SetItem(specials.get(), text.get(), id.get()) < 0) return nullptr;
    }
    return specials.release();
}

PyObject* get_byte_fallback(PyObject* self, void*) {
    return PyBool_FromLong(tokenizer_of(self).byte_base().has_value());
}

PyObject* get_byte_ids(PyObject* self, void*) {
    auto base = tokenizer_of(self).byte_base();
    if (!base) Py_RETURN_NONE;
    py_ref ids = py_ref::steal(PyTuple_New(256));
    if (!ids) return nullptr;
    for (unsigned b = 0; b < 256; ++b) {
        PyObject* id = id_object(static_cast<token_id>(*base + b));
        if (!id) return nullptr;
        PyTuple_SET_ITEM(ids.get(), b, id);
    }
    return ids.release();
}

PyObject* get_training_info(PyObject* self, void*) {
    const std::string& options = tokenizer_of(self).extras().trainer_options;
    if (options.empty()) Py_RETURN_NONE;
    py_ref json = py_ref::steal(PyImport_ImportModule("json"));
    if (!json) return nullptr;
    py_ref text = binding::to_str(options);
    if (!text) return nullptr;
    return PyObject_CallMethod(json.get(), "loads", "O", text.get());
}

template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef model_methods[] = {
    {"from_file", as_cfunction(from_file), FAST | METH_CLASS,
     "from_file($type, /, path)\n--\n\n"
     "A Tokenizer for the model file at `path` (str, bytes or os.PathLike).\n"
     "OSError when the file cannot be read or is no regular file (a device, a\n"
     "pipe, a socket), ValueError when it is not a model file."},
    {"from_bytes", as_cfunction(from_bytes), FAST | METH_CLASS,
     "from_bytes($type, /, data)\n--\n\n"
     "A Tokenizer for a model file's content (any bytes-like object).\n"
     "ValueError when the bytes are not a model file."},
    {"to_bytes", as_cfunction(to_bytes), METH_NOARGS,
     "to_bytes($self, /)\n--\n\n"
     "The model file's content: entries by ascending id, so the same model\n"
     "always gives the same bytes, then a trainer model's extension block."},
    {"save", as_cfunction(save), FAST,
     "save($self, /, path)\n--\n\n"
     "Writes the model file to `path`, replacing it in one step: a failure or\n"
     "a kill midway leaves what was there before. A symbolic link is written\n"
     "through (the file it names is replaced, the link stays); a device, pipe\n"
     "or socket is refused with OSError."},
    {"__reduce__", as_cfunction(reduce), METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickles as the model's bytes."},
    {"token_bytes", as_cfunction(token_bytes), FAST,
     "token_bytes($self, /, id)\n--\n\n"
     "The bytes of token `id`; KeyError when the model has no such id."},
    {"token_text", as_cfunction(token_text), FAST,
     "token_text($self, /, id)\n--\n\n"
     "The text of token `id`, read as UTF-8 with U+FFFD for bytes that are not\n"
     "(a merged token may end inside a character); KeyError for an unknown id."},
    {"id_of", as_cfunction(id_of), FAST,
     "id_of($self, /, grapheme)\n--\n\n"
     "The id of one grapheme, or None when the model does not hold it."},
    {"merge_of", as_cfunction(merge_of), FAST,
     "merge_of($self, /, id)\n--\n\n"
     "The pair (left, right) of ids that a learned merge joined into `id`, or\n"
     "None when `id` is no merged token."},
    {"graphemes", as_cfunction(graphemes), FAST,
     "graphemes($self, /, text)\n--\n\n"
     "`text` split into the graphemes the model's tokens are made of."},
    {"unknown_graphemes", as_cfunction(unknown_graphemes), FAST,
     "unknown_graphemes($self, /, text)\n--\n\n"
     "Each grapheme of `text` that the model does not hold, with how often it\n"
     "occurs, in order of first occurrence. Encoding maps them to oov_id, or\n"
     "fails when the model has none."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tokenizer_getset[] = {
    {"vocab_size", get_vocab_size, nullptr, "The number of tokens (ids) in the model.", nullptr},
    {"oov_id", get_oov_id, nullptr,
     "The id unknown graphemes are encoded as, or None when the model has none\n"
     "(encoding a text with an unknown grapheme then raises KeyError).", nullptr},
    {"special_tokens", get_special_tokens, nullptr,
     "The special tokens, {text: id} in the order the trainer was given them;\n"
     "empty for a model without them.", nullptr},
    {"byte_fallback", get_byte_fallback, nullptr,
     "Whether graphemes the model does not hold are encoded as their UTF-8\n"
     "bytes, so that decode(encode(text)) == text for every text.", nullptr},
    {"byte_ids", get_byte_ids, nullptr,
     "The 256 byte tokens' ids by byte value, or None without byte fallback.", nullptr},
    {"training_info", get_training_info, nullptr,
     "What the trainer recorded with the model: the options it was given and\n"
     "what it reports of the run (whether it stopped before vocab_size and why);\n"
     "None for a model the trainer did not make.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace tolvane::tools
