"""File > Export > Tarnhold Mesh (.thm): Blender's scene through our plug-in.

The add-on writes the scene as one of our scene documents and runs thmexport on
it, which loads tarnexport.dle as the host package does: the plug-in writes the
file, unchanged. docs/blender.md says what maps to what."""

from __future__ import annotations

import dataclasses
import os
import shutil
import tempfile
import time
from typing import Any, Dict, List, Optional, Set

import bpy
from bpy.props import BoolProperty, EnumProperty, FloatProperty, IntProperty, StringProperty
from bpy_extras.io_utils import ExportHelper

from . import document, gather, runner

bl_info = {
    "name": "Tarnhold Mesh (.thm)",
    "author": "tarnexport",
    "version": (1, 0, 0),
    "blender": (3, 4, 0),
    "location": "File > Export > Tarnhold Mesh (.thm)",
    "description": "Exports meshes, skins with their animation, notes and lights through the tarnexport plug-in",
    "category": "Import-Export",
}


class ThmPreferences(bpy.types.AddonPreferences):  # type: ignore[misc]
    bl_idname = __name__

    thmexport: StringProperty(  # type: ignore[valid-type]
        name="thmexport",
        description="The thmexport program (empty: thmexport on PATH, else the build of this add-on's checkout)",
        subtype="FILE_PATH",
        default="",
    )

    def draw(self, context: Any) -> None:
        self.layout.prop(self, "thmexport")
        found = runner.find_thmexport(self.thmexport)
        self.layout.label(text=f"Using: {found}" if found else "thmexport not found")


def export(operator: Any, context: Any, filepath: str) -> Set[str]:
    prefs = context.preferences.addons.get(__name__)
    thmexport = runner.find_thmexport(prefs.preferences.thmexport if prefs else "")
    if thmexport is None:
        operator.report({"ERROR"}, "thmexport not found: set it in the add-on's preferences, put it on PATH, "
                                   "or build the checkout (scripts/demo.sh)")
        return {"CANCELLED"}
    options = gather.Options(
        use_selection=operator.use_selection,
        apply_modifiers=operator.apply_modifiers,
        global_scale=operator.global_scale,
        frame_start=operator.frame_start if operator.use_frame_range else None,
        frame_end=operator.frame_end if operator.use_frame_range else None,
        copy_textures=operator.copy_textures,
        output_dir=os.path.dirname(os.path.abspath(filepath)),
    )
    flags: List[str] = []
    if operator.max_influences:
        flags += ["--max-influences", str(operator.max_influences)]
    if operator.normalize_weights:
        flags.append("--normalize-weights")

    # One output, or one per action: NAME-ACTION.thm.
    jobs: List[tuple[str, Optional[Any]]] = [(filepath, None)]
    armatures = [o for o in context.scene.objects if o.type == "ARMATURE" and o.animation_data is not None]
    if operator.animations == "EACH" and armatures:
        stem, ext = os.path.splitext(filepath)
        jobs = [(f"{stem}-{gather.safe_name(a.name)}{ext or '.thm'}", a) for a in bpy.data.actions
                if any(fc.data_path.startswith("pose.bones") for fc in a.fcurves)]
        if not jobs:
            jobs = [(filepath, None)]

    wm = context.window_manager
    wm.progress_begin(0, 100)
    failed = False
    saved = {o.name: o.animation_data.action for o in armatures}
    try:
        for n, (out, action) in enumerate(jobs):
            if action is not None:
                for o in armatures:
                    o.animation_data.action = action
            if operator.use_frame_range or action is None:
                opts = options
            else:
                first, last = (int(round(f)) for f in action.frame_range)
                opts = dataclasses.replace(options, frame_start=first, frame_end=last)
            steps = [0]

            def progress(_what: str) -> None:
                steps[0] += 1
                wm.progress_update(min(99, int(100 * (n + min(0.9, steps[0] / 1000)) / len(jobs))))

            g = gather.Gatherer(context, opts, progress)
            doc = g.document()
            for w in g.warnings:
                operator.report({"WARNING"}, w)
            with tempfile.TemporaryDirectory(prefix="thm_blender_") as tmp:
                path = os.path.join(tmp, os.path.splitext(os.path.basename(out))[0] + ".scene.json")
                with open(path, "w", encoding="utf-8") as f:
                    document.dump(doc, f)
                status, reports = runner.run(thmexport, path, out, flags)
                if operator.keep_document:
                    # For a bug report: the exact scene the plug-in was given.
                    shutil.copyfile(path, os.path.splitext(out)[0] + ".scene.json")
            for level, text in reports:
                operator.report({level}, text)
            if status != 0:
                failed = True
                operator.report({"ERROR"}, f"{os.path.basename(out)} not written (thmexport exit status {status})")
                continue
            if options.copy_textures:
                copy_images(operator, g.images, options.output_dir)
            operator.report({"INFO"}, f"wrote {out}")
    finally:
        for o in armatures:
            if o.name in saved:
                o.animation_data.action = saved[o.name]
        wm.progress_end()
    return {"CANCELLED"} if failed else {"FINISHED"}


