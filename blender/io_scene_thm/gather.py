"""Blender's scene as one of our scene documents (docs/scene-format.md): the
host scene the plug-in exports. One function per concept: nodes, meshes,
smoothing, materials, skins and their motion, lights, notes."""

from __future__ import annotations

import math
import os
import re
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

import bpy
import numpy as np
from mathutils import Matrix

Json = Dict[str, Any]
TICKS_PER_SECOND = 4800
MESHLIKE = {"MESH", "CURVE", "SURFACE", "FONT", "META"}
# A class id of no standard material: the plug-in warns and exports it anyway.
OTHER_MATERIAL = ["0x5461726e", "0x426c6e64"]


@dataclass
class Options:
    use_selection: bool = False
    apply_modifiers: bool = True
    global_scale: float = 1.0
    frame_start: Optional[int] = None  # None: the scene's range
    frame_end: Optional[int] = None
    copy_textures: bool = False
    output_dir: str = ""


def rows(m: Matrix) -> List[List[float]]:
    """A Blender matrix (column vectors) as the host's four rows: axes, then translation."""
    return [[m[0][c], m[1][c], m[2][c]] for c in range(4)]


def ticks_per_frame(scene: Any) -> int:
    fps = scene.render.fps / scene.render.fps_base
    return max(1, int(round(TICKS_PER_SECOND / fps)))


