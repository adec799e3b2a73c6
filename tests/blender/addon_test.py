"""The Blender add-on in headless Blender: scenes built by script, exported
through the plug-in, read back with the project's Python reader and compared
with what Blender itself reports.

  blender -b --factory-startup --python tests/blender/addon_test.py -- BIN_DIR

Groups: a cube with sharp edges and two materials (positions, smoothing,
normals, material names and maps); a smooth UV sphere (UVs, normals against
Blender's split normals); a skinned cylinder with a 20-frame action and
markers (weights, bone matrices at every frame, notes); a point and a spot
light; a hidden object; a modifier stack; one file per action; a failed export
that leaves the old file.
"""
import math
import os
import shutil
import sys
import tempfile

import bpy
from mathutils import Vector

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "python"))
sys.path.insert(0, os.path.join(ROOT, "blender"))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import io_scene_thm  # noqa: E402
import thm  # noqa: E402
from support.scripts import expect, failures  # noqa: E402

BIN = sys.argv[sys.argv.index("--") + 1]
os.environ["PATH"] = BIN + os.pathsep + os.environ["PATH"]  # the thmexport under test
corners_checked = [0, 0]  # within 1 degree of Blender's split normal, all


def close(a, b, tol=1e-4):
    return all(abs(x - y) <= tol * max(1.0, abs(y)) for x, y in zip(a, b))


def file_pos(world):
    """Where a Blender world position is in the file: the host's axes with y and z negated."""
    return (world[0], -world[1], -world[2])


def reset():
    bpy.ops.wm.read_factory_settings(use_empty=True)
    io_scene_thm.register() if not hasattr(bpy.types, "EXPORT_SCENE_OT_thm") else None


def export(path, **kw):
    return bpy.ops.export_scene.thm(filepath=path, **kw)


def textured(work, mat, name):
    """A PNG image saved in work, as mat's Principled BSDF base colour; the image."""
    mat.use_nodes = True
    img = bpy.data.images.new(name, 4, 4)
    img.filepath_raw = os.path.join(work, name + ".png")
    img.file_format = "PNG"
    img.save()
    tex = mat.node_tree.nodes.new("ShaderNodeTexImage")
    tex.image = img
    mat.node_tree.links.new(tex.outputs["Color"], mat.node_tree.nodes["Principled BSDF"].inputs["Base Color"])
    return img


def meshes(records):
    return {r.name: r for r in records if isinstance(r, thm.MeshRecord)}


def corners(rec):
    """(position, uv, normal, header, face normal) of every triangle corner of a record."""
    out = []
    for s in rec.materials:
        for t in s.triangles:
            for k in range(3):
                v = s.vertices[t.index(k)]
                out.append((rec.positions[v.sv], (v.u, v.v), v.normal, s.header, t.normal))
    return out


def blender_corners(obj):
    """(file position, file uv, best normal) of every loop of the evaluated mesh. The best normal is
    the most the smoothing-group rule can give: the plain sum of the triangle normals of the loops
    that share the loop's vertex and Blender's split normal there (its smooth fan), normalised."""
    dg = bpy.context.evaluated_depsgraph_get()
    ev = obj.evaluated_get(dg)
    me = ev.to_mesh()
    me.calc_normals_split()
    me.calc_loop_triangles()
    uv = me.uv_layers.active.data if me.uv_layers.active else None
    mw = obj.matrix_world
    fan = {}
    for lp in me.loops:
        fan[lp.index] = (lp.vertex_index, tuple(round(c, 4) for c in lp.normal))
    sums = {}
    for t in me.loop_triangles:
        for lp in t.loops:
            s = sums.setdefault(fan[lp], Vector((0, 0, 0)))
            s += t.normal
    out = []
    for loop in me.loops:
        p = mw @ me.vertices[loop.vertex_index].co
        best = sums.get(fan[loop.index], loop.normal)
        n = (mw.to_3x3() @ (best if best.length > 0 else loop.normal)).normalized()
        u = (uv[loop.index].uv[0], 1.0 - uv[loop.index].uv[1]) if uv else (0.0, 0.0)
        out.append((file_pos(p), u, file_pos(n)))
    ev.to_mesh_clear()
    return out


