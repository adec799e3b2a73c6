#!/usr/bin/env python3
"""thmexport --cache across machines: a real nginx with WebDAV on 127.0.0.1 (a free port, a temporary root,
stopped at the end) and a folder shared by concurrent batches.

Usage: cache_test.py BIN   (the folder holding thmexport and the plug-in)
"""
from __future__ import annotations

import hashlib
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from typing import Optional

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MODELS = "/usr/share/assimp/models"
BIN = ""


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


class Nginx:
    """nginx storing files by PUT under a temporary root, as a team's cache server would."""

    def __init__(self, work: str) -> None:
        self.work = work
        self.root = os.path.join(work, "root")
        os.makedirs(self.root)
        os.makedirs(os.path.join(work, "temp"))
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}/cache"
        user = "user root root;\n" if os.geteuid() == 0 else ""
        temp = os.path.join(work, "temp")
        self.conf = os.path.join(work, "nginx.conf")
        with open(self.conf, "w") as f:
            f.write(f"""{user}daemon off;
worker_processes 1;
pid {work}/nginx.pid;
error_log {work}/error.log;
events {{ worker_connections 64; }}
http {{
  access_log off;
  client_body_temp_path {temp}/body;
  proxy_temp_path {temp}/proxy;
  fastcgi_temp_path {temp}/fastcgi;
  uwsgi_temp_path {temp}/uwsgi;
  scgi_temp_path {temp}/scgi;
  server {{
    listen 127.0.0.1:{self.port};
    root {self.root};
    client_max_body_size 0;
    location /cache/ {{
      dav_methods PUT DELETE;
      create_full_put_path on;
      dav_access user:rw group:r all:r;
    }}
  }}
}}
""")
        self.process: Optional[subprocess.Popen[bytes]] = None

    def start(self) -> None:
        self.process = subprocess.Popen(["nginx", "-p", self.work, "-c", self.conf, "-e", f"{self.work}/error.log"])
        for _ in range(100):
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.2):
                    return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("nginx did not start: " + open(f"{self.work}/error.log").read())

    def stop(self) -> None:
        if self.process:
            self.process.terminate()
            self.process.wait(timeout=10)
            self.process = None


def sha256(path: str) -> str:
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def tree(folder: str) -> dict[str, bytes]:
    """Every file below `folder` but the manifest, by its path below it."""
    out = {}
    for dirpath, _, files in os.walk(folder):
        for name in files:
            if name == ".thmexport-manifest.json":
                continue
            path = os.path.join(dirpath, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, folder)] = f.read()
    return out


def snapshot(folder: str) -> dict[str, tuple[bytes, int]]:
    """What a cache folder holds: bytes and modification time of each file."""
    out = {}
    for dirpath, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(dirpath, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, folder)] = (f.read(), os.stat(path).st_mtime_ns)
    return out


def check_store(folder: str) -> int:
    """Every output blob is whole (its name is its hash) and every entry reads; returns the entries."""
    for name in os.listdir(os.path.join(folder, "cas")):
        assert sha256(os.path.join(folder, "cas", name)) == name, f"torn blob {name}"
    entries = os.listdir(os.path.join(folder, "ac"))
    for name in entries:
        with open(os.path.join(folder, "ac", name), "rb") as f:
            text = f.read()
        assert text.startswith(b"thmexport cache entry 1\n"), name
        blob = text.split(b"\n")[1].split(b" ")[1].decode()
        assert os.path.exists(os.path.join(folder, "cas", blob)), f"{name} names a missing output"
    return len(entries)


class Run:
    def __init__(self, args: list[str], cwd: str) -> None:
        start = time.monotonic()
        p = subprocess.run([os.path.join(BIN, "thmexport"), *args], cwd=cwd, capture_output=True, text=True)
        self.seconds = time.monotonic() - start
        self.code = p.returncode
        self.err = p.stderr
        self.report: dict[str, str] = {}



