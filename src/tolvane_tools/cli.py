"""The `tolvane` command line: train, encode, decode, inspect, export, show.

Every error ends in one line on standard error and a non-zero exit status:
1 for a failure, 2 for a usage error, 130 when interrupted."""

from __future__ import annotations

import argparse
import json
import os
import sys

from tolvane_tools.encode_run import add_corpus_options, add_encoding_options
from tolvane_tools.errors import CliError, is_panic, module_call
from tolvane_tools.progress import say

MAX_TOKEN_ID = 65535
DEFAULT_MODEL = "tokenizer"  # where training leaves its model


def load_data(path: str):
    from tolvane_tools.paths import fd_path, open_model

    fd = open_model(path)
    try:
        import tolvane

        return module_call(f"cannot load model {path}", lambda: tolvane.load_from_file(fd_path(fd)))
    finally:
        os.close(fd)


def read_model_file(path: str):
    from tolvane_tools.modelfile import ModelFormatError, parse_model
    from tolvane_tools.paths import read_model_bytes

    try:
        return parse_model(read_model_bytes(path))
    except ModelFormatError as error:
        raise CliError(f"{path} is not a model file: {error}") from None


def _utf8_checked(text: str, where: str) -> str:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise CliError(f"{where} is not valid UTF-8") from None
    return text


def _input_text(args) -> str:
    if args.file is not None and args.file != "-":
        from tolvane_tools.paths import open_input

        with os.fdopen(open_input(args.file), "rb") as f:
            try:
                raw = f.read()
            except OSError as error:
                raise CliError(f"cannot read {args.file}: {error.strerror}") from None
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError as error:
            raise CliError(f"{args.file} is not valid UTF-8 (byte {error.start})") from None
    if args.text is not None:
        return _utf8_checked(args.text, "the text")
    try:
        return _standard_input("is no text").read().decode("utf-8")
    except UnicodeDecodeError as error:
        raise CliError(f"standard input is not valid UTF-8 (byte {error.start})") from None


def _standard_input(what: str):
    """Standard input as bytes; refused when it was closed (the command
    filled its descriptor with /dev/null, which would read as nothing)."""
    if sys.stdin is None:
        raise CliError(f"standard input is closed; there {what} to read")
    return sys.stdin.buffer


def _write_text(text: str) -> None:
    # Bytes, so the output does not depend on the locale's encoding.
    sys.stdout.buffer.write(text.encode("utf-8", "surrogateescape"))
    sys.stdout.flush()


# The options of the whole-corpus trainer, which --vocab-size selects; the
# chunked run takes none of them, and the trainer none of the chunked run's.
_SIZED_OPTIONS = {"min_frequency": "--min-frequency", "special_tokens": "--special-token",
                  "byte_fallback": "--byte-fallback", "max_token_length": "--max-token-length",
                  "split": "--split", "threads": "--threads", "memory_limit": "--memory-limit"}
_CHUNKED_OPTIONS = {"start_model": "--from", "log": "--log", "print_logs": "--print-logs", "raw": "--raw"}


_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


def _memory_size(text: str) -> int:
    """A number of bytes with an optional K, M, G or T (powers of 1,024), or
    "none" for no limit, which is 0 here (None is the option not given)."""
    if text.lower() == "none":
        return 0
    digits, unit = text.rstrip("KMGTkmgtBb"), text[len(text.rstrip("KMGTkmgtBb")):].upper().rstrip("B")
    try:
        value = float(digits) * _UNITS[unit]
    except (ValueError, KeyError):
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (write it as 500M, 8G or none)") from None
    if not 1 <= value < 1 << 64:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (at least 1 byte)")
    return int(value)


