#include "tools_binding/encode_args.hpp"

namespace tolvane::tools {

namespace {

constexpr std::array<const char*, 4> TEXT_MODE_PARAMS{"text", "mode", "allowed_special", "disallowed_special"};
constexpr std::array<const char*, 5> BATCH_PARAMS{"texts", "mode", "threads", "allowed_special",
                                                  "disallowed_special"};

std::optional<specials_argument> to_specials(const tokenizer& tok, PyObject* allowed, PyObject* disallowed) {
    if (!allowed && !disallowed) return specials_argument{};
    auto choice = to_special_choice(tok, allowed, disallowed);
    if (!choice) return std::nullopt;
    return specials_argument{std::move(choice)};
}

}  // namespace

std::optional<one_text> bind_one_text(PyObject* self, const char* name, const char* text_where,
                                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind_keyword_tail(name, TEXT_MODE_PARAMS, 2, args, nargs, kwnames);
    if (!bound) return std::nullopt;
    auto text = to_text((*bound)[0], text_where);
    if (!text) return std::nullopt;
    auto mode = to_mode((*bound)[1]);
    if (!mode) return std::nullopt;
    auto specials = to_specials(tokenizer_of(self), (*bound)[2], (*bound)[3]);
    if (!specials) return std::nullopt;
    return one_text{*text, *mode, std::move(*specials)};
}

std::optional<many_texts> bind_many_texts(PyObject* self, const char* name, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind_keyword_tail(name, BATCH_PARAMS, 3, args, nargs, kwnames);
    if (!bound) return std::nullopt;
    auto texts = to_texts((*bound)[0], "texts");
    if (!texts) return std::nullopt;
    auto mode = to_mode((*bound)[1]);
    if (!mode) return std::nullopt;
    auto threads = to_threads((*bound)[2]);
    if (!threads) return std::nullopt;
    auto specials = to_specials(tokenizer_of(self), (*bound)[3], (*bound)[4]);
    if (!specials) return std::nullopt;
    return many_texts{std::move(*texts), *mode, *threads, std::move(*specials)};
}

}  // namespace tolvane::tools