def make_library(folder: str) -> None:
    """Real models with the files they refer to (OBJ with material libraries, glTF with buffers) and documents."""
    shutil.copytree(os.path.join(MODELS, "OBJ"), os.path.join(folder, "obj"))
    gltf = os.path.join(MODELS, "glTF2", "BoxTextured-glTF")
    if os.path.isdir(gltf):
        shutil.copytree(gltf, os.path.join(folder, "gltf"))
    for name in sorted(os.listdir(os.path.join(ROOT, "examples"))):
        if name.endswith(".scene.json"):
            shutil.copy(os.path.join(ROOT, "examples", name), folder)


class HttpCache(unittest.TestCase):
    def setUp(self) -> None:
        self.tmp = tempfile.mkdtemp(prefix="thm-cache-")
        self.server = Nginx(os.path.join(self.tmp, "nginx"))
        self.server.start()
        self.store = os.path.join(self.server.root, "cache")

    def tearDown(self) -> None:
        self.server.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def export(self, inputs: str, out: str, *extra: str) -> Run:
        report = os.path.join(self.tmp, os.path.basename(out) + ".json")
        r = Run([inputs, "-o", out, "--cache", self.server.url, "--report", report, "-j", "2", *extra], self.tmp)
        with open(report) as f:
            r.report = {os.path.relpath(e["input"], inputs): e["status"] for e in json.load(f)["inputs"]}
        return r

    def test_a_second_machine_gets_every_output_from_the_cache(self) -> None:
        # Machine A fills the cache; machine B has the same library in another folder.
        a, b = os.path.join(self.tmp, "a", "library"), os.path.join(self.tmp, "b", "assets")
        make_library(a)
        shutil.copytree(a, b)
        first = self.export(a, os.path.join(self.tmp, "outA"))
        exported = [k for k, v in first.report.items() if v == "exported"]
        self.assertGreater(len(exported), 15, first.err)
        self.assertEqual(check_store(self.store), len(exported))

        second = self.export(b, os.path.join(self.tmp, "outB"))
        self.assertEqual(first.code, second.code, second.err)
        for name, status in first.report.items():
            self.assertEqual(second.report[name], "from cache" if status == "exported" else status, name)
        self.assertEqual(tree(os.path.join(self.tmp, "outA")), tree(os.path.join(self.tmp, "outB")))
        self.assertIn(f"0 exported, {len(exported)} from cache,", second.err)
        # The warnings a hit prints are the export's own, with this machine's paths.
        self.assertEqual(first.err.replace("a/library", "b/assets").replace("outA", "outB").split("\n")[:-2],
                         second.err.split("\n")[:-2])
        print(f"\n  {len(exported)} exports: {first.seconds:.2f} s; from the cache: {second.seconds:.2f} s",
              file=sys.stderr)

        # A damaged output is found, that input exported again and the entry replaced.
        victim = sorted(os.listdir(os.path.join(self.store, "cas")))[0]
        path = os.path.join(self.store, "cas", victim)
        with open(path, "r+b") as f:
            f.truncate(os.path.getsize(path) // 2)
        third = self.export(b, os.path.join(self.tmp, "outC"))
        self.assertEqual(third.err.count("is damaged (its output has"), 1, third.err)
        self.assertEqual(list(third.report.values()).count("exported"), 1, third.err)
        self.assertEqual(tree(os.path.join(self.tmp, "outA")), tree(os.path.join(self.tmp, "outC")))
        self.assertEqual(sha256(path), victim)
        # What an entry makes a hit print cannot drive the terminal.
        entry = os.path.join(self.store, "ac", sorted(os.listdir(os.path.join(self.store, "ac")))[0])
        with open(entry, "rb") as f:
            text = f.read()
        cut = text.rindex(b"messages ")
        with open(entry, "wb") as f:
            f.write(text[:cut] + b"messages 8:\x1b]0;own\x07\n")
        escaped = self.export(b, os.path.join(self.tmp, "outE"))
        self.assertIn("\\x1b]0;own\\x07", escaped.err)
        self.assertNotIn("\x1b", escaped.err)
        # A damaged entry too.
        entry = os.path.join(self.store, "ac", sorted(os.listdir(os.path.join(self.store, "ac")))[0])
        with open(entry, "wb") as f:
            f.write(b"thmexport cache entry 1\nsha256 nonsense\n")
        fourth = self.export(b, os.path.join(self.tmp, "outD"))
        self.assertEqual(fourth.err.count("is damaged (a bad hash); exported again and replaced"), 1, fourth.err)
        self.assertEqual(tree(os.path.join(self.tmp, "outA")), tree(os.path.join(self.tmp, "outD")))
        self.assertEqual(check_store(self.store), len(exported))

    def test_a_read_only_client_writes_nothing_and_a_stopped_server_costs_one_warning(self) -> None:
        lib = os.path.join(self.tmp, "library")
        make_library(lib)
        first = self.export(lib, os.path.join(self.tmp, "out1"))
        self.assertIn("exported", first.report.values())
        before = snapshot(self.store)
        # A changed input and a new one: misses, exported, not stored.
        with open(os.path.join(lib, "demo.scene.json")) as f:
            doc = f.read()
        with open(os.path.join(lib, "demo.scene.json"), "w") as f:
            f.write(doc + "\n")
        read_only = self.export(lib, os.path.join(self.tmp, "out2"), "--cache-read-only")
        self.assertIn("exported", read_only.report.values())
        self.assertIn("from cache", read_only.report.values())
        self.assertEqual(snapshot(self.store), before)

        self.server.stop()
        down = self.export(lib, os.path.join(self.tmp, "out3"))
        self.assertEqual(down.err.count("warning: the cache http://"), 1, down.err)
        self.assertIn("cannot be used (", down.err)
        self.assertNotIn("from cache", down.report.values())
        self.assertEqual(tree(os.path.join(self.tmp, "out2")), tree(os.path.join(self.tmp, "out3")))
        self.assertEqual(down.code, read_only.code, down.err)


class SlowServer(unittest.TestCase):
    def test_a_server_that_never_answers_costs_one_timeout(self) -> None:
        tmp = tempfile.mkdtemp(prefix="thm-cache-")
        try:
            # Connections are taken by the kernel and never answered.
            with socket.socket() as server:
                server.bind(("127.0.0.1", 0))
                server.listen(64)
                url = f"http://127.0.0.1:{server.getsockname()[1]}/thm"
                src = os.path.join(ROOT, "examples", "demo.scene.json")
                r = Run([src, os.path.join(MODELS, "OBJ", "box.obj"), "-o", "out", "--cache", url,
                         "--cache-timeout", "1"], tmp)
            self.assertEqual(r.code, 0, r.err)
            self.assertEqual(r.err.count("cannot be used ("), 1, r.err)
            self.assertIn("Timeout was reached", r.err)
            self.assertIn("2 exported, 0 from cache,", r.err)
            self.assertLess(r.seconds, 30)
        finally:
            shutil.rmtree(tmp, ignore_errors=True)


class FolderCache(unittest.TestCase):
    def setUp(self) -> None:
        self.tmp = tempfile.mkdtemp(prefix="thm-cache-")
        self.lib = os.path.join(self.tmp, "library")
        make_library(self.lib)
        self.cache = os.path.join(self.tmp, "cache")
        os.makedirs(self.cache)

    def tearDown(self) -> None:
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_two_concurrent_batches_leave_no_torn_entry(self) -> None:
        exe = os.path.join(BIN, "thmexport")
        runs = [subprocess.Popen([exe, self.lib, "-o", os.path.join(self.tmp, f"out{k}"), "--cache", self.cache,
                                  "-j", "2"], stderr=subprocess.DEVNULL) for k in (1, 2)]
        codes = [p.wait(timeout=600) for p in runs]
        self.assertEqual(codes[0], codes[1])
        entries = check_store(self.cache)
        self.assertGreater(entries, 15)
        self.assertEqual(os.listdir(os.path.join(self.cache, "tmp")), [])
        third = Run([self.lib, "-o", os.path.join(self.tmp, "out3"), "--cache", self.cache], self.tmp)
        self.assertIn(f"0 exported, {entries} from cache,", third.err)
        self.assertEqual(tree(os.path.join(self.tmp, "out1")), tree(os.path.join(self.tmp, "out3")))
        self.assertEqual(tree(os.path.join(self.tmp, "out2")), tree(os.path.join(self.tmp, "out3")))

    def test_one_export_a_depfile_and_the_size_bound(self) -> None:
        src = os.path.join(self.lib, "obj", "spider.obj")
        first = Run([src, "-o", "one.thm", "--cache", self.cache, "--depfile", "one.d"], self.tmp)
        self.assertEqual(first.code, 0, first.err)
        second = Run([src, "-o", "two.thm", "--cache", self.cache, "--depfile", "two.d"], self.tmp)
        self.assertEqual(second.code, 0, second.err)
        self.assertEqual(first.err.replace("one.thm", "two.thm"), second.err)
        with open(os.path.join(self.tmp, "one.thm"), "rb") as f1, open(os.path.join(self.tmp, "two.thm"), "rb") as f2:
            self.assertEqual(f1.read(), f2.read())
        with open(os.path.join(self.tmp, "one.d")) as d1, open(os.path.join(self.tmp, "two.d")) as d2:
            self.assertEqual(d1.read().replace("one.thm", "two.thm"), d2.read())
        # An entry cut anywhere is never used, and is replaced.
        entry = os.path.join(self.cache, "ac", os.listdir(os.path.join(self.cache, "ac"))[0])
        with open(entry, "rb") as f:
            whole = f.read()
        for cut in (0, 10, 30, 100, 150, len(whole) - 1):
            with open(entry, "wb") as f:
                f.write(whole[:cut])
            again = Run([src, "-o", "cut.thm", "--cache", self.cache], self.tmp)
            self.assertEqual(again.err.count("is damaged ("), 1, (cut, again.err))
            with open(entry, "rb") as f:
                self.assertEqual(f.read(), whole.replace(b"one.thm", b"cut.thm"))
        # Options that change bytes are part of the key.
        scaled = Run([src, "-o", "three.thm", "--cache", self.cache, "--scale", "2"], self.tmp)
        with open(os.path.join(self.tmp, "three.thm"), "rb") as f3, open(os.path.join(self.tmp, "one.thm"), "rb") as f1:
            self.assertNotEqual(f3.read(), f1.read())
        self.assertEqual(scaled.code, 0)
        self.assertEqual(check_store(self.cache), 2)
        # The bound: three scales of the library pass 1 MB; the least recently used go first.
        for scale in ("1", "2", "3"):
            Run([self.lib, "-o", "s" + scale, "--cache", self.cache, "--cache-max-size", "1", "--scale", scale],
                self.tmp)
            size = sum(os.path.getsize(os.path.join(dp, n)) for dp, _, fs in os.walk(self.cache) for n in fs)
            self.assertLessEqual(size, 1 << 20)
        again = Run([self.lib, "-o", "again", "--cache", self.cache, "--scale", "3"], self.tmp)
        self.assertIn("0 exported, ", again.err)
        self.assertEqual(tree(os.path.join(self.tmp, "s3")), tree(os.path.join(self.tmp, "again")))

    def test_a_missing_folder_costs_one_warning(self) -> None:
        r = Run([self.lib, "-o", "out", "--cache", os.path.join(self.tmp, "nowhere"), "--include", "*.json"], self.tmp)
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(r.err.count("cannot be used (no such folder); exporting without it"), 1, r.err)
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "nowhere")))


if __name__ == "__main__":
    BIN = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
