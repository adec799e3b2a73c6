"""One timed export in Blender, for bench/blender/run.sh (a benchmark, not a test).

  blender -b --factory-startup --python bench/blender/bench.py -- SCENE EXPORTER OUT BIN_DIR
  SCENE: grid (1 M triangles) | character (a skinned character, 100 frames)
  EXPORTER: thm (our add-on) | gltf (Blender's own glTF exporter, binary)

Prints one line: BENCH scene exporter seconds extra_MB, where extra_MB is the
peak memory the export added to Blender's own (its peak counted afresh from the
start of the export) and, for thm, thmexport's peak."""
import os
import sys
import time

import bpy

args = sys.argv[sys.argv.index("--") + 1:]
scene_kind, exporter, out, bin_dir = args
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "blender"))
os.environ["PATH"] = bin_dir + os.pathsep + os.environ["PATH"]
import io_scene_thm  # noqa: E402

io_scene_thm.register()
bpy.ops.wm.read_factory_settings(use_empty=True)
scene = bpy.context.scene

if scene_kind == "grid":
    # 708 x 708 quads: 1,002,528 triangles.
    bpy.ops.mesh.primitive_grid_add(x_subdivisions=708, y_subdivisions=708, size=100)
    bpy.ops.object.shade_smooth()
else:
    scene.frame_start, scene.frame_end = 1, 100
    bpy.ops.object.armature_add()
    arm = bpy.context.active_object
    bpy.ops.object.mode_set(mode="EDIT")
    bones = [arm.data.edit_bones[0]]
    bones[0].name, bones[0].head, bones[0].tail = "b0", (0, 0, 0), (0, 0, 0.5)
    for i in range(1, 24):
        b = arm.data.edit_bones.new(f"b{i}")
        b.head, b.tail, b.parent = (0, 0, 0.5 * i), (0, 0, 0.5 * (i + 1)), bones[-1]
        bones.append(b)
    bpy.ops.object.mode_set(mode="OBJECT")
    bpy.ops.mesh.primitive_cylinder_add(vertices=64, radius=1, depth=12, location=(0, 0, 6), end_fill_type="NOTHING")
    body = bpy.context.active_object
    bpy.ops.object.mode_set(mode="EDIT")
    bpy.ops.mesh.subdivide(number_cuts=20)
    bpy.ops.object.mode_set(mode="OBJECT")
    bpy.ops.object.shade_smooth()
    groups = [body.vertex_groups.new(name=f"b{i}") for i in range(24)]
    for v in body.data.vertices:
        x = max(0.0, min(23.0, v.co.z / 0.5 + 12 - 0.5))
        i = int(x)
        groups[i].add([v.index], 1 - (x - i), "REPLACE")
        if i + 1 < 24:
            groups[i + 1].add([v.index], x - i, "REPLACE")
    body.modifiers.new("Armature", "ARMATURE").object = arm
    body.parent = arm
    arm.animation_data_create().action = bpy.data.actions.new("Sway")
    for i in range(24):
        pb = arm.pose.bones[f"b{i}"]
        pb.rotation_mode = "XYZ"
        for f in (1, 50, 100):
            pb.rotation_euler = (0.05 * (f % 7) * (1 if i % 2 else -1), 0, 0)
            pb.keyframe_insert("rotation_euler", frame=f)
    scene.frame_set(1)

bpy.context.view_layer.update()
tris = sum(len(o.data.polygons) for o in scene.objects if o.type == "MESH")


def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key))


# The peak from building the scene is not the export's: start the count afresh.
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS:")
started = time.monotonic()
if exporter == "thm":
    result = bpy.ops.export_scene.thm(filepath=out, keep_document=True)
else:
    result = bpy.ops.export_scene.gltf(filepath=out, export_format="GLB", export_animations=True,
                                       export_skins=True)
seconds = time.monotonic() - started
after = status("VmHWM:")
child = 0
if exporter == "thm":
    # thmexport's own peak, on the document it was given (a child's maxrss here would count
    # the Blender it was forked from).
    import subprocess
    doc = os.path.splitext(out)[0] + ".scene.json"
    r = subprocess.run(["/usr/bin/time", "-f", "%M", os.path.join(bin_dir, "thmexport"), "-q", doc, "-o", out],
                       capture_output=True, text=True)
    child = int(r.stderr.strip().splitlines()[-1])
# What the export added at its peak: Blender's own, and for thm the thmexport it runs beside it.
extra_mb = (max(0, after - before) + child) / 1024
print(f"BENCH {scene_kind} {exporter} {seconds:.3f} {extra_mb:.1f} (blender {max(0, after - before) / 1024:.1f}, thmexport {child / 1024:.1f}) {result} polygons={tris} "
      f"size={os.path.getsize(out) if os.path.exists(out) else 0}")
sys.stdout.flush()
