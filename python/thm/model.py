"""The records of a .thm file as plain objects (docs/thm-format.md).

Names are str, decoded as Latin-1 so that every byte of the file survives as
the code point of the same number. Offsets are byte offsets into the file.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import List, Optional, Tuple, Union

Vec3 = Tuple[float, float, float]
# Four rows: x axis, y axis, z axis, translation.
Matrix43 = Tuple[Vec3, Vec3, Vec3, Vec3]
Extra = Tuple[int, int, int]

TRANSPARENCY_MASK = 3
TWO_SIDED = 4
VR_NAME = 8
EDGE_VISIBLE = 0x80000000
CORNER_INDEX_MASK = 0x7FFFFFFF


@dataclass
class Problem:
    offset: int
    what: str


class ParseError(ValueError):
    """A fault in the bytes: where it is and what was wrong there."""

    def __init__(self, offset: int, what: str) -> None:
        super().__init__(f"offset {offset}: {what}")
        self.offset = offset
        self.what = what


@dataclass
class Bone:
    offset: int
    name: str
    matrix: Matrix43
    extra: Extra
    sibling: int
    parent: int
    child: int


@dataclass
class BoneSample:
    matrix: Matrix43
    extra: Extra


@dataclass
class VertexRefs:
    offset: int
    refs: List[Tuple[int, float]]  # (bone, weight) in file order


@dataclass
class Note:
    offset: int
    text: str
    frame: int


@dataclass
class Skin:
    offset: int
    bones: List[Bone] = field(default_factory=list)
    frames_offset: int = 0
    frame_count: int = 0
    frame_rate: float = 0.0
    samples: List[BoneSample] = field(default_factory=list)  # frame-major, frame_count * len(bones)
    vertex_refs: List[VertexRefs] = field(default_factory=list)
    end_mark_offset: int = 0
    end_mark: int = 0
    notes_offset: int = 0
    notes: List[Note] = field(default_factory=list)

    def sample(self, frame: int, bone: int) -> BoneSample:
        return self.samples[frame * len(self.bones) + bone]


@dataclass
class MapRef:
    file: str
    amount: float


@dataclass
class MaterialHeader:
    long_form: bool = False
    diffuse_map: Optional[str] = None
    name: str = ""
    reflection_map: Optional[MapRef] = None
    self_illum_map: Optional[MapRef] = None
    flags: int = 0
    opacity: float = 0.0

    @property
    def transparency_mode(self) -> int:
        return self.flags & TRANSPARENCY_MASK

    @property
    def two_sided(self) -> bool:
        return bool(self.flags & TWO_SIDED)

    @property
    def vr(self) -> bool:
        return bool(self.flags & VR_NAME)


@dataclass
class Vertex:
    sv: int
    u: float
    v: float
    normal: Vec3


@dataclass
class Triangle:
    corners: Tuple[int, int, int]  # the raw corner words
    normal: Vec3

    def index(self, k: int) -> int:
        return self.corners[k] & CORNER_INDEX_MASK

    def edge(self, k: int) -> bool:
        return bool(self.corners[k] & EDGE_VISIBLE)


@dataclass
class MaterialSection:
    offset: int
    header: MaterialHeader
    vertices_offset: int = 0
    vertices: List[Vertex] = field(default_factory=list)
    triangles_offset: int = 0
    triangles: List[Triangle] = field(default_factory=list)


@dataclass
class MeshRecord:
    offset: int = 0
    size: int = 0
    positions_offset: int = 0
    positions: List[Vec3] = field(default_factory=list)
    skin_flag: int = 0
    skin: Optional[Skin] = None
    materials_offset: int = 0
    materials: List[MaterialSection] = field(default_factory=list)
    name_offset: int = 0
    name: str = ""
    parent: str = ""  # empty when the node has no parent


@dataclass
class SpotParams:
    hotspot: float
    falloff: float
    direction: Vec3
    target_distance: float


@dataclass
class LightRecord:
    offset: int = 0
    size: int = 0
    kind: str = "omni"  # "omni" or "spot"
    name: str = ""
    parent: Optional[str] = None  # None: the file holds the byte 1
    position: Vec3 = (0.0, 0.0, 0.0)
    range_start: float = 0.0
    range_end: float = 0.0
    colour: Vec3 = (0.0, 0.0, 0.0)
    intensity: float = 0.0
    on: int = 0
    spot: Optional[SpotParams] = None


Record = Union[MeshRecord, LightRecord]


@dataclass
class ParseResult:
    records: List[Record]
    error: Optional[Problem]  # the first fault that stopped reading

    @property
    def ok(self) -> bool:
        return self.error is None
