#include "binding/panic.hpp"

#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace tolvane::binding {

namespace {

constexpr const char* PANIC_NAME = "tolvane.PanicException";
constexpr const char* PANIC_DOC =
    "Raised when tolvane's native code meets an internal failure; the single\n"
    "argument is the failure's message.\n"
    "\n"
    "Like SystemExit, it derives from BaseException and not from Exception, so\n"
    "`except Exception` lets it pass: unless caught by name it propagates to the\n"
    "top and ends the interpreter.\n";

// Created at the first internal failure and kept for the life of the process.
PyObject* panic_type = nullptr;

PyObject* get_panic_type() {
    if (!panic_type)
        panic_type = PyErr_NewExceptionWithDoc(PANIC_NAME, PANIC_DOC, PyExc_BaseException, nullptr);
    return panic_type;
}

// The build passes sources as paths relative to the build directory
// ("../src/..."); the report names them from the project root.
std::string_view project_path(std::string_view file) {
    auto at = file.find("src/");
    return at == std::string_view::npos ? file : file.substr(at);
}

// "tolvane::Data tolvane::load_model_file(std::string_view)" -> "tolvane::load_model_file";
// helpers in unnamed namespaces lose that part ("{anonymous}::" from GCC).
std::string short_function(std::string_view signature) {
    std::string name{signature};
    for (std::string_view unnamed : {"{anonymous}::", "(anonymous namespace)::"})
        for (auto at = name.find(unnamed); at != std::string::npos; at = name.find(unnamed))
            name.erase(at, unnamed.size());
    auto paren = name.find('(');
    if (paren == std::string::npos || paren == 0) return name;
    name.resize(paren);
    auto space = name.rfind(' ');
    return space == std::string::npos ? name : name.substr(space + 1);
}

void write_stderr(std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(2, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere left to report to; the exception still carries the message
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

// One write, so the report stays one piece even when others share the stream.
void report(const failure& f) {
    std::string line = "tolvane: internal failure";
    if (f.where.line() != 0) {
        line += " at ";
        line += project_path(f.where.file_name());
        line += ':';
        line += std::to_string(f.where.line());
        line += " in ";
        line += short_function(f.where.function_name());
    }
    line += ": ";
    line += f.message;
    line += '\n';
    write_stderr(line);
}

PyObject* set_panic(std::string_view message) {
    // A stray pending error would make the calls below misbehave; the
    // failure is what the caller must see.
    PyErr_Clear();
    PyObject* type = get_panic_type();
    if (!type) return nullptr;
    py_ref text = py_ref::steal(PyUnicode_DecodeUTF8(
        message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return nullptr;
    py_ref exc = py_ref::steal(PyObject_CallOneArg(type, text.get()));
    if (!exc) return nullptr;
    PyErr_SetObject(type, exc.get());
    return nullptr;
}

}  // namespace

void argument_error(const char* name) {
    ensure_error_set();
    raised_error err = raised_error::fetch();
    PyObject* exc = err.get();

    if (panic_type && PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(panic_type))) {
        // A nested call failed inside the caller's __index__ or __iter__:
        // that is no wrong argument but a failure of this call, with the
        // nested traceback kept on standard error for whoever debugs it.
        py_ref text = py_ref::steal(PyObject_Str(exc));
        std::string message = text ? utf8_of(text.get()) : std::string{};
        PyErr_Clear();
        err.restore();
        PyErr_PrintEx(0);
        fail(std::move(message));
    }
    raise_argument_error(name, std::move(err));
}

PyObject* panic_boundary::raise_failure(const failure& f) noexcept {
    try {
        report(f);
    } catch (...) {
        write_stderr("tolvane: internal failure: ");
        write_stderr(f.message);
        write_stderr("\n");
    }
    return set_panic(f.message);
}

PyObject* panic_boundary::raise_out_of_memory() noexcept {
    return raise_unexpected("out of memory");
}

PyObject* panic_boundary::raise_unexpected(const char* what) noexcept {
    write_stderr("tolvane: internal failure, unexpected C++ exception: ");
    write_stderr(what);
    write_stderr("\n");
    return set_panic(what);
}

}  // namespace tolvane::binding
