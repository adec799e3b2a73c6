"""A PEP 517 build backend for the thm package, from the standard library only.

The package is pure Python: a wheel is its files, the metadata and a RECORD.
Kept here so that `pip install ./python` needs no package index."""

from __future__ import annotations

import base64
import hashlib
import io
import os
import tarfile
import zipfile
from typing import Any, Dict, List, Optional

NAME = "thm"
VERSION = "1.0.0"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DIST_INFO = f"{NAME}-{VERSION}.dist-info"
TAG = "py3-none-any"


def _metadata() -> str:
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    return (
        "Metadata-Version: 2.1\n"
        f"Name: {NAME}\n"
        f"Version: {VERSION}\n"
        "Summary: Reads Tarnhold Mesh (.thm) files: records, meshes, skins, lights; thmdump's JSON and checks\n"
        "Requires-Python: >=3.9\n"
        "Provides-Extra: arrays\n"
        "Requires-Dist: numpy; extra == \"arrays\"\n"
        "Description-Content-Type: text/markdown\n\n" + readme
    )


def _package_files() -> List[str]:
    out = []
    for name in sorted(os.listdir(os.path.join(ROOT, NAME))):
        if name.endswith(".py") or name == "py.typed":
            out.append(f"{NAME}/{name}")
    return out


def _digest(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def _write_wheel(directory: str, files: Dict[str, bytes]) -> str:
    wheel = f"{NAME}-{VERSION}-{TAG}.whl"
    files[f"{DIST_INFO}/METADATA"] = _metadata().encode()
    files[f"{DIST_INFO}/WHEEL"] = f"Wheel-Version: 1.0\nGenerator: thm-backend\nRoot-Is-Purelib: true\nTag: {TAG}\n".encode()
    record = "".join(f"{p},{_digest(d)},{len(d)}\n" for p, d in files.items()) + f"{DIST_INFO}/RECORD,,\n"
    files[f"{DIST_INFO}/RECORD"] = record.encode()
    with zipfile.ZipFile(os.path.join(directory, wheel), "w", zipfile.ZIP_DEFLATED) as z:
        for path, data in files.items():
            info = zipfile.ZipInfo(path, date_time=(2026, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            z.writestr(info, data, zipfile.ZIP_DEFLATED)
    return wheel


def get_requires_for_build_wheel(config_settings: Optional[Dict[str, Any]] = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: Optional[Dict[str, Any]] = None) -> List[str]:
    return []


get_requires_for_build_editable = get_requires_for_build_wheel


def prepare_metadata_for_build_wheel(metadata_directory: str, config_settings: Optional[Dict[str, Any]] = None) -> str:
    os.makedirs(os.path.join(metadata_directory, DIST_INFO), exist_ok=True)
    with open(os.path.join(metadata_directory, DIST_INFO, "METADATA"), "w", encoding="utf-8") as f:
        f.write(_metadata())
    return DIST_INFO


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def build_wheel(
    wheel_directory: str,
    config_settings: Optional[Dict[str, Any]] = None,
    metadata_directory: Optional[str] = None,
) -> str:
    files = {}
    for path in _package_files():
        with open(os.path.join(ROOT, path), "rb") as f:
            files[path] = f.read()
    return _write_wheel(wheel_directory, files)


def build_editable(
    wheel_directory: str,
    config_settings: Optional[Dict[str, Any]] = None,
    metadata_directory: Optional[str] = None,
) -> str:
    # A .pth file that puts this folder on the path.
    return _write_wheel(wheel_directory, {f"_{NAME}_editable.pth": (ROOT + "\n").encode()})


def build_sdist(sdist_directory: str, config_settings: Optional[Dict[str, Any]] = None) -> str:
    base = f"{NAME}-{VERSION}"
    name = f"{base}.tar.gz"
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz") as t:
        for path in ["pyproject.toml", "README.md", "_build/backend.py"] + _package_files():
            t.add(os.path.join(ROOT, path), arcname=f"{base}/{path}")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata().encode()
        info.size = len(data)
        t.addfile(info, io.BytesIO(data))
    return name
