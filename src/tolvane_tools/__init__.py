"""Companions of the `tolvane` module: the `tolvane` command (train, encode,
decode, inspect and show models).

Pure Python beside the extension module; only `train`, `encode`, `decode` and
`show` import the extension, `inspect` reads the model file by itself."""
