"""Reading .thm bytes into the objects of thm.model, as the C++ reader does:
the same checks, the same offsets and the same problem texts."""

from __future__ import annotations

import struct
from typing import List, NoReturn, Optional, Tuple

from .model import (
    Bone,
    BoneSample,
    LightRecord,
    MapRef,
    MaterialHeader,
    MaterialSection,
    Matrix43,
    MeshRecord,
    Note,
    ParseError,
    ParseResult,
    Problem,
    Record,
    Skin,
    SpotParams,
    Triangle,
    Vec3,
    Vertex,
    VertexRefs,
)

RECORD_LEAD = 8
MESH, OMNI, SPOT = 0, 1, 2
ABSENT_NAME = 1
SHORT_HEADER = 0
REF_LIST_END = -1

# Smallest encodings, used to refuse counts the remaining bytes cannot hold.
POSITION_SIZE = 12
MIN_BONE_SIZE = 1 + 48 + 12 + 12
SAMPLE_SIZE = 60
MIN_REF_LIST_SIZE = 4
MIN_SECTION_SIZE = 1 + 4 + 4
VERTEX_SIZE = 24
TRIANGLE_SIZE = 24

_U32 = struct.Struct("<I")
_I32 = struct.Struct("<i")
_F32 = struct.Struct("<f")
_VEC3 = struct.Struct("<3f")
_MAT = struct.Struct("<12f")
_EXTRA = struct.Struct("<3I")
_VERTEX = struct.Struct("<i2f3f")
_TRIANGLE = struct.Struct("<3I3f")


class _Cursor:
    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def remaining(self) -> int:
        return len(self.data) - self.pos

    def fail(self, offset: int, what: str) -> NoReturn:
        raise ParseError(offset, what)

    def need(self, n: int, what: str) -> None:
        if self.remaining() < n:
            self.fail(self.pos, f"truncated: expected {what} ({n} bytes), {self.remaining()} left")

    def peek(self, what: str) -> int:
        self.need(1, what)
        return self.data[self.pos]

    def u8(self, what: str) -> int:
        self.need(1, what)
        self.pos += 1
        return self.data[self.pos - 1]

    def u32(self, what: str) -> int:
        self.need(4, what)
        self.pos += 4
        return int(_U32.unpack_from(self.data, self.pos - 4)[0])

    def i32(self, what: str) -> int:
        self.need(4, what)
        self.pos += 4
        return int(_I32.unpack_from(self.data, self.pos - 4)[0])

    def f32(self, what: str) -> float:
        self.need(4, what)
        self.pos += 4
        return float(_F32.unpack_from(self.data, self.pos - 4)[0])

    def vec3(self, what: str) -> Vec3:
        self.need(12, what)
        v = _VEC3.unpack_from(self.data, self.pos)
        self.pos += 12
        return (v[0], v[1], v[2])

    def matrix(self, what: str) -> Matrix43:
        self.need(48, what)
        m = _MAT.unpack_from(self.data, self.pos)
        self.pos += 48
        return ((m[0], m[1], m[2]), (m[3], m[4], m[5]), (m[6], m[7], m[8]), (m[9], m[10], m[11]))

    def extra(self, what: str) -> Tuple[int, int, int]:
        self.need(12, what)
        e = _EXTRA.unpack_from(self.data, self.pos)
        self.pos += 12
        return (e[0], e[1], e[2])

    def text(self, what: str) -> str:
        end = self.data.find(b"\0", self.pos)
        if end < 0:
            self.fail(self.pos, f"truncated: expected zero-terminated {what}")
        s = self.data[self.pos : end].decode("latin-1")
        self.pos = end + 1
        return s

    def count(self, what: str, min_size: int) -> int:
        at = self.pos
        n = self.i32(what)
        if n < 0:
            self.fail(at, f"{what} is negative ({n})")
        if min_size != 0 and n > self.remaining() // min_size:
            self.fail(at, f"{what} {n} needs at least {n * min_size} bytes, {self.remaining()} left")
        return n


def _optional_name(c: _Cursor, what: str) -> Optional[str]:
    # A string that itself begins with byte 1 cannot be told apart; it reads as absent.
    if c.peek(what) == ABSENT_NAME:
        c.u8(what)
        return None
    return c.text(what)


def _optional_map(c: _Cursor, name_what: str, amount_what: str) -> Optional[MapRef]:
    file = _optional_name(c, name_what)
    if file is None:
        return None
    return MapRef(file, c.f32(amount_what))


def _header(c: _Cursor) -> MaterialHeader:
    h = MaterialHeader()
    if c.peek("material header") == SHORT_HEADER:
        c.u8("material header")
        return h
    h.long_form = True
    h.diffuse_map = _optional_name(c, "diffuse map name or byte 1")
    h.name = c.text("material name")
    h.reflection_map = _optional_map(c, "reflection map name or byte 1", "reflection amount")
    h.self_illum_map = _optional_map(c, "self-illumination map name or byte 1", "self-illumination amount")
    h.flags = c.u8("material flags")
    h.opacity = c.f32("opacity")
    return h