def cmd_train(args) -> int:
    if args.vocab_size is None:
        for name, option in _SIZED_OPTIONS.items():
            # Given, whatever its value: 0 == False, so `in` would take
            # --min-frequency 0 or --memory-limit none for an option not given.
            value = getattr(args, name)
            if value is not None and value is not False and value != []:
                raise CliError(f"{option} needs --vocab-size (training to a chosen vocabulary size)")
        if len(args.corpus) > 1:
            raise CliError("several corpora need --vocab-size; the chunked run trains on one file")
        from tolvane_tools.train_run import TrainArgs, run_training

        return run_training(TrainArgs(corpus=args.corpus[0], output=args.output,
                                      start_model=args.start_model, log=args.log,
                                      print_logs=args.print_logs, raw=args.raw))
    for name, option in _CHUNKED_OPTIONS.items():
        if getattr(args, name) not in (None, False):
            raise CliError(f"{option} belongs to the chunked run; it does not go with --vocab-size")
    from tolvane_tools.train_sized import SizedArgs, run_sized

    return run_sized(SizedArgs(corpus=args.corpus, output=args.output, vocab_size=args.vocab_size,
                               min_frequency=2 if args.min_frequency is None else args.min_frequency,
                               special_tokens=args.special_tokens or [], byte_fallback=args.byte_fallback,
                               max_token_length=args.max_token_length, split=args.split or "lines",
                               threads=args.threads, memory_limit=args.memory_limit))


def cmd_encode(args) -> int:
    from tolvane_tools import encode_run

    if args.output is not None:
        if args.text is not None:
            raise CliError("-o encodes a corpus: give it with -f FILE (or -f - for standard input)")
        return encode_run.run_corpus(encode_run.corpus_args(args, args.output))
    if args.split is not None or args.jobs is not None:
        raise CliError("--split and --jobs encode a corpus: give -o OUT.bin too (or use stats)")
    data = load_data(args.model)
    text = _input_text(args)
    tok = encode_run.load_tokenizer(args.model)
    # The module knows nothing of special tokens and byte fallback; for a
    # model that has them, the Tokenizer's compatible mode is the module's
    # encode with them.
    plain = not tok.special_tokens and not tok.byte_fallback
    if args.mode in (None, encode_run.DEFAULT_MODE) and plain:
        ids = module_call("cannot encode", lambda: data.encode(text))
    else:
        ids = _encoded(lambda: tok.encode(text, mode=args.mode or encode_run.DEFAULT_MODE,
                                          **encode_run.special_keywords(args.special)))
    _warn_unknown(tok, text)
    _write_text((json.dumps(ids) if args.json else " ".join(map(str, ids))) + "\n")
    return 0


def _encoded(call):
    """What a Tokenizer's encode returns, its refusals (a special token's
    spelling, an unknown grapheme) made the command's one-line error."""
    try:
        return call()
    except (KeyError, ValueError) as error:  # a KeyError's str() would be quoted
        from tolvane_tools.encode_run import advice_for_command

        raise CliError("cannot encode: " + advice_for_command(str(error.args[0] if error.args else error))) from None


def _warn_unknown(tok, text: str) -> None:
    from tolvane_tools.corpus_report import unknown_warning

    warning = unknown_warning(tok, text)
    if warning is not None:
        say(sys.stderr, warning)


def cmd_stats(args) -> int:
    from tolvane_tools import encode_run

    return encode_run.run_corpus(encode_run.corpus_args(args, None))


def parse_ids(words: list[str]) -> list[int]:
    ids = []
    for word in words:
        try:
            value = int(word, 10)
        except ValueError:
            raise CliError(f"bad token id {word!r}: not a whole number") from None
        if not 0 <= value <= MAX_TOKEN_ID:
            raise CliError(f"bad token id {word}: ids are 0 to {MAX_TOKEN_ID}")
        ids.append(value)
    return ids


def _ids_from_stdin() -> list[str]:
    text = _standard_input("are no ids").read().decode("utf-8", "replace").strip()
    if text.startswith("["):  # the output of `encode --json`
        try:
            values = json.loads(text)
        except ValueError:
            raise CliError("standard input is not a JSON list of ids") from None
        if not isinstance(values, list):
            raise CliError("standard input is not a JSON list of ids")
        return [str(v) if isinstance(v, int) and not isinstance(v, bool) else repr(v) for v in values]
    return text.split()


def cmd_decode(args) -> int:
    data = load_data(args.model)
    ids = parse_ids(args.ids if args.ids else _ids_from_stdin())
    text = module_call("cannot decode", lambda: data.decode(ids))
    _write_text(text if args.no_newline else text + "\n")
    return 0


