"""Grapheme-level subword vocabularies: learn one from text, encode and decode."""

from collections.abc import Sequence
from typing import Never, final

__all__ = ["Data", "load_from_file"]

@final
class Data:
    """A vocabulary model: token texts, learned merges and grapheme tokens.

    There is no constructor: every model comes from `load_from_file`, a new one
    from a file of 24 zero bytes. Calling `Data()` raises TypeError."""

    def __init__(self, no_constructor: Never, /) -> None: ...
    def train(self, train_file: str, print_logs: bool, logs_file: str) -> None:
        """Extends the model from a UTF-8 text file, chunk by chunk, saving it
        to "tokenizer" in the working directory after every chunk."""
    def encode(self, st: str) -> list[int]:
        """The token ids of a text; unknown graphemes become id 0."""
    def decode(self, tokens: Sequence[int] | bytes) -> str:
        """The text of a sequence of token ids (each 0 to 65535)."""
    def vocab(self) -> list[int]:
        """Every token id of the model, ascending."""

def load_from_file(filename: str) -> Data:
    """Reads a model file into a new `Data`."""
