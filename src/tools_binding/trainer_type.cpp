#include "tools_binding/trainer_type.hpp"

#include <array>
#include <memory>
#include <string>

#include "binding/args.hpp"
#include "persist/model_file.hpp"
#include "training/vocab_trainer.hpp"

namespace tolvane::tools {

namespace {

PyObject* cached_trainer_type = nullptr;  // lives as long as the process

struct trainer_object {
    PyObject_HEAD
    vocab_trainer* core;
    // Set while a call works on `core` (maybe without the interpreter lock);
    // a second call meanwhile, from another thread or from the progress
    // callback, is refused rather than left to race.
    bool busy;
};

vocab_trainer& core_of(PyObject* self) { return *reinterpret_cast<trainer_object*>(self)->core; }

// Takes the trainer for one call, or sets RuntimeError.
class trainer_use {
public:
    explicit trainer_use(PyObject* self) : object{reinterpret_cast<trainer_object*>(self)} {
        if (object->busy) {
            PyErr_SetString(PyExc_RuntimeError, "_VocabTrainer is already in use by another call");
            object = nullptr;
            return;
        }
        object->busy = true;
    }
    ~trainer_use() {
        if (object) object->busy = false;
    }
    trainer_use(const trainer_use&) = delete;
    trainer_use& operator=(const trainer_use&) = delete;
    explicit operator bool() const { return object != nullptr; }

private:
    trainer_object* object;
};

// A non-negative int argument (None where `none_ok`, giving 0).
std::optional<std::uint64_t> to_count(PyObject* obj, const char* name, bool none_ok) {
    if (none_ok && (!obj || obj == Py_None)) return 0;
    if (!PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int%s, not %.200s", name, none_ok ? " or None" : "",
                     Py_TYPE(obj)->tp_name);
        return std::nullopt;
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (n == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow < 0 || (overflow == 0 && n < 0)) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative, not %R", name, obj);
        return std::nullopt;
    }
    return overflow > 0 ? UINT64_MAX : static_cast<std::uint64_t>(n);
}

PyObject* new_trainer(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* names[] = {"special_tokens", "byte_fallback", "max_token_length",
                                      "grapheme_coverage", "threads", "memory_limit", nullptr};
        PyObject* specials = nullptr;
        int byte_fallback = 0;
        PyObject* max_length = nullptr;
        PyObject* coverage = nullptr;
        PyObject* threads = nullptr;
        PyObject* memory_limit = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OpOOOO:_VocabTrainer", const_cast<char**>(names),
                                         &specials, &byte_fallback, &max_length, &coverage, &threads,
                                         &memory_limit))
            return nullptr;
        vocab_trainer_options options;
        options.byte_fallback = byte_fallback != 0;
        if (specials && specials != Py_None) {
            if (PyUnicode_Check(specials)) {
                PyErr_SetString(PyExc_TypeError, "special_tokens must be an iterable of str, not one str");
                return nullptr;
            }
            auto texts = to_texts(specials, "special_tokens");
            if (!texts) return nullptr;
            for (std::string_view s : texts->views) options.special_tokens.emplace_back(s);
        }
        auto length = to_count(max_length, "max_token_length", true);
        if (!length) return nullptr;
        if (max_length && max_length != Py_None && *length == 0) {
            PyErr_SetString(PyExc_ValueError, "max_token_length must be at least 1, or None");
            return nullptr;
        }
        options.max_token_length = static_cast<std::size_t>(*length);
        if (coverage && coverage != Py_None) {
            const double share = PyFloat_AsDouble(coverage);
            if (share == -1.0 && PyErr_Occurred()) return nullptr;
            options.grapheme_coverage = share;
        }
        auto thread_count = to_threads(threads);
        if (!thread_count) return nullptr;
        options.threads = *thread_count;
        auto limit = to_count(memory_limit, "memory_limit", true);
        if (!limit) return nullptr;
        if (memory_limit && memory_limit != Py_None && *limit == 0) {
            PyErr_SetString(PyExc_ValueError, "memory_limit must be at least 1 byte, or None");
            return nullptr;
        }
        options.memory_limit = *limit;
        // Made before the object, so that a refused option leaves nothing half-made.
        auto core = std::make_unique<vocab_trainer>(std::move(options));
        py_ref self = py_ref::steal(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        auto* object = reinterpret_cast<trainer_object*>(self.get());
        object->core = core.release();
        object->busy = false;
        return self.release();
    });
}

