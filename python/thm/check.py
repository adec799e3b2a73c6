"""Structural validation, as thmdump --check does it: the first problem in file order."""

from __future__ import annotations

import math
from typing import List, Optional

from .model import MaterialSection, MeshRecord, Problem, Record, Skin, Vec3
from .reader import parse

NORMAL_TOLERANCE = 1e-3
SKIN_END_MARK = -14


def _g(x: float) -> str:
    # As C's %g: a NaN shows its sign.
    if math.isnan(x):
        return "-nan" if math.copysign(1.0, x) < 0 else "nan"
    return "%g" % x


def _str(v: Vec3) -> str:
    return f"({_g(v[0])}, {_g(v[1])}, {_g(v[2])})"


def _is_unit(v: Vec3) -> bool:
    try:
        length = math.sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2])
    except (ValueError, OverflowError):
        return False
    return abs(length - 1.0) <= NORMAL_TOLERANCE  # false for NaN


def _is_zero(v: Vec3) -> bool:
    return v[0] == 0 and v[1] == 0 and v[2] == 0


def _link_in_range(link: int, count: int) -> bool:
    return link == -1 or 0 <= link < count


def _flags_offset(s: MaterialSection) -> int:
    h = s.header
    at = s.offset
    at += len(h.diffuse_map) + 1 if h.diffuse_map is not None else 1
    at += len(h.name) + 1
    at += len(h.reflection_map.file) + 5 if h.reflection_map is not None else 1
    at += len(h.self_illum_map.file) + 5 if h.self_illum_map is not None else 1
    return at


def _skin(k: Skin, position_count: int) -> Optional[Problem]:
    nb = len(k.bones)
    for i, b in enumerate(k.bones):
        links = b.offset + len(b.name) + 1 + 48 + 12
        who = f"bone {i} "
        if not _link_in_range(b.sibling, nb):
            return Problem(links, f"{who}sibling {b.sibling} out of range")
        if not _link_in_range(b.parent, nb):
            return Problem(links + 4, f"{who}parent {b.parent} out of range")
        if not _link_in_range(b.child, nb):
            return Problem(links + 8, f"{who}child {b.child} out of range")
        # Links must describe one tree: siblings share a parent, a child points back.
        if b.sibling != -1 and k.bones[b.sibling].parent != b.parent:
            return Problem(links, f"{who}sibling {b.sibling} has another parent")
        if b.child != -1 and k.bones[b.child].parent != i:
            return Problem(links + 8, f"{who}child {b.child} does not name it as parent")
    if k.frame_count < 0:
        return Problem(k.frames_offset, "frame count is negative")
    if not (k.frame_rate > 0) or not math.isfinite(k.frame_rate):
        return Problem(k.frames_offset + 4, "frame rate is not a positive number")
    if len(k.vertex_refs) != position_count:
        return Problem(k.frames_offset, "bone reference lists do not match the position count")
    for i, lst in enumerate(k.vertex_refs):
        if not lst.refs:
            return Problem(lst.offset, f"position {i} has no bone reference")
        for j, (bone, _) in enumerate(lst.refs):
            if bone < 0 or bone >= nb:
                return Problem(lst.offset + 8 * j, f"position {i} refers to bone {bone} of {nb}")
    if k.end_mark != SKIN_END_MARK:
        return Problem(k.end_mark_offset, f"expected end mark -14, found {k.end_mark}")
    for n in k.notes:
        if len(n.text) > 255:
            return Problem(n.offset, "note text longer than 255 bytes")
    return None


def _section(s: MaterialSection, index: int, position_count: int) -> Optional[Problem]:
    sec = f"material {index} "
    if s.header.long_form and (s.header.flags & 0xF0) != 0:
        return Problem(_flags_offset(s), sec + "flags byte has unused bits set")
    for i, v in enumerate(s.vertices):
        at = s.vertices_offset + 4 + 24 * i
        who = f"{sec}vertex {i} "
        if v.sv < 0 or v.sv >= position_count:
            return Problem(at, f"{who}position index {v.sv} outside {position_count} positions")
        if not _is_unit(v.normal):
            return Problem(at + 12, f"{who}normal {_str(v.normal)} is not unit length")
    nv = len(s.vertices)
    for i, t in enumerate(s.triangles):
        at = s.triangles_offset + 4 + 24 * i
        who = f"{sec}triangle {i} "
        for k in range(3):
            if t.index(k) >= nv:
                return Problem(at + 4 * k, f"{who}corner {k} refers to vertex {t.index(k)} of {nv}")
        sv = [s.vertices[t.index(k)].sv for k in range(3)]
        if sv[0] == sv[1] or sv[1] == sv[2] or sv[0] == sv[2]:
            return Problem(at, who + "has two corners on one position")
        # A zero normal is how a degenerate triangle is written.
        if not _is_unit(t.normal) and not _is_zero(t.normal):
            return Problem(at + 12, f"{who}face normal {_str(t.normal)} is neither unit length nor zero")
    return None


def _mesh(m: MeshRecord) -> Optional[Problem]:
    if not m.positions:
        return Problem(m.positions_offset, "mesh record has no positions")
    if m.skin_flag > 1:
        return Problem(m.offset, "skin flag is neither 0 nor 1")
    if m.skin is not None:
        p = _skin(m.skin, len(m.positions))
        if p:
            return p
    for i, s in enumerate(m.materials):
        p = _section(s, i, len(m.positions))
        if p:
            return p
    return None


def check_records(records: List[Record]) -> Optional[Problem]:
    """Checks records already read."""
    for r in records:
        if isinstance(r, MeshRecord):
            p = _mesh(r)
            if p:
                return p
    return None


def check(data: bytes) -> Optional[Problem]:
    """Reads and checks the bytes; the first problem in file order, or None."""
    result = parse(data)
    # Records read before a parse fault lie before it, so their problems come first.
    return check_records(result.records) or result.error