def _section(c: _Cursor) -> MaterialSection:
    s = MaterialSection(c.pos, _header(c))
    s.vertices_offset = c.pos
    nv = c.count("vertex count", VERTEX_SIZE)
    # The count is checked against the bytes left, so the whole run is there.
    for sv, u, v, nx, ny, nz in _VERTEX.iter_unpack(c.data[c.pos : c.pos + VERTEX_SIZE * nv]):
        s.vertices.append(Vertex(sv, u, v, (nx, ny, nz)))
    c.pos += VERTEX_SIZE * nv

    s.triangles_offset = c.pos
    nt = c.count("triangle count", TRIANGLE_SIZE)
    for a, b, d, nx, ny, nz in _TRIANGLE.iter_unpack(c.data[c.pos : c.pos + TRIANGLE_SIZE * nt]):
        s.triangles.append(Triangle((a, b, d), (nx, ny, nz)))
    c.pos += TRIANGLE_SIZE * nt
    return s


def _skin(c: _Cursor, position_count: int) -> Skin:
    k = Skin(c.pos)
    nb = c.count("bone count", MIN_BONE_SIZE)
    for _ in range(nb):
        offset = c.pos
        name = c.text("bone name")
        matrix = c.matrix("bone matrix")
        extra = c.extra("bone extra words")
        sibling = c.i32("bone sibling")
        parent = c.i32("bone parent")
        child = c.i32("bone child")
        k.bones.append(Bone(offset, name, matrix, extra, sibling, parent, child))

    k.frames_offset = c.pos
    nf = c.count("frame count", 0)
    k.frame_rate = c.f32("frame rate")
    if nb != 0 and nf > c.remaining() // (nb * SAMPLE_SIZE):
        c.fail(
            k.frames_offset,
            f"frame count {nf} with {nb} bones needs more bytes than the {c.remaining()} left",
        )
    k.frame_count = nf
    for _ in range(nf * nb):
        k.samples.append(BoneSample(c.matrix("sample matrix"), c.extra("sample extra words")))

    if position_count > c.remaining() // MIN_REF_LIST_SIZE:
        c.fail(
            c.pos,
            f"truncated: expected {position_count} bone reference lists, {c.remaining()} bytes left",
        )
    for _ in range(position_count):
        refs = VertexRefs(c.pos, [])
        while True:
            bone = c.i32("bone id or -1")
            if bone == REF_LIST_END:
                break
            refs.refs.append((bone, c.f32("bone weight")))
        k.vertex_refs.append(refs)

    k.end_mark_offset = c.pos
    k.end_mark = c.i32("end mark -14")

    k.notes_offset = c.pos
    while True:
        offset = c.pos
        text = c.text("note text or empty terminator")
        if not text:
            break
        k.notes.append(Note(offset, text, c.i32("note frame")))
    return k


def _mesh(c: _Cursor, m: MeshRecord) -> None:
    m.positions_offset = c.pos
    np_ = c.count("position count", POSITION_SIZE)
    m.positions = [(x, y, z) for x, y, z in _VEC3.iter_unpack(c.data[c.pos : c.pos + POSITION_SIZE * np_])]
    c.pos += POSITION_SIZE * np_

    flag_at = c.pos
    m.skin_flag = c.u8("skin flag")
    if m.skin_flag > 1:
        c.fail(flag_at, f"expected skin flag 0 or 1, found {m.skin_flag}")
    if m.skin_flag == 1:
        m.skin = _skin(c, np_)

    m.materials_offset = c.pos
    nm = c.count("material count", MIN_SECTION_SIZE)
    for _ in range(nm):
        m.materials.append(_section(c))

    m.name_offset = c.pos
    m.name = c.text("node name")
    m.parent = c.text("parent name")


def _light(c: _Cursor, l: LightRecord) -> None:
    l.name = c.text("light name")
    l.parent = _optional_name(c, "parent name or byte 1")
    l.position = c.vec3("light position")
    l.range_start = c.f32("range start")
    l.range_end = c.f32("range end")
    l.colour = c.vec3("light colour")
    l.intensity = c.f32("light intensity")
    l.on = c.i32("light on switch")
    if l.kind == "spot":
        hotspot = c.f32("spot hotspot")
        falloff = c.f32("spot falloff")
        direction = c.vec3("spot direction")
        l.spot = SpotParams(hotspot, falloff, direction, c.f32("spot target distance"))


def _record(c: _Cursor) -> Record:
    offset = c.pos
    lead = c.u8("record lead byte 8")
    if lead != RECORD_LEAD:
        c.fail(offset, f"expected record lead byte 8, found {lead}")
    kind = c.u8("record kind")
    r: Record
    if kind == MESH:
        r = MeshRecord(offset=offset)
        _mesh(c, r)
    elif kind in (OMNI, SPOT):
        r = LightRecord(offset=offset, kind="spot" if kind == SPOT else "omni")
        _light(c, r)
    else:
        c.fail(offset + 1, f"expected record kind 0, 1 or 2, found {kind}")
    r.size = c.pos - offset
    return r


def parse(data: bytes) -> ParseResult:
    """Every record read completely, and the first fault if one stopped reading.
    Never raises on bad input."""
    c = _Cursor(bytes(data))
    records: List[Record] = []
    try:
        while c.remaining():
            records.append(_record(c))
    except ParseError as e:
        return ParseResult(records, Problem(e.offset, e.what))
    return ParseResult(records, None)


def read(data: bytes) -> List[Record]:
    """As parse, but raises ParseError at the first fault."""
    result = parse(data)
    if result.error is not None:
        raise ParseError(result.error.offset, result.error.what)
    return result.records


def load(path: str) -> ParseResult:
    """Parses the file at path; OSError when it cannot be read."""
    with open(path, "rb") as f:
        return parse(f.read())