def copy_images(operator: Any, images: Dict[str, Any], folder: str) -> None:
    """Every image the file names, beside it: files copied, packed images written out."""
    for name, image in images.items():
        target = os.path.join(folder, name)
        try:
            if image.packed_file is not None:
                with open(target, "wb") as f:
                    f.write(image.packed_file.data)
            else:
                source = bpy.path.abspath(image.filepath)
                if os.path.isfile(source) and os.path.abspath(source) != os.path.abspath(target):
                    shutil.copyfile(source, target)
        except OSError as e:
            operator.report({"WARNING"}, f'image "{image.name}" not copied: {e}')


class ExportThm(bpy.types.Operator, ExportHelper):  # type: ignore[misc]
    """Export the scene as a Tarnhold Mesh file through the tarnexport plug-in"""

    bl_idname = "export_scene.thm"
    bl_label = "Export Tarnhold Mesh"
    bl_options = {"PRESET"}
    filename_ext = ".thm"
    filter_glob: StringProperty(default="*.thm", options={"HIDDEN"})  # type: ignore[valid-type]

    use_selection: BoolProperty(name="Selected Objects", description="Export the selected objects only",  # type: ignore[valid-type]
                                default=False)
    apply_modifiers: BoolProperty(name="Apply Modifiers", description="Export meshes with their modifiers applied",  # type: ignore[valid-type]
                                  default=True)
    global_scale: FloatProperty(name="Scale", description="Scale of the whole scene (default: the scene's unit "  # type: ignore[valid-type]
                                "scale, set when the dialog opens)", default=1.0, min=1e-6, max=1e6)
    use_frame_range: BoolProperty(name="Frame Range", description="Sample the frames below instead of the scene's "  # type: ignore[valid-type]
                                  "range (or each action's)", default=False)
    frame_start: IntProperty(name="Start", default=1)  # type: ignore[valid-type]
    frame_end: IntProperty(name="End", default=250)  # type: ignore[valid-type]
    animations: EnumProperty(  # type: ignore[valid-type]
        name="Animations",
        items=[("ACTIVE", "Active Action", "The armatures' active actions, over the scene's range"),
               ("EACH", "Each Action", "Every action with bone curves to a file of its own: NAME-ACTION.thm")],
        default="ACTIVE")
    max_influences: IntProperty(name="Bone Limit", description="At most this many bone weights per vertex "  # type: ignore[valid-type]
                                "(0: all)", default=0, min=0, max=64)
    normalize_weights: BoolProperty(name="Normalize Weights", description="Scale each vertex's weights to sum 1",  # type: ignore[valid-type]
                                    default=False)
    keep_document: BoolProperty(name="Keep Scene Document", description="Also write the scene document the "  # type: ignore[valid-type]
                                "plug-in was given, NAME.scene.json, beside the output (for bug reports)", default=False)
    copy_textures: BoolProperty(name="Copy Textures", description="Write every image the file names beside it "  # type: ignore[valid-type]
                                "(packed images too)", default=False)

    def invoke(self, context: Any, event: Any) -> Set[str]:
        if not self.properties.is_property_set("global_scale"):
            self.global_scale = context.scene.unit_settings.scale_length
        return ExportHelper.invoke(self, context, event)  # type: ignore[no-any-return]

    def execute(self, context: Any) -> Set[str]:
        started = time.monotonic()
        result = export(self, context, self.filepath)
        print(f"io_scene_thm: {self.filepath} in {time.monotonic() - started:.2f} s")
        return result


def menu_func_export(self: Any, context: Any) -> None:
    self.layout.operator(ExportThm.bl_idname, text="Tarnhold Mesh (.thm)")


classes = (ThmPreferences, ExportThm)


def register() -> None:
    for c in classes:
        bpy.utils.register_class(c)
    bpy.types.TOPBAR_MT_file_export.append(menu_func_export)


def unregister() -> None:
    bpy.types.TOPBAR_MT_file_export.remove(menu_func_export)
    for c in reversed(classes):
        bpy.utils.unregister_class(c)