def match_corners(label, rec, obj, check_uv=True):
    """Every corner of the file at a Blender loop of the same position (and uv), and its normal near that loop's."""
    mine = blender_corners(obj)
    before = list(corners_checked)
    by_pos = {}
    for p, u, n in mine:
        by_pos.setdefault(tuple(round(c, 4) for c in p), []).append((p, u, n))
    ok_pos = ok_uv = True
    for p, u, n, head, face in corners(rec):
        cands = by_pos.get(tuple(round(c, 4) for c in p), [])
        ok_pos &= bool(cands)
        if check_uv:
            # The plug-in's rule: a standard material's diffuse map gives (u, 1 - v); a standard material
            # without one gives (0, 0); no material gives (0, 0) too.
            if head.long_form and head.diffuse_map:
                cands = [c for c in cands if close(c[1], u, 1e-5)] or cands
                ok_uv &= any(close(c[1], u, 1e-5) for c in cands)
            else:
                ok_uv &= u == (0.0, 0.0)
        if cands:
            dot = max(sum(a * b for a, b in zip(n, c[2])) for c in cands)
            # A two-sided material's back copies face away from Blender's normals; the plug-in
            # smooths them together (they share the back-side bit), so they are not measured.
            if head.long_form and head.two_sided:
                continue
            best = dot
            corners_checked[1] += 1
            corners_checked[0] += best >= math.cos(math.radians(1.0))
    print(f"{label}: normals within 1 degree {corners_checked[0] - before[0]} of {corners_checked[1] - before[1]}")
    expect(ok_pos, f"{label}: positions")
    if check_uv:
        expect(ok_uv, f"{label}: UVs (v as 1 - v)")


def read(path):
    return thm.read(open(path, "rb").read())


def cube_with_sharp_edges(work):
    reset()
    bpy.ops.mesh.primitive_cube_add(size=2, location=(1, 2, 3))
    cube = bpy.context.active_object
    cube.name = "Crate"
    cube.data.use_auto_smooth = True  # Blender 3.x shades sharp edges only with auto smooth
    cube.data.auto_smooth_angle = math.pi
    for p in cube.data.polygons:
        p.use_smooth = True
    for e in cube.data.edges:
        e.use_edge_sharp = True
    red, blue = bpy.data.materials.new("Red"), bpy.data.materials.new("Blue")
    for m in (red, blue):
        m.use_nodes = True
    red.use_backface_culling = True
    img = textured(work, red, "crate")
    blue.node_tree.nodes["Principled BSDF"].inputs["Alpha"].default_value = 0.5
    cube.data.materials.append(red)
    cube.data.materials.append(blue)
    for i, p in enumerate(cube.data.polygons):
        p.material_index = i % 2
    out = os.path.join(work, "cube.thm")
    expect(export(out) == {"FINISHED"}, "cube: export")
    rec = meshes(read(out))["Crate"]
    expect(len(rec.positions) == 8, f"cube: 8 positions, {len(rec.positions)}")
    match_corners("cube", rec, cube)
    heads = {s.header.name: s.header for s in rec.materials}
    expect(set(heads) == {"Red", "Blue"}, f"cube: materials {set(heads)}")
    expect(heads["Red"].diffuse_map == "crate.png" and not heads["Red"].two_sided, "cube: Red's map, culling")
    expect(heads["Blue"].opacity == 0.5 and heads["Blue"].two_sided, "cube: Blue's opacity, two-sided")
    # Copy Textures: the image beside the output; a packed one written out.
    beside = os.path.join(work, "copied")
    os.makedirs(beside)
    img.pack()
    expect(export(os.path.join(beside, "cube.thm"), copy_textures=True) == {"FINISHED"}, "cube: export with textures")
    expect(open(os.path.join(beside, "crate.png"), "rb").read() == img.packed_file.data,
           "cube: the packed image written beside the output")
    # Every edge sharp: each corner's normal is its face's (on the one-sided material: a two-sided
    # one's back copies share the back-side bit and smooth together).
    off = [(t.normal, s.vertices[t.index(k)].normal) for s in rec.materials if not s.header.two_sided
           for t in s.triangles for k in range(3) if not close(s.vertices[t.index(k)].normal, t.normal, 1e-5)]
    expect(not off, f"cube: sharp edges give face normals: {off[:3]}")