def cmd_inspect(args) -> int:
    from tolvane_tools.inspection import inspect_model

    _write_text(inspect_model(read_model_file(args.model), args.sort, args.limit, args.json))
    return 0


def cmd_show(args) -> int:
    from tolvane_tools import encode_run, show

    tok = encode_run.load_tokenizer(args.model)
    text = _utf8_checked(args.text, "the text") if args.text is not None else _input_text(args)
    parts = _encoded(lambda: show.segments(tok, text, args.mode or encode_run.DEFAULT_MODE,
                                           **encode_run.special_keywords(args.special)))
    _warn_unknown(tok, text)
    if args.html is not None:
        page = show.render_html(parts, text)
        try:
            with open(args.html, "w", encoding="utf-8") as f:
                f.write(page)
        except OSError as error:
            raise CliError(f"cannot write {args.html}: {error.strerror}") from None
        count = sum(len(part.ids) for part in parts)
        print(f"wrote {args.html}: {count} token{'s' * (count != 1)}")
    elif sys.stdout.isatty():
        _write_text(show.render_terminal(parts))
    else:
        _write_text(show.render_lines(parts))
    return 0


def cmd_export(args) -> int:
    from tolvane_tools.encode_run import load_tokenizer
    from tolvane_tools.huggingface import write_tokenizer_json
    from tolvane_tools.paths import check_output

    to_stdout = args.output == "-"
    if not to_stdout:
        check_output(args.output, "output")
    tok = load_tokenizer(args.model)
    try:
        if to_stdout:
            from tolvane_tools.huggingface import tokenizer_json

            _write_text(json.dumps(tokenizer_json(tok), ensure_ascii=False, indent=1) + "\n")
            return 0
        write_tokenizer_json(tok, args.output)
    except ValueError as error:
        raise CliError(f"cannot export {args.model}: {error}") from None
    except OSError as error:
        raise CliError(f"cannot write {args.output}: {error.strerror}") from None
    print(f"wrote {args.output}: {tok.vocab_size} tokens, for tokenizers and transformers "
          "(the ids of --mode ranked)")
    return 0


def package_version() -> str:
    """The installed distribution's version; the module `tolvane` itself carries none."""
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("tolvane")
    except PackageNotFoundError:
        return "(not installed)"


