"""The JSON that `thmdump --json` prints, byte for byte."""

from __future__ import annotations

import math
import struct
from typing import Any, Dict, List, Optional, Union

from .model import (
    Extra,
    LightRecord,
    MaterialHeader,
    MaterialSection,
    Matrix43,
    MeshRecord,
    ParseResult,
    Skin,
    Vec3,
)

Json = Union[None, bool, int, float, str, List[Any], Dict[str, Any]]
_F32 = struct.Struct("<f")


def _as_f32(x: float) -> float:
    return float(_F32.unpack(_F32.pack(x))[0])


def shortest_f32(x: float) -> Optional[float]:
    """The shortest decimal that reads back as the same 32-bit float, as a double
    (0.3f gives 0.3); None for NaN and infinities."""
    if not math.isfinite(x):
        return None
    if x == 0:
        return x
    for digits in range(1, 10):
        text = "%.*e" % (digits - 1, x)
        if _as_f32(float(text)) == x:
            return float(text)
        # Near a power of two the closest decimal of this length may miss while
        # its neighbour hits: try both, take the nearer one that reads back.
        mantissa, exp = text.split("e")
        step = 10.0 ** (int(exp) - (digits - 1))
        hits = [float(text) + d * step for d in (-1, 1)]
        hits = [float("%.*e" % (digits - 1, h)) for h in hits]
        hits = [h for h in hits if _as_f32(h) == x]
        if hits:
            return min(hits, key=lambda h: abs(h - x))
    return x


def _f(x: float) -> Json:
    return shortest_f32(x)


def _vec(v: Vec3) -> Json:
    return [_f(v[0]), _f(v[1]), _f(v[2])]


def _mat(m: Matrix43) -> Json:
    return [_vec(r) for r in m]


def _extra(e: Extra) -> Json:
    return [e[0], e[1], e[2]]


def _header(h: MaterialHeader) -> Json:
    if not h.long_form:
        return {"form": "short"}

    def map_(m: Any) -> Json:
        return None if m is None else {"file": m.file, "amount": _f(m.amount)}

    return {
        "form": "long",
        "diffuse_map": h.diffuse_map,
        "name": h.name,
        "reflection_map": map_(h.reflection_map),
        "self_illum_map": map_(h.self_illum_map),
        "flags": h.flags,
        "transparency_mode": h.transparency_mode,
        "two_sided": h.two_sided,
        "vr": h.vr,
        "opacity": _f(h.opacity),
    }


def _section(s: MaterialSection) -> Json:
    return {
        "offset": s.offset,
        "header": _header(s.header),
        "vertices_offset": s.vertices_offset,
        "vertices": [{"sv": v.sv, "uv": [_f(v.u), _f(v.v)], "normal": _vec(v.normal)} for v in s.vertices],
        "triangles_offset": s.triangles_offset,
        "triangles": [
            {
                "corners": [t.index(0), t.index(1), t.index(2)],
                "edges": [t.edge(0), t.edge(1), t.edge(2)],
                "normal": _vec(t.normal),
            }
            for t in s.triangles
        ],
    }


