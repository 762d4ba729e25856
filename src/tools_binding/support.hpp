// What every entry point of tolvane_tools._native shares: the failure
// boundary (ordinary Python exceptions), letting go of the interpreter lock
// around core calls, and the argument conversions. Each conversion returns
// the value, or nothing with a Python error set whose message names the
// argument and the offending value.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/py_ref.hpp"
#include "encoding/tokenizer.hpp"

namespace tolvane::tools {

using binding::py_ref;

// A failure becomes the exception its kind names: KeyError (missing_key),
// ValueError (invalid_value), OSError with its errno (os_error), RuntimeError
// (internal); running out of memory becomes MemoryError.
struct tools_boundary {
    static PyObject* raise_failure(const failure& f) noexcept;
    static PyObject* raise_out_of_memory() noexcept;
    static PyObject* raise_unexpected(const char* what) noexcept;
};

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    return binding::guarded<tools_boundary>(std::forward<Body>(body));
}

// Sets OSError (the subclass its errno selects) for `f`, naming `filename`.
void raise_os_error(const failure& f, PyObject* filename);

// Texts at least this long are encoded without the interpreter lock: below
// it, handing the lock over costs more than other threads would gain.
constexpr std::size_t RELEASE_LOCK_BYTES = 16 * 1024;

// Runs work() without the interpreter lock when `release` is true; the lock
// is taken back before anything leaves, a thrown failure included. `work`
// must not touch Python.
template <class Work>
auto maybe_without_lock(bool release, Work&& work) {
    if (!release) return work();
    struct relock {
        PyThreadState* state;
        ~relock() { PyEval_RestoreThread(state); }
    } lock{PyEval_SaveThread()};
    return work();
}

// Keeps the interned mode names; called once at module creation.
bool init_mode_names();

// `obj` (nullptr: left out) as "compatible" or "ranked". TypeError for a
// non-str, ValueError naming any other str.
std::optional<encode_mode> to_mode(PyObject* obj);

// `obj` (nullptr or None: the core count) as a thread count of at least 1.
std::optional<unsigned> to_threads(PyObject* obj);

// A str argument's UTF-8, alive as long as `obj`. `where` is the argument's
// description for messages ("Tokenizer.encode() argument 'text'").
std::optional<std::string_view> to_text(PyObject* obj, const char* where);

// A token id argument. TypeError for a non-int; an int no 16-bit id can be
// is reported by `unknown` (KeyError), as an id the model lacks would be.
std::optional<token_id> to_id(PyObject* obj, const char* where);

// Texts collected for work without the lock: each str's UTF-8 view, and a
// reference to each str so that no other thread can free one meanwhile.
struct text_batch {
    std::vector<py_ref> owners;
    std::vector<std::string_view> views;
    std::size_t bytes = 0;
};
// Any iterable of str; TypeError naming the index of the first item that is not one.
std::optional<text_batch> to_texts(PyObject* obj, const char* where);

// Any iterable of ints, or a one-dimensional buffer of integers (bytes, an
// array, a memoryview, a numpy array), as ids; a str is refused.
std::optional<token_sequence> to_ids(PyObject* obj, const char* where);

// Sets KeyError "token id N is not in the model".
void raise_unknown_id(long long id);

// A list of ints for `ids`, and the int for one id (binding/convert.hpp):
// made once per id value and kept.
inline py_ref id_list(std::span<const token_id> ids) { return binding::to_list(ids); }
using binding::id_object;

}  // namespace tolvane::tools