def _count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="tolvane", description="Learn a grapheme-level subword "
                                     "vocabulary, and encode, decode and look into models.")
    parser.add_argument("--version", action="version", version=f"tolvane {package_version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def model_option(p):
        p.add_argument("-m", "--model", default=DEFAULT_MODEL,
                       help=f"model file (default: ./{DEFAULT_MODEL})")

    p = sub.add_parser("train", help="train a model on a text file (or, with --vocab-size, "
                       "on many, to a chosen size)")
    p.add_argument("corpus", metavar="CORPUS", nargs="+",
                   help="training text file; - is standard input (several with --vocab-size)")
    p.add_argument("-o", "--output", default=DEFAULT_MODEL, metavar="MODEL",
                   help=f"where the trained model goes (default: ./{DEFAULT_MODEL})")
    p.add_argument("--from", dest="start_model", metavar="MODEL",
                   help="continue training this model (it is not changed)")
    p.add_argument("--log", metavar="FILE", help="training log file (emptied first)")
    p.add_argument("--print-logs", action="store_true",
                   help="also append the learned merges to log.txt in the current directory")
    p.add_argument("--raw", action="store_true", help="pass the module's own lines through")
    sized = p.add_argument_group("a vocabulary of a chosen size, learned from the whole corpus")
    sized.add_argument("--vocab-size", type=int, metavar="N",
                       help="exactly N tokens (\"oov\", special and byte tokens included), at most 65536")
    sized.add_argument("--min-frequency", type=int, metavar="F",
                       help="merge only pairs seen at least F times (default: 2)")
    sized.add_argument("--special-token", action="append", dest="special_tokens", metavar="T",
                       help="a special token, never merged (repeat for more; ids 1, 2, ... in order)")
    sized.add_argument("--byte-fallback", action="store_true",
                       help="encode graphemes the vocabulary lacks as their UTF-8 bytes")
    sized.add_argument("--max-token-length", type=int, metavar="L",
                       help="no token longer than L graphemes")
    sized.add_argument("--split", metavar="HOW",
                       help="documents: lines (default), paragraphs, none or jsonl:FIELD")
    sized.add_argument("--threads", type=int, metavar="N", help="threads to train on (default: one per core)")
    sized.add_argument("--memory-limit", type=_memory_size, metavar="SIZE",
                       help="about the most training takes, as 500M or 8G, before it forgets the rarest "
                            "pieces (default: 4G; none: no limit)")
    p.set_defaults(run=cmd_train)

    p = sub.add_parser("encode", help="print the token ids of a text")
    model_option(p)
    source = p.add_mutually_exclusive_group()
    source.add_argument("text", nargs="?", metavar="TEXT", help="text (default: standard input)")
    source.add_argument("-f", "--file", metavar="FILE",
                        help="read the text (or with -o the corpus) from a UTF-8 file; - is standard input")
    p.add_argument("--json", action="store_true", help="print a JSON list")
    add_corpus_options(p, output=True)
    p.set_defaults(run=cmd_encode)

    p = sub.add_parser("stats", help="how a model covers a corpus: tokens per byte, unknown graphemes")
    model_option(p)
    p.add_argument("-f", "--file", metavar="CORPUS", required=True,
                   help="the corpus, a UTF-8 file; - is standard input")
    add_corpus_options(p, output=False)
    p.set_defaults(run=cmd_stats)

    p = sub.add_parser("decode", help="print the text of token ids")
    model_option(p)
    p.add_argument("ids", nargs="*", metavar="ID", help="token ids (default: read from standard input)")
    p.add_argument("-n", "--no-newline", action="store_true", help="no line feed after the text")
    p.set_defaults(run=cmd_decode)

    p = sub.add_parser("inspect", help="list the tokens of a model")
    model_option(p)
    p.add_argument("--sort", choices=("id", "length"), default="id",
                   help="by id, or longest first (default: id)")
    p.add_argument("--limit", type=_count, metavar="N", help="show the first N tokens only")
    p.add_argument("--json", action="store_true", help="print JSON")
    p.set_defaults(run=cmd_inspect)

    p = sub.add_parser("export", help="write the model for other libraries (a tokenizer.json)")
    model_option(p)
    p.add_argument("--format", choices=("huggingface",), default="huggingface",
                   help="huggingface: a tokenizer.json for tokenizers and transformers (the default)")
    p.add_argument("-o", "--output", default="tokenizer.json", metavar="FILE",
                   help="where it goes (default: ./tokenizer.json; - is standard output)")
    p.set_defaults(run=cmd_export)

    p = sub.add_parser("show", help="show how a text splits into tokens")
    model_option(p)
    p.add_argument("text", nargs="?", metavar="TEXT", help="text (default: standard input)")
    p.add_argument("--html", metavar="FILE", help="write an HTML page instead")
    add_encoding_options(p)
    p.set_defaults(run=cmd_show, file=None)
    return parser


def _names_as_given() -> None:
    """File names that are not UTF-8 reach the command as lone surrogates;
    messages naming them print their original bytes instead of failing."""
    for stream in (sys.stdout, sys.stderr):
        if stream is not None and hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="surrogateescape")


def _fill_closed_standard_descriptors() -> None:
    """Puts /dev/null on descriptors 0 to 2 where they are closed (sys.stdin,
    sys.stdout or sys.stderr is then None, and stays so). Otherwise the next
    file or pipe the command opens takes that number, and a child process
    would find it where its standard streams go."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)


def main(argv: list[str] | None = None) -> int:
    _fill_closed_standard_descriptors()
    _names_as_given()
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except CliError as error:
        say(sys.stderr, f"tolvane: {error}")
        return 1
    except KeyboardInterrupt:
        say(sys.stderr, "tolvane: interrupted")
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); say nothing more to it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        return 1
    except OSError as error:
        where = f"{error.filename}: " if error.filename else ""
        say(sys.stderr, f"tolvane: {where}{error.strerror or error}")
        return 1
    except (SystemExit, GeneratorExit):
        raise
    except BaseException as error:
        if is_panic(error):
            say(sys.stderr, f"tolvane: {error}")
        else:
            say(sys.stderr, f"tolvane: unexpected {type(error).__name__}: {error}")
        return 1
