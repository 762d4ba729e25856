"""Companions of the `tolvane` module: `Tokenizer`, a fast, picklable,
thread-parallel encoder for a trained model, and the `tolvane` command
(train, encode, decode, inspect and show models).

`Tokenizer` lives in the native extension `tolvane_tools._native` and is
loaded on first use, so the command's pure-Python parts (`inspect` reads the
model file by itself) start without it."""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from tolvane_tools._native import Tokenizer

__all__ = ["Tokenizer"]


def __getattr__(name: str) -> object:
    if name == "Tokenizer":
        from tolvane_tools._native import Tokenizer

        return Tokenizer
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
