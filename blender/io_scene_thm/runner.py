"""Running the plug-in: thmexport on a scene document, its messages as reports.

Found through the add-on's preference, else `thmexport` on PATH, else the build
of the checkout the add-on was installed from (scripts/blender-addon.sh links it)."""

from __future__ import annotations

import os
import shutil
import subprocess
from typing import List, Optional, Sequence, Tuple

Report = Tuple[str, str]  # ("WARNING" | "ERROR" | "INFO", text)


def checkout_thmexport() -> Optional[str]:
    """build/release/bin/thmexport of the checkout this add-on's folder belongs to."""
    here = os.path.dirname(os.path.realpath(__file__))
    root = os.path.dirname(os.path.dirname(here))
    for preset in ("release", "debug"):
        path = os.path.join(root, "build", preset, "bin", "thmexport")
        if os.access(path, os.X_OK):
            return path
    return None


def find_thmexport(preference: str = "") -> Optional[str]:
    if preference:
        path = os.path.abspath(os.path.expanduser(preference))
        return path if os.access(path, os.X_OK) else None
    return shutil.which("thmexport") or checkout_thmexport()


def parse_messages(stderr: str) -> List[Report]:
    """thmexport's messages: a line "FILE: error: ..." or "FILE: warning: ..." and
    the indented lines below it are one message."""
    reports: List[Report] = []
    for line in stderr.splitlines():
        if line.startswith("    ") and reports:
            level, text = reports[-1]
            reports[-1] = (level, text + "\n" + line.strip())
            continue
        if not line.strip():
            continue
        level = "INFO"
        for key, kind in ((": error: ", "ERROR"), (": warning: ", "WARNING")):
            if key in line:
                level, line = kind, line.split(key, 1)[1]
                break
        else:
            if line.startswith("thmexport: "):
                level, line = "ERROR", line[len("thmexport: "):]
        reports.append((level, line))
    return reports


def run(thmexport: str, document: str, output: str, options: Sequence[str]) -> Tuple[int, List[Report]]:
    """Exports the document to output; the exit status and the messages. thmexport
    writes atomically: a failed export leaves an existing output untouched."""
    r = subprocess.run([thmexport, *options, document, "-o", output], capture_output=True, text=True,
                       errors="replace")
    return r.returncode, parse_messages(r.stderr)