def uv_sphere(work):
    reset()
    bpy.ops.mesh.primitive_uv_sphere_add(segments=24, ring_count=12, radius=2)
    sphere = bpy.context.active_object
    sphere.name = "Ball"
    bpy.ops.object.shade_smooth()
    mat = bpy.data.materials.new("Skin")
    textured(work, mat, "ball")
    mat.use_backface_culling = True
    sphere.data.materials.append(mat)
    out = os.path.join(work, "sphere.thm")
    expect(export(out) == {"FINISHED"}, "sphere: export")
    rec = meshes(read(out))["Ball"]
    expect(len(rec.positions) == len(sphere.data.vertices), "sphere: one position per vertex")
    match_corners("sphere", rec, sphere)


def skinned_cylinder(work):
    reset()
    scene = bpy.context.scene
    scene.frame_start, scene.frame_end = 1, 20
    bpy.ops.object.armature_add(location=(0, 0, 0))
    arm = bpy.context.active_object
    arm.name = "Rig"
    bpy.ops.object.mode_set(mode="EDIT")
    root = arm.data.edit_bones[0]
    root.name, root.head, root.tail = "Root", (0, 0, 0), (0, 0, 1)
    tip = arm.data.edit_bones.new("Tip")
    tip.head, tip.tail, tip.parent = (0, 0, 1), (0, 0, 2), root
    bpy.ops.object.mode_set(mode="OBJECT")
    bpy.ops.mesh.primitive_cylinder_add(vertices=12, radius=0.3, depth=2, location=(0, 0, 1), end_fill_type="NOTHING")
    cyl = bpy.context.active_object
    cyl.name = "Arm"
    bpy.ops.object.mode_set(mode="EDIT")
    bpy.ops.mesh.subdivide(number_cuts=3)
    bpy.ops.object.mode_set(mode="OBJECT")
    g_root, g_tip = cyl.vertex_groups.new(name="Root"), cyl.vertex_groups.new(name="Tip")
    for v in cyl.data.vertices:
        w = min(1.0, max(0.0, v.co.z + 0.5))
        if w < 1:
            g_root.add([v.index], 1.0 - w, "REPLACE")
        if w > 0:
            g_tip.add([v.index], w, "REPLACE")
    mod = cyl.modifiers.new("Armature", "ARMATURE")
    mod.object = arm
    cyl.parent = arm
    action = bpy.data.actions.new("Wave")
    arm.animation_data_create().action = action
    pb = arm.pose.bones["Tip"]
    pb.rotation_mode = "XYZ"
    for frame, angle in ((1, 0.0), (10, 0.8), (20, -0.4)):
        pb.rotation_euler = (angle, 0, 0)
        pb.keyframe_insert("rotation_euler", frame=frame)
    arm.pose.bones["Root"].location = (0, 0, 0)
    arm.pose.bones["Root"].keyframe_insert("location", frame=1)
    scene.timeline_markers.new("step", frame=5)
    scene.timeline_markers.new("jump", frame=15)
    action.pose_markers.new("swing").frame = 10

    out = os.path.join(work, "skin.thm")
    expect(export(out) == {"FINISHED"}, "skin: export")
    rec = meshes(read(out))["Arm"]
    k = rec.skin
    if not expect(k is not None and len(k.bones) == 2, "skin: a skin with two bones"):
        return
    expect([b.name for b in k.bones] == ["Root", "Tip"] and k.bones[1].parent == 0, "skin: bones and hierarchy")
    expect(k.frame_count == 20, f"skin: 20 frames, {k.frame_count}")
    # Bone matrices at every frame: Blender's pose, in world space (no axis change for bones).
    ok = True
    for f in range(20):
        scene.frame_set(1 + f)
        for b, bone in enumerate(k.bones):
            m = arm.matrix_world @ arm.pose.bones[bone.name].matrix
            want = [[m[0][c], m[1][c], m[2][c]] for c in range(4)]
            ok &= all(close(got, w, 1e-4) for got, w in zip(k.sample(f, b).matrix, want))
    expect(ok, "skin: bone matrices at every frame as Blender poses them")
    scene.frame_set(1)
    # Weights: per position, as the vertex groups hold them.
    by_pos = {}
    for v in cyl.data.vertices:
        p = file_pos(cyl.matrix_world @ v.co)
        by_pos[tuple(round(c, 4) for c in p)] = {g.group: g.weight for g in v.groups}
    names = {g.index: g.name for g in cyl.vertex_groups}
    ok = True
    for p, refs in zip(rec.positions, k.vertex_refs):
        want = {names[g]: w for g, w in by_pos.get(tuple(round(c, 4) for c in p), {}).items() if w}
        got = {k.bones[b].name: w for b, w in refs.refs}
        ok &= got.keys() == want.keys() and all(abs(got[n] - want[n]) < 1e-6 for n in want)
    expect(ok, "skin: weights as the vertex groups hold them")
    notes = [(n.frame, n.text) for n in k.notes]
    expect(notes == [(4, "step"), (9, "swing"), (14, "jump")], f"skin: notes {notes}")
    match_corners("skin", rec, cyl, check_uv=False)

    # Each action to a file of its own.
    second = bpy.data.actions.new("Rest")
    pb.rotation_euler = (0.2, 0, 0)
    arm.animation_data.action = second
    pb.keyframe_insert("rotation_euler", frame=1)
    pb.keyframe_insert("rotation_euler", frame=5)
    arm.animation_data.action = action
    out = os.path.join(work, "each.thm")
    expect(export(out, animations="EACH") == {"FINISHED"}, "each action: export")
    for name, frames in (("Wave", 20), ("Rest", 5)):
        path = os.path.join(work, f"each-{name}.thm")
        if expect(os.path.exists(path), f"each action: {path}"):
            got = meshes(read(path))["Arm"].skin.frame_count
            expect(got == frames, f"each action: {name} has {got} frames, not {frames}")
    expect(arm.animation_data.action == action, "each action: the active action restored")


