"""Writing a scene document: JSON, with the big arrays (numpy) formatted a chunk
at a time by C's printf and written straight to the file, never held as one
string or as Python lists of the whole mesh."""

from __future__ import annotations

import json
from typing import IO, Any

import numpy as np

CHUNK = 1 << 16  # numbers per piece of text
# Nine significant digits read back as the same float32, whatever the value.
FLOAT = "%.9g"


def _array(out: IO[str], a: Any) -> None:
    number = FLOAT if a.dtype.kind == "f" else "%d"
    if a.dtype.kind == "f":
        a = a.astype(np.float64)
    width = 1 if a.ndim == 1 else max(1, a.shape[1])
    row = number if a.ndim == 1 else "[" + ",".join([number] * a.shape[1]) + "]"
    rows = max(1, CHUNK // width)
    out.write("[")
    for i in range(0, len(a), rows):
        chunk = a[i:i + rows]
        if i:
            out.write(",")
        out.write(",".join([row] * len(chunk)) % tuple(chunk.ravel().tolist()))
    out.write("]")


def dump(value: Any, out: IO[str]) -> None:
    """value as JSON: dicts, lists, scalars and numpy arrays (1-D, or 2-D as rows)."""
    if isinstance(value, np.ndarray):
        _array(out, value)
    elif isinstance(value, dict):
        out.write("{")
        for i, (k, v) in enumerate(value.items()):
            if i:
                out.write(",")
            out.write(json.dumps(k))
            out.write(":")
            dump(v, out)
        out.write("}")
    elif isinstance(value, (list, tuple)):
        out.write("[")
        for i, v in enumerate(value):
            if i:
                out.write(",")
            dump(v, out)
        out.write("]")
    else:
        out.write(json.dumps(value, separators=(",", ":")))
