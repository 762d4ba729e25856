"""Companions of the `tolvane` module: `Tokenizer`, a fast, picklable,
thread-parallel encoder for a trained model, `train`, which learns a
vocabulary of a chosen size with special tokens and byte fallback, and the
`tolvane` command (train, encode, decode, inspect and show models).

`Tokenizer` lives in the native extension `tolvane_tools._native` and is
loaded on first use, so the command's pure-Python parts (`inspect` reads the
model file by itself) start without it."""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from tolvane_tools._native import Tokenizer
    from tolvane_tools.trainer import MemoryLimitReached, TrainingStoppedEarly, train

__all__ = ["Tokenizer", "TrainingStoppedEarly", "MemoryLimitReached", "train"]


def __getattr__(name: str) -> object:
    if name == "Tokenizer":
        from tolvane_tools._native import Tokenizer

        return Tokenizer
    if name in ("train", "TrainingStoppedEarly", "MemoryLimitReached"):
        from tolvane_tools import trainer

        return getattr(trainer, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