void dealloc_trainer(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<trainer_object*>(self)->core;
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr std::array<const char*, 1> ADD_PARAMS{"text"};
constexpr std::array<const char*, 1> ADD_MANY_PARAMS{"texts"};
constexpr std::array<const char*, 3> LEARN_PARAMS{"vocab_size", "min_frequency", "progress"};

PyObject* add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto bound = binding::bind("_VocabTrainer.add()", ADD_PARAMS, args, nargs, kwnames);
        if (!bound) return nullptr;
        auto text = to_text((*bound)[0], "_VocabTrainer.add() argument 'text'");
        if (!text) return nullptr;
        trainer_use use{self};
        if (!use) return nullptr;
        maybe_without_lock(text->size() >= RELEASE_LOCK_BYTES, [&] { core_of(self).add(*text); });
        Py_RETURN_NONE;
    });
}

PyObject* add_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto bound = binding::bind("_VocabTrainer.add_many()", ADD_MANY_PARAMS, args, nargs, kwnames);
        if (!bound) return nullptr;
        if (PyUnicode_Check((*bound)[0])) {
            PyErr_SetString(PyExc_TypeError,
                            "_VocabTrainer.add_many() argument 'texts' must be an iterable of str, not one str");
            return nullptr;
        }
        auto texts = to_texts((*bound)[0], "_VocabTrainer.add_many() argument 'texts'");
        if (!texts) return nullptr;
        trainer_use use{self};
        if (!use) return nullptr;
        maybe_without_lock(texts->bytes >= RELEASE_LOCK_BYTES, [&] { core_of(self).add_many(texts->views); });
        Py_RETURN_NONE;
    });
}

// The host side of a learning run that goes without the interpreter lock:
// each report takes the lock back, calls `progress` (when given) and checks
// for signals; an exception from either stops the run and is raised.
class learn_host {
public:
    explicit learn_host(PyObject* progress_in) : progress{progress_in}, state{PyEval_SaveThread()} {}
    ~learn_host() { PyEval_RestoreThread(state); }
    learn_host(const learn_host&) = delete;
    learn_host& operator=(const learn_host&) = delete;

    trainer_progress hooks() {
        trainer_progress hooks;
        hooks.report = [this](std::string_view stage, std::uint64_t done, std::uint64_t total) {
            if (with_lock([&] { return call_progress(stage, done, total); })) throw stop_requested{};
        };
        hooks.should_stop = [this] { return with_lock([] { return PyErr_CheckSignals() != 0; }); };
        return hooks;
    }

private:
    template <class F>
    bool with_lock(F&& f) {
        PyEval_RestoreThread(state);
        const bool stop = f();
        state = PyEval_SaveThread();  // a raised exception stays pending in the thread's state
        return stop;
    }
    bool call_progress(std::string_view stage, std::uint64_t done, std::uint64_t total) {
        if (!progress) return false;
        py_ref result = py_ref::steal(PyObject_CallFunction(progress, "s#KK", stage.data(),
                                                            static_cast<Py_ssize_t>(stage.size()),
                                                            static_cast<unsigned long long>(done),
                                                            static_cast<unsigned long long>(total)));
        return !result;
    }

    PyObject* progress;
    PyThreadState* state;
};

