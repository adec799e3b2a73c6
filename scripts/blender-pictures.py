"""Blender side of scripts/blender-pictures.sh: builds a small scene (a textured crate,
a skinned arm waving over 24 frames, a point and a spot light) and either exports it
through the add-on (-- export OUT.thm) or opens the export dialog and takes a
screenshot of it (-- dialog OUT.png; needs a display, such as xvfb-run's)."""
import math
import os
import sys

import bpy

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "blender"))
import io_scene_thm  # noqa: E402

mode, out = sys.argv[sys.argv.index("--") + 1:][:2]
io_scene_thm.register()
folder = os.path.dirname(os.path.abspath(out))

if mode == "dialog":
    # Blender was started with the scene the export mode saved.
    def open_dialog():
        win = bpy.context.window_manager.windows[0]
        with bpy.context.temp_override(window=win, area=win.screen.areas[0]):
            bpy.ops.export_scene.thm("INVOKE_DEFAULT", filepath=os.path.join(folder, "arm_and_crate.thm"))

    def shot():
        win = bpy.context.window_manager.windows[-1]
        with bpy.context.temp_override(window=win, screen=win.screen, area=win.screen.areas[0]):
            bpy.ops.screen.screenshot(filepath=out)

    def leave():
        bpy.ops.wm.quit_blender()

    bpy.app.timers.register(open_dialog, first_interval=2.0)
    bpy.app.timers.register(shot, first_interval=5.0)
    bpy.app.timers.register(leave, first_interval=7.0)


def build_and_export():
    bpy.ops.wm.read_factory_settings(use_empty=True)
    scene = bpy.context.scene
    scene.frame_start, scene.frame_end = 1, 24

    # A crate with the demo's texture.
    bpy.ops.mesh.primitive_cube_add(size=1.5, location=(2.5, 0, 0.75))
    crate = bpy.context.active_object
    crate.name = "Crate"
    mat = bpy.data.materials.new("Wood")
    mat.use_nodes = True
    tex = mat.node_tree.nodes.new("ShaderNodeTexImage")
    tex.image = bpy.data.images.load(os.path.join(ROOT, "examples", "maps", "crate.tga"))
    mat.node_tree.links.new(tex.outputs["Color"], mat.node_tree.nodes["Principled BSDF"].inputs["Base Color"])
    mat.use_backface_culling = True
    crate.data.materials.append(mat)
    crate.data.uv_layers.active  # the cube primitive has a UV map

    # An arm of two bones, waving.
    bpy.ops.object.armature_add(location=(0, 0, 0))
    arm = bpy.context.active_object
    arm.name = "Rig"
    bpy.ops.object.mode_set(mode="EDIT")
    root = arm.data.edit_bones[0]
    root.name, root.head, root.tail = "Upper", (0, 0, 0), (0, 0, 1.5)
    tip = arm.data.edit_bones.new("Lower")
    tip.head, tip.tail, tip.parent = (0, 0, 1.5), (0, 0, 3), root
    bpy.ops.object.mode_set(mode="OBJECT")
    bpy.ops.mesh.primitive_cylinder_add(vertices=16, radius=0.35, depth=3, location=(0, 0, 1.5), end_fill_type="NOTHING")
    body = bpy.context.active_object
    body.name = "Arm"
    bpy.ops.object.mode_set(mode="EDIT")
    bpy.ops.mesh.subdivide(number_cuts=8)
    bpy.ops.object.mode_set(mode="OBJECT")
    bpy.ops.object.shade_smooth()
    upper, lower = body.vertex_groups.new(name="Upper"), body.vertex_groups.new(name="Lower")
    for v in body.data.vertices:
        w = min(1.0, max(0.0, v.co.z + 0.5))
        upper.add([v.index], 1 - w, "REPLACE")
        lower.add([v.index], w, "REPLACE")
    body.modifiers.new("Armature", "ARMATURE").object = arm
    body.parent = arm
    arm.animation_data_create().action = bpy.data.actions.new("Wave")
    for bone, angle in (("Upper", 0.35), ("Lower", 0.9)):
        pb = arm.pose.bones[bone]
        pb.rotation_mode = "XYZ"
        for f, a in ((1, -angle), (12, angle), (24, -angle)):
            pb.rotation_euler = (a, 0, 0)
            pb.keyframe_insert("rotation_euler", frame=f)
    scene.timeline_markers.new("wave", frame=12)

    bpy.ops.object.light_add(type="POINT", location=(-2, -2, 3))
    bpy.context.active_object.data.use_custom_distance = True
    bpy.context.active_object.data.cutoff_distance = 3
    bpy.ops.object.light_add(type="SPOT", location=(2.5, -3, 4), rotation=(math.radians(40), 0, 0))
    scene.frame_set(1)

    bpy.ops.export_scene.thm(filepath=out, copy_textures=True)
    bpy.ops.wm.save_as_mainfile(filepath=os.path.join(folder, "arm_and_crate.blend"))


if mode == "export":
    build_and_export()