class Gatherer:
    def __init__(self, context: Any, options: Options, progress: Callable[[str], None] = lambda s: None) -> None:
        self.context = context
        self.scene = context.scene
        self.options = options
        self.progress = progress
        self.warnings: List[str] = []
        self.materials: Dict[str, Json] = {}
        self.images: Dict[str, Any] = {}
        self.node_names: Set[str] = set()
        self.start = self.scene.frame_start if options.frame_start is None else options.frame_start
        self.end = self.scene.frame_end if options.frame_end is None else options.frame_end
        self.tpf = ticks_per_frame(self.scene)
        self.scale = Matrix.Scale(options.global_scale, 4)
        # Bone nodes to sample: (node dict, armature object, bone name, parent world getter).
        self.bone_nodes: List[Tuple[Json, Any, str, Optional[str]]] = []
        # armature name -> bone name -> the name of the bone's node, fixed before any node is made.
        self.bone_node_names: Dict[str, Dict[str, str]] = {}

    # ---- Names -------------------------------------------------------------------

    def unique(self, name: str) -> str:
        """Node names are unique in a document where skins name their bones' nodes."""
        out, n = name, 1
        while out in self.node_names:
            out = f"{name}.{n:03d}"
            n += 1
        self.node_names.add(out)
        return out

    # ---- Which objects ---------------------------------------------------------------

    def objects(self) -> List[Any]:
        layer = self.context.view_layer
        in_layer = {o.name for o in layer.objects}
        out = []
        for o in self.scene.objects:
            if self.options.use_selection and not (o.name in in_layer and o.select_get()):
                continue
            out.append(o)
        return out

    def hidden(self, obj: Any) -> bool:
        layer = self.context.view_layer
        if obj.name not in layer.objects:
            return True  # excluded from the view layer
        return bool(obj.hide_get() or obj.hide_viewport)

    # ---- The document -------------------------------------------------------------

    def document(self) -> Json:
        self.scene.frame_set(self.start)
        chosen = self.objects()
        chosen_names = {o.name for o in chosen}
        nodes: List[Json] = []
        markers = self.markers()
        if markers:
            # First in the walk, so that the notes are collected before any skin is written.
            nodes.append({"name": self.unique("Timeline markers"), "object": {"class": "dummy"},
                          "noteTracks": [{"keys": markers}]})
        roots = [o for o in chosen if o.parent is None or o.parent.name not in chosen_names]
        # A skin names its bones' nodes: their names are settled before any node is made.
        for obj in chosen:
            if obj.type == "ARMATURE":
                self.bone_node_names[obj.name] = {b.name: self.unique(b.name) for b in self.deforming_bones(obj)}
        for obj in sorted(roots, key=lambda o: str(o.name)):
            node = self.node(obj, chosen_names, None)
            if node is not None:
                nodes.append(node)
        self.sample_bones()
        doc: Json = {
            "format": "thm-scene",
            "version": 1,
            "ticksPerFrame": self.tpf,
            "animationRange": [0, (self.end - self.start) * self.tpf],
            "materials": self.materials,
            "nodes": nodes,
        }
        return doc

    def node(self, obj: Any, chosen: Set[str], parent_world: Optional[Matrix]) -> Optional[Json]:
        world = obj.matrix_world.copy()
        local = world if parent_world is None else parent_world.inverted_safe() @ world
        if parent_world is None:
            local = self.scale @ local
        node: Json = {"name": self.unique(obj.name), "transform": rows(local)}
        if self.hidden(obj):
            node["hidden"] = True
        self.progress(obj.name)
        if obj.type in MESHLIKE:
            self.mesh(obj, node)
        elif obj.type == "LIGHT":
            if not self.light(obj, node):
                return None
        elif obj.type == "ARMATURE":
            node["object"] = {"class": "dummy"}
            node["children"] = self.bones(obj, node)
        else:
            node["object"] = {"class": "dummy"}
        children = [c for c in obj.children if c.name in chosen]
        kids = [k for k in (self.node(c, chosen, world) for c in sorted(children, key=lambda c: str(c.name))) if k]
        if kids:
            node.setdefault("children", []).extend(kids)
        return node

    # ---- Meshes ---------------------------------------------------------------------

    def evaluated_mesh(self, obj: Any) -> Tuple[Optional[Any], Any]:
        """The mesh to export and the object to clear it from (None: the object's own data,
        read as it is, without a copy: a mesh with no modifier, shape key or angle-split
        edges to mark)."""
        if obj.type == "MESH":
            me = obj.data
            plain = me.shape_keys is None and not (getattr(me, "use_auto_smooth", False) and
                                                    getattr(me, "auto_smooth_angle", math.pi) < math.pi)
            if plain and (not self.options.apply_modifiers or not any(m.show_viewport for m in obj.modifiers)):
                return None, me
            if not self.options.apply_modifiers:
                return obj, obj.to_mesh()
        depsgraph = self.context.evaluated_depsgraph_get()
        owner = obj.evaluated_get(depsgraph)
        return owner, owner.to_mesh(preserve_all_data_layers=True, depsgraph=depsgraph)

    def mesh(self, obj: Any, node: Json) -> None:
        try:
            owner, me = self.evaluated_mesh(obj)
        except RuntimeError as e:
            self.warnings.append(f'object "{obj.name}" cannot be converted to a mesh ({e}); not exported')
            node["object"] = {"class": "dummy"}
            return
        if me is None:
            self.warnings.append(f'object "{obj.name}" cannot be converted to a mesh; not exported')
            node["object"] = {"class": "dummy"}
            return
        try:
            node["object"] = self.mesh_object(obj, me)
            self.node_material(obj, me, node)
            skin = self.skin(obj, me)
            if skin is not None:
                node["modifiers"] = [skin]
        finally:
            if owner is not None:
                owner.to_mesh_clear()

    def mesh_object(self, obj: Any, me: Any) -> Json:
        """The mesh as numpy arrays, read with foreach_get: no Python object per vertex."""
        me.calc_loop_triangles()
        nv, nt = len(me.vertices), len(me.loop_triangles)
        verts = np.empty(nv * 3, dtype=np.float32)
        me.vertices.foreach_get("co", verts)
        tris = me.loop_triangles
        faces = np.empty(nt * 3, dtype=np.int32)
        tris.foreach_get("vertices", faces)
        poly = np.empty(nt, dtype=np.int32)
        tris.foreach_get("polygon_index", poly)
        smoothing = self.smoothing(me)
        out: Json = {"class": "mesh", "vertices": verts.reshape(-1, 3), "faces": faces.reshape(-1, 3),
                     "smoothing": smoothing[poly] if nt else np.empty(0, dtype=np.int64)}
        if len(me.materials) > 1:
            mats = np.empty(nt, dtype=np.int32)
            tris.foreach_get("material_index", mats)
            out["materialIds"] = np.minimum(mats, 65535)
        uv_layer = me.uv_layers.active
        if uv_layer is not None and nt:
            loops = np.empty(nt * 3, dtype=np.int32)
            tris.foreach_get("loops", loops)
            uv = np.empty(len(me.loops) * 2, dtype=np.float32)
            uv_layer.data.foreach_get("uv", uv)
            out["tverts"], out["tvfaces"] = self.texture_vertices(me, uv.reshape(-1, 2), loops)
        return out

    def texture_vertices(self, me: Any, uv: Any, corner_loops: Any) -> Tuple[Any, Any]:
        """Texture vertices welded per mesh vertex, in linear time: a vertex's loops that hold
        its first loop's (u, v) share one texture vertex; the others (seams) get their own. The
        plug-in tells texture coordinates apart by value, so how they are welded changes no byte
        of the file; this keeps the document and thmexport's memory small without a sort."""
        nl = len(uv)
        loop_vertex = np.empty(nl, dtype=np.int32)
        me.loops.foreach_get("vertex_index", loop_vertex)
        first = np.full(len(me.vertices), -1, dtype=np.int32)
        first[loop_vertex[::-1]] = np.arange(nl - 1, -1, -1, dtype=np.int32)
        same = np.all(uv == uv[first[loop_vertex]], axis=1)
        used = first >= 0
        vertex_tvert = np.cumsum(used, dtype=np.int32) - 1
        seams = np.flatnonzero(~same).astype(np.int32)
        loop_tvert = vertex_tvert[loop_vertex]
        loop_tvert[seams] = int(used.sum()) + np.arange(len(seams), dtype=np.int32)
        tverts = np.concatenate([uv[first[used]], uv[seams]])
        return tverts, loop_tvert[corner_loops].reshape(-1, 3)

    def smoothing(self, me: Any) -> Any:
        """Blender's own smoothing groups as bit flags: flat faces 0; the edges Blender shades
        sharp split groups. Blender 3.x shades sharp edges, and edges steeper than the auto
        smooth angle, only with auto smooth on; from 4.1 sharp edges always count."""
        auto = getattr(me, "use_auto_smooth", True)
        if not auto:
            smooth = np.empty(len(me.polygons), dtype=bool)
            me.polygons.foreach_get("use_smooth", smooth)
            return smooth.astype(np.int64)
        angle = getattr(me, "auto_smooth_angle", math.pi)
        if angle < math.pi:
            # The mesh is a temporary copy: its edges may be marked.
            faces_of: Dict[Tuple[int, int], List[int]] = {}
            for p in me.polygons:
                for key in p.edge_keys:
                    faces_of.setdefault(key, []).append(p.index)
            cos_limit = math.cos(angle)
            for e in me.edges:
                faces = faces_of.get(e.key, [])
                if len(faces) == 2 and not e.use_edge_sharp:
                    n0, n1 = me.polygons[faces[0]].normal, me.polygons[faces[1]].normal
                    if n0.dot(n1) < cos_limit:
                        e.use_edge_sharp = True
        groups, _count = me.calc_smooth_groups(use_bitflags=True)
        smooth = np.empty(len(me.polygons), dtype=bool)
        me.polygons.foreach_get("use_smooth", smooth)
        return np.where(smooth, np.asarray(groups, dtype=np.int64), 0)

    # ---- Materials -------------------------------------------------------------------

    def node_material(self, obj: Any, me: Any, node: Json) -> None:
        mats = list(me.materials)
        if not mats:
            return
        ids = [self.material(m) if m is not None else None for m in mats]
        if len(ids) == 1:
            node["material"] = ids[0]
            return
        key = "multi:" + "|".join(str(i) for i in ids)
        if key not in self.materials:
            self.materials[key] = {"class": "multi", "name": obj.name, "subMaterials": ids}
        node["material"] = key

    def material(self, mat: Any) -> str:
        key = "material:" + str(mat.name)
        if key in self.materials:
            return key
        principled = None
        if mat.use_nodes and mat.node_tree is not None:
            principled = next((n for n in mat.node_tree.nodes if n.type == "BSDF_PRINCIPLED"), None)
        if principled is None:
            # Not a material the plug-in reads exactly: exported with its own warning.
            self.materials[key] = {"class": "other", "name": mat.name, "classId": OTHER_MATERIAL}
            return key
        out: Json = {"class": "standard", "name": mat.name, "twoSided": not mat.use_backface_culling}
        alpha = principled.inputs.get("Alpha")
        if alpha is not None and not alpha.is_linked:
            out["opacity"] = float(alpha.default_value)
        maps: Json = {}
        base = self.image_of(principled.inputs.get("Base Color"))
        if base is not None:
            maps["diffuse"] = {"map": base}
        # "Emission" in Blender 3.x, "Emission Color" from 4.0.
        emission = principled.inputs.get("Emission Color") or principled.inputs.get("Emission")
        glow = self.image_of(emission)
        if glow is not None:
            maps["selfIllum"] = {"map": glow}
        if maps:
            out["maps"] = maps
        self.materials[key] = out
        return key

    def image_of(self, socket: Any) -> Optional[Json]:
        """The bitmap behind a socket: an image texture node linked to it, directly."""
        if socket is None or not socket.is_linked:
            return None
        node = socket.links[0].from_node
        if node.type != "TEX_IMAGE" or node.image is None:
            return None
        image = node.image
        path = bpy.path.abspath(image.filepath) if image.filepath else ""
        name = os.path.basename(path.replace("\\", "/")) or (image.name + ".png")
        if not image.packed_file and (not path or not os.path.isfile(path)):
            message = f'image "{image.name}" not found ({path or "no file"})'
            if message not in self.warnings:
                self.warnings.append(message)
        self.images[name] = image
        return {"class": "bitmap", "fileName": name}

    # ---- Skins --------------------------------------------------------------------------

    def armature_of(self, obj: Any) -> Optional[Any]:
        for mod in obj.modifiers:
            if mod.type == "ARMATURE" and mod.object is not None and mod.show_viewport:
                return mod.object
        return None

    def deforming_bones(self, arm: Any) -> List[Any]:
        return [b for b in arm.data.bones if b.use_deform]

    def bones(self, arm: Any, arm_node: Json) -> List[Json]:
        """The deforming bones as nodes under the armature's, in their hierarchy."""
        deform = self.deforming_bones(arm)
        node_name = self.bone_node_names[arm.name]
        names = {b.name for b in deform}
        made: Dict[str, Json] = {}
        top: List[Json] = []
        for b in deform:  # parents come before their children in arm.data.bones
            parent = b.parent
            while parent is not None and parent.name not in names:
                parent = parent.parent
            node: Json = {"name": node_name[b.name], "object": {"class": "dummy"}}
            made[b.name] = node
            self.bone_nodes.append((node, arm, b.name, parent.name if parent else None))
            if parent is None:
                top.append(node)
            else:
                made[parent.name].setdefault("children", []).append(node)
        return top

    def skin(self, obj: Any, me: Any) -> Optional[Json]:
        arm = self.armature_of(obj)
        if arm is None:
            return None
        if arm.name not in self.bone_node_names:
            self.warnings.append(f'object "{obj.name}": its armature "{arm.name}" is not exported; no skin')
            return None
        node_name = self.bone_node_names[arm.name]
        deform = self.deforming_bones(arm)
        column = {b.name: i for i, b in enumerate(deform)}
        groups = {g.index: column.get(g.name) for g in obj.vertex_groups}
        weights = np.zeros((len(me.vertices), len(deform)), dtype=np.float32)
        for v in me.vertices:
            for g in v.groups:
                c = groups.get(g.group)
                if c is not None:
                    weights[v.index, c] = g.weight
        return {"class": "skin", "bones": [{"node": node_name[b.name], "name": b.name} for b in deform],
                "weights": weights}

    def sample_bones(self) -> None:
        """Every bone's transform at every frame, as Blender poses it (constraints,
        drivers and IK included): keys at each frame's tick."""
        if not self.bone_nodes:
            return
        frames = list(range(self.start, self.end + 1)) if self.end >= self.start else [self.start]
        keys: List[List[Json]] = [[] for _ in self.bone_nodes]
        for f in frames:
            self.scene.frame_set(f)
            self.progress(f"frame {f}")
            for k, (node, arm, bone, parent) in enumerate(self.bone_nodes):
                world = arm.matrix_world @ arm.pose.bones[bone].matrix
                if parent is None:
                    local = arm.matrix_world.inverted_safe() @ world
                else:
                    local = (arm.matrix_world @ arm.pose.bones[parent].matrix).inverted_safe() @ world
                keys[k].append({"time": (f - self.start) * self.tpf, "transform": rows(local)})
        self.scene.frame_set(self.start)
        for (node, _a, _b, _p), node_keys in zip(self.bone_nodes, keys):
            node["transform"] = node_keys[0]["transform"]
            if len(node_keys) > 1:
                node["animation"] = node_keys

    # ---- Lights ------------------------------------------------------------------------

    def light(self, obj: Any, node: Json) -> bool:
        light = obj.data
        if light.type not in ("POINT", "SPOT"):
            self.warnings.append(f'light "{obj.name}": {light.type.lower()} lights are not exportable; no record')
            return False
        out: Json = {"class": "light", "type": "omni" if light.type == "POINT" else "spot",
                     "color": list(light.color), "intensity": light.energy / 1000.0}
        if getattr(light, "use_custom_distance", False):
            d = light.cutoff_distance
            out["farAttenuation"] = {"on": True, "start": d, "end": d}
            out["targetDistance"] = d
        if light.type == "SPOT":
            falloff = math.degrees(light.spot_size)
            out["falloff"] = falloff
            out["hotspot"] = falloff * (1.0 - light.spot_blend)
        node["object"] = out
        return True

    # ---- Notes -----------------------------------------------------------------------

    def markers(self) -> List[Json]:
        keys = [{"time": (m.frame - self.start) * self.tpf, "text": m.name}
                for m in sorted(self.scene.timeline_markers, key=lambda m: (m.frame, m.name)) if m.name]
        for obj in self.scene.objects:
            ad = obj.animation_data if obj.type == "ARMATURE" else None
            action = ad.action if ad is not None else None
            if action is not None:
                keys += [{"time": (m.frame - self.start) * self.tpf, "text": m.name}
                         for m in sorted(action.pose_markers, key=lambda m: (m.frame, m.name)) if m.name]
        return keys


def safe_name(name: str) -> str:
    """An action's name as part of a file name."""
    return re.sub(r"[^A-Za-z0-9._-]+", "_", name).strip("._") or "action"