py_ref info_dict(const trained_vocab& result) {
    py_ref info = py_ref::steal(PyDict_New());
    if (!info) return info;
    py_ref specials = py_ref::steal(PyList_New(0));
    if (!specials) return py_ref::steal(nullptr);
    for (token_id id : result.special_ids) {
        py_ref n = py_ref::steal(PyLong_FromLong(id));
        if (!n || PyList_Append(specials.get(), n.get()) < 0) return py_ref::steal(nullptr);
    }
    py_ref base = result.byte_base ? py_ref::steal(PyLong_FromLong(*result.byte_base))
                                   : py_ref::steal(Py_NewRef(Py_None));
    struct item {
        const char* key;
        py_ref value;
    };
    item items[] = {
        {"vocab_size", py_ref::steal(PyLong_FromSize_t(result.data.lookup.size()))},
        {"byte_base", std::move(base)},
        {"special_ids", std::move(specials)},
        {"graphemes", py_ref::steal(PyLong_FromSize_t(result.graphemes))},
        {"graphemes_to_bytes", py_ref::steal(PyLong_FromSize_t(result.graphemes_to_bytes))},
        {"merges", py_ref::steal(PyLong_FromSize_t(result.merges))},
        {"stopped_early", py_ref::steal(PyBool_FromLong(result.stopped_early))},
        {"reason", py_ref::steal(PyUnicode_FromStringAndSize(result.reason.data(),
                                                             static_cast<Py_ssize_t>(result.reason.size())))},
        {"pieces", py_ref::steal(PyLong_FromUnsignedLongLong(result.pieces))},
        {"distinct_pieces", py_ref::steal(PyLong_FromUnsignedLongLong(result.distinct_pieces))},
        {"distinct_piece_bytes", py_ref::steal(PyLong_FromUnsignedLongLong(result.distinct_piece_bytes))},
        {"counts_memory", py_ref::steal(PyLong_FromUnsignedLongLong(result.counts_memory))},
        {"bytes", py_ref::steal(PyLong_FromUnsignedLongLong(result.bytes))},
        {"forgettings", py_ref::steal(PyLong_FromUnsignedLongLong(result.forgettings))},
        {"forgotten_pieces", py_ref::steal(PyLong_FromUnsignedLongLong(result.forgotten_pieces))},
        {"forgotten_below", py_ref::steal(PyLong_FromUnsignedLongLong(result.forgotten_below))},
    };
    for (const item& i : items)
        if (!i.value || PyDict_SetItemString(info.get(), i.key, i.value.get()) < 0) return py_ref::steal(nullptr);
    return info;
}

PyObject* learn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto bound = binding::bind("_VocabTrainer.learn()", LEARN_PARAMS, args, nargs, kwnames, 1);
        if (!bound) return nullptr;
        auto vocab_size = to_count((*bound)[0], "vocab_size", false);
        if (!vocab_size) return nullptr;
        std::uint64_t min_frequency = 2;
        if ((*bound)[1]) {
            auto given = to_count((*bound)[1], "min_frequency", false);
            if (!given) return nullptr;
            min_frequency = *given;
        }
        PyObject* progress = (*bound)[2] == Py_None ? nullptr : (*bound)[2];
        if (progress && !PyCallable_Check(progress)) {
            binding::set_type_error("progress must be callable or None, not ", progress, "");
            return nullptr;
        }
        trainer_use use{self};
        if (!use) return nullptr;
        std::optional<trained_vocab> result;
        std::string model;
        {
            learn_host host{progress};
            result.emplace(core_of(self).learn(static_cast<std::size_t>(std::min<std::uint64_t>(*vocab_size, SIZE_MAX)),
                                               min_frequency, host.hooks()));
            model = serialize_model(result->data);
        }
        py_ref bytes = py_ref::steal(
            PyBytes_FromStringAndSize(model.data(), static_cast<Py_ssize_t>(model.size())));
        if (!bytes) return nullptr;
        py_ref info = info_dict(*result);
        if (!info) return nullptr;
        return PyTuple_Pack(2, bytes.get(), info.get());
    });
}

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef trainer_methods[] = {
    {"add", as_cfunction(add), METH_FASTCALL | METH_KEYWORDS,
     "add($self, /, text)\n--\n\nCounts one document; no piece crosses its ends."},
    {"add_many", as_cfunction(add_many), METH_FASTCALL | METH_KEYWORDS,
     "add_many($self, /, texts)\n--\n\nCounts many documents, on the trainer's threads."},
    {"learn", as_cfunction(learn), METH_FASTCALL | METH_KEYWORDS,
     "learn($self, /, vocab_size, min_frequency=2, progress=None)\n--\n\n"
     "The model's bytes (the three maps) and a dict of what the run did."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot trainer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_trainer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_trainer)},
    {Py_tp_methods, trainer_methods},
    {Py_tp_doc, const_cast<char*>("The native trainer to a vocabulary size; see tolvane_tools.train.")},
    {0, nullptr},
};

PyType_Spec trainer_spec = {
    "tolvane_tools._native._VocabTrainer",
    static_cast<int>(sizeof(trainer_object)),
    0,
    Py_TPFLAGS_DEFAULT,
    trainer_slots,
};

}  // namespace

bool init_trainer_type() {
    if (!cached_trainer_type) cached_trainer_type = PyType_FromSpec(&trainer_spec);
    return cached_trainer_type != nullptr;
}

PyObject* trainer_type() { return cached_trainer_type; }

}  // namespace tolvane::tools