def _skin(k: Skin) -> Json:
    nb = len(k.bones)
    # Nested per frame; a file without bones has no samples at all.
    frames = []
    if nb:
        for f in range(len(k.samples) // nb):
            frames.append([{"matrix": _mat(s.matrix), "extra": _extra(s.extra)} for s in k.samples[f * nb : (f + 1) * nb]])
    return {
        "offset": k.offset,
        "bones": [
            {
                "offset": b.offset,
                "name": b.name,
                "matrix": _mat(b.matrix),
                "extra": _extra(b.extra),
                "sibling": b.sibling,
                "parent": b.parent,
                "child": b.child,
            }
            for b in k.bones
        ],
        "frames_offset": k.frames_offset,
        "frame_count": k.frame_count,
        "frame_rate": _f(k.frame_rate),
        "frames": frames,
        "vertex_refs": [
            {"offset": lst.offset, "refs": [{"bone": b, "weight": _f(w)} for b, w in lst.refs]} for lst in k.vertex_refs
        ],
        "end_mark_offset": k.end_mark_offset,
        "end_mark": k.end_mark,
        "notes_offset": k.notes_offset,
        "notes": [{"offset": n.offset, "text": n.text, "frame": n.frame} for n in k.notes],
    }


def _mesh(m: MeshRecord) -> Dict[str, Json]:
    return {
        "type": "mesh",
        "name": m.name,
        "parent": m.parent,
        "positions_offset": m.positions_offset,
        "positions": [_vec(p) for p in m.positions],
        "skin": _skin(m.skin) if m.skin is not None else None,
        "materials_offset": m.materials_offset,
        "materials": [_section(s) for s in m.materials],
        "name_offset": m.name_offset,
    }


def _light(l: LightRecord) -> Dict[str, Json]:
    j: Dict[str, Json] = {
        "type": l.kind,
        "name": l.name,
        "parent": l.parent,
        "position": _vec(l.position),
        "range_start": _f(l.range_start),
        "range_end": _f(l.range_end),
        "colour": _vec(l.colour),
        "intensity": _f(l.intensity),
        "on": l.on,
    }
    if l.spot is not None:
        j["hotspot"] = _f(l.spot.hotspot)
        j["falloff"] = _f(l.spot.falloff)
        j["direction"] = _vec(l.spot.direction)
        j["target_distance"] = _f(l.spot.target_distance)
    return j


def to_json(result: ParseResult) -> Json:
    """Every field and array in file order; "error" is None or {offset, message}."""
    records: List[Json] = []
    for r in result.records:
        j: Dict[str, Json] = {"offset": r.offset, "size": r.size}
        j.update(_mesh(r) if isinstance(r, MeshRecord) else _light(r))
        records.append(j)
    error: Json = None
    if result.error is not None:
        error = {"offset": result.error.offset, "message": result.error.what}
    return {"records": records, "error": error}


# ---- Text as nlohmann::json's dump(2) writes it ------------------------------

_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _string(s: str) -> str:
    out = []
    for ch in s:
        if ch in _ESCAPES:
            out.append(_ESCAPES[ch])
        elif ord(ch) < 0x20:
            out.append("\\u%04x" % ord(ch))
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def _number(x: float) -> str:
    """The shortest round-trip digits, laid out as nlohmann's to_chars does."""
    if not math.isfinite(x):
        return "null"
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    sign = "-" if x < 0 else ""
    mantissa, exp = ("%r" % abs(x)).split("e") if "e" in repr(abs(x)) else (repr(abs(x)), "0")
    # Digits and the decimal exponent of their last digit.
    if "." in mantissa:
        whole, frac = mantissa.split(".")
        if frac == "0":
            frac = ""
    else:
        whole, frac = mantissa, ""
    digits = (whole + frac).lstrip("0")
    e = int(exp) - len(frac)
    stripped = digits.rstrip("0")
    e += len(digits) - len(stripped)
    digits = stripped
    k = len(digits)
    n = k + e
    if k <= n <= 15:
        text = digits + "0" * (n - k) + ".0"
    elif 0 < n <= 15:
        text = digits[:n] + "." + digits[n:]
    elif -4 < n <= 0:
        text = "0." + "0" * (-n) + digits
    else:
        m = n - 1
        text = (digits if k == 1 else digits[0] + "." + digits[1:]) + "e" + ("-" if m < 0 else "+") + "%02d" % abs(m)
    return sign + text


def dumps(value: Json, indent: int = 2, _level: int = 0) -> str:
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return _number(value)
    if isinstance(value, str):
        return _string(value)
    pad = " " * (indent * (_level + 1))
    end = " " * (indent * _level)
    if isinstance(value, list):
        if not value:
            return "[]"
        return "[\n" + ",\n".join(pad + dumps(v, indent, _level + 1) for v in value) + "\n" + end + "]"
    if not value:
        return "{}"
    items = (pad + _string(k) + ": " + dumps(v, indent, _level + 1) for k, v in value.items())
    return "{\n" + ",\n".join(items) + "\n" + end + "}"
