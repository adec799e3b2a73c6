"""Reading Tarnhold Mesh (.thm) files in pure Python.

    import thm
    result = thm.load("model.thm")        # or thm.parse(data)
    for record in result.records:
        if isinstance(record, thm.MeshRecord):
            print(record.name, len(record.positions))
    if result.error:
        print("offset", result.error.offset, result.error.what)

`python3 -m thm FILE.thm` prints what `thmdump --json` prints; `--check` what
`thmdump --check` prints. numpy, when installed, gives arrays: thm.arrays(mesh).
"""

from __future__ import annotations

from typing import Any, Dict

from .check import check, check_records
from .dump import dumps, to_json
from .model import (
    Bone,
    BoneSample,
    LightRecord,
    MapRef,
    MaterialHeader,
    MaterialSection,
    MeshRecord,
    Note,
    ParseError,
    ParseResult,
    Problem,
    Record,
    Skin,
    SpotParams,
    Triangle,
    Vertex,
    VertexRefs,
)
from .reader import load, parse, read

__version__ = "1.0.0"

__all__ = [
    "Bone",
    "BoneSample",
    "LightRecord",
    "MapRef",
    "MaterialHeader",
    "MaterialSection",
    "MeshRecord",
    "Note",
    "ParseError",
    "ParseResult",
    "Problem",
    "Record",
    "Skin",
    "SpotParams",
    "Triangle",
    "Vertex",
    "VertexRefs",
    "arrays",
    "check",
    "check_records",
    "dumps",
    "load",
    "parse",
    "read",
    "to_json",
]


def arrays(mesh: MeshRecord) -> Dict[str, Any]:
    """A mesh as numpy arrays (numpy is optional: ImportError without it):
    positions (P, 3) float32, and per material section its vertices' position
    indices, uvs (V, 2), normals (V, 3) and triangles (T, 3) as vertex numbers."""
    import numpy as np

    sections = []
    for s in mesh.materials:
        sections.append(
            {
                "name": s.header.name,
                "position_index": np.array([v.sv for v in s.vertices], dtype=np.int32),
                "uv": np.array([(v.u, v.v) for v in s.vertices], dtype=np.float32).reshape(-1, 2),
                "normal": np.array([v.normal for v in s.vertices], dtype=np.float32).reshape(-1, 3),
                "triangles": np.array([[t.index(k) for k in range(3)] for t in s.triangles], dtype=np.uint32).reshape(
                    -1, 3
                ),
            }
        )
    return {"positions": np.array(mesh.positions, dtype=np.float32).reshape(-1, 3), "sections": sections}