def lights_hidden_and_modifiers(work):
    reset()
    bpy.ops.object.light_add(type="POINT", location=(1, 2, 3))
    point = bpy.context.active_object
    point.name = "Bulb"
    point.data.color, point.data.energy = (1.0, 0.5, 0.25), 1500
    point.data.use_custom_distance, point.data.cutoff_distance = True, 12.0
    bpy.ops.object.light_add(type="SPOT", location=(0, 0, 5))
    spot = bpy.context.active_object
    spot.name = "Beam"
    spot.data.spot_size, spot.data.spot_blend = math.radians(60), 0.25
    bpy.ops.object.light_add(type="SUN")
    bpy.ops.mesh.primitive_cube_add(location=(5, 0, 0))
    hidden = bpy.context.active_object
    hidden.name = "Hidden"
    hidden.hide_set(True)
    bpy.ops.object.text_add(location=(0, 5, 0))
    bpy.context.active_object.name = "Sign"
    bpy.ops.mesh.primitive_plane_add(location=(-5, 0, 0))
    plane = bpy.context.active_object
    plane.name = "Stack"
    plane.modifiers.new("Sub", "SUBSURF").levels = 2
    plane.modifiers.new("Solid", "SOLIDIFY").thickness = 0.1
    out = os.path.join(work, "lights.thm")
    expect(export(out) == {"FINISHED"}, "lights: export")
    recs = read(out)
    lights = {r.name: r for r in recs if isinstance(r, thm.LightRecord)}
    expect(set(lights) == {"Bulb", "Beam"}, f"lights: point and spot, no sun: {set(lights)}")
    b = lights.get("Bulb")
    if b:
        expect(close(b.position, (1, 2, 3)) and close(b.colour, (1.0, 0.5, 0.25)), "point: position, colour")
        expect(abs(b.intensity - 1.5) < 1e-6 and abs(b.range_end - 12.0) < 1e-5, "point: intensity, range")
    s = lights.get("Beam")
    if s and s.spot:
        expect(abs(s.spot.falloff - 60) < 1e-4 and abs(s.spot.hotspot - 45) < 1e-4, "spot: falloff, hotspot")
        d = s.spot.direction
        expect(close((d[0], d[1], d[2]), (0, 0, 1), 1e-5), f"spot: the node's z axis {d}")
    names = meshes(recs)
    expect("Hidden" not in names, "a hidden object exports no record")
    expect("Sign" in names and sum(len(s.triangles) for s in names["Sign"].materials) > 0, "a text object as a mesh")
    dg = bpy.context.evaluated_depsgraph_get()
    ev = plane.evaluated_get(dg)
    me = ev.to_mesh()
    me.calc_loop_triangles()
    want = len(me.loop_triangles)
    ev.to_mesh_clear()
    got = sum(len(s.triangles) for s in names["Stack"].materials) if "Stack" in names else 0
    expect(got == want, f"modifier stack: {got} triangles, Blender's evaluated mesh {want}")


def failed_export_keeps_the_old_file(work):
    reset()
    bpy.ops.mesh.primitive_cube_add()
    out = os.path.join(work, "kept.thm")
    with open(out, "wb") as f:
        f.write(b"old bytes")
    prefs = bpy.context.preferences.addons.get("io_scene_thm")
    # thmexport that fails: the add-on reports it and the old file stays.
    fake = os.path.join(work, "thmexport")
    with open(fake, "w") as f:
        f.write("#!/bin/sh\necho 'thmexport: cannot write it' >&2\nexit 1\n")
    os.chmod(fake, 0o755)
    old_path = os.environ["PATH"]
    os.environ["PATH"] = work + os.pathsep + old_path
    try:
        result = export(out)
    except RuntimeError as e:  # the operator's error report raises in background mode
        result = {"CANCELLED"}
        expect("not written" in str(e) or "cannot write" in str(e), f"failed export: {e}")
    finally:
        os.environ["PATH"] = old_path
    expect(result == {"CANCELLED"}, f"failed export: {result}")
    expect(open(out, "rb").read() == b"old bytes", "failed export: the old file stays")
    del prefs


def main():
    work = tempfile.mkdtemp(prefix="thm_blender_")
    try:
        io_scene_thm.register()
        for group in (cube_with_sharp_edges, uv_sphere, skinned_cylinder, lights_hidden_and_modifiers,
                      failed_export_keeps_the_old_file):
            try:
                group(work)
            except Exception as e:  # a group that breaks is a failure, the others still run
                import traceback
                traceback.print_exc()
                expect(False, f"{group.__name__}: {e}")
        share = corners_checked[0] / max(1, corners_checked[1])
        print(f"corners within 1 degree of the best the smoothing-group rule gives against Blender's split "
              f"normals: {corners_checked[0]} of {corners_checked[1]} ({100 * share:.2f} %)")
        expect(share >= 0.995, f"normals: {100 * share:.2f} % of corners within 1 degree")
    finally:
        shutil.rmtree(work)
    print(f"addon_test: {len(failures)} failures")
    if failures:
        # Blender ends with exit status 1 (--python-exit-code 1), and cleans up after itself.
        raise SystemExit(f"addon_test: {len(failures)} failures")


main()
