#!/usr/bin/env python3
"""thmview: shows .thm files in the browser viewer (viewer/), or renders them headless.

  thmview FILE.thm...                      serve the viewer and the files on 127.0.0.1, open a browser
  thmview --png OUT.png [--size WxH] [--frame N] [--camera front|side|top|iso] FILE.thm
  thmview --stats FILE.thm                 what the page read, as JSON
Exit status: 0 success; 1 a malformed file (--stats, --dump); 2 bad usage, an unreadable file, no browser.
"""
import argparse
import html
import http.server
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import urllib.parse
import webbrowser

VIEWER = os.environ.get("THMVIEW_VIEWER_DIR", "@VIEWER_DIR@")
BROWSERS = ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable")


def fail(message, status=2):
    print(f"thmview: {message}", file=sys.stderr)
    sys.exit(status)


class Files:
    """The files given, and nothing else: /files/I/NAME, and files beside file I (its textures)."""

    def __init__(self, paths):
        self.paths = [os.path.abspath(p) for p in paths]

    def url(self, i):
        return f"files/{i}/{urllib.parse.quote(os.path.basename(self.paths[i]))}"

    def resolve(self, path):
        m = re.fullmatch(r"/files/(\d+)/([^/]+)", path)
        if not m or int(m.group(1)) >= len(self.paths):
            return None
        given = self.paths[int(m.group(1))]
        name = urllib.parse.unquote(m.group(2))
        if name in ("", ".", "..") or "/" in name:
            return None
        candidate = os.path.join(os.path.dirname(given), name)
        return candidate if os.path.isfile(candidate) else None


def serve(files):
    viewer = os.path.realpath(VIEWER)
    types = {".html": "text/html", ".js": "text/javascript", ".css": "text/css", ".png": "image/png",
             ".jpg": "image/jpeg", ".jpeg": "image/jpeg", ".tga": "application/octet-stream"}

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_GET(self):
            path = urllib.parse.urlparse(self.path).path
            target = files.resolve(path)
            if target is None:
                rel = "index.html" if path in ("/", "") else path.lstrip("/")
                full = os.path.realpath(os.path.join(viewer, rel))
                allowed = (rel == "index.html" or rel.startswith("src/") or rel.startswith("node_modules/three/"))
                if allowed and full.startswith(viewer + os.sep) and os.path.isfile(full):
                    target = full
            if target is None:
                self.send_error(404)
                return
            with open(target, "rb") as f:
                body = f.read()
            self.send_response(200)
            self.send_header("Content-Type", types.get(os.path.splitext(target)[1].lower(), "application/octet-stream"))
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.wfile.write(body)

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}/"


def browser():
    for b in BROWSERS:
        if shutil.which(b):
            return shutil.which(b)
    fail("no Chromium found; install it (Debian: sudo apt-get install chromium), or put it on the PATH")


def headless(url, extra, timeout=120):
    with tempfile.TemporaryDirectory(prefix="thmview-") as profile:
        cmd = [browser(), "--headless=new", "--no-sandbox", "--disable-gpu-sandbox", "--use-angle=swiftshader",
               "--enable-unsafe-swiftshader", "--ignore-gpu-blocklist", "--no-first-run", "--disable-extensions",
               "--hide-scrollbars", f"--user-data-dir={profile}", "--virtual-time-budget=60000"] + extra + [url]
        try:
            return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            fail(f"the browser took longer than {timeout} s")


def page_output(url):
    r = headless(url, ["--dump-dom"])
    m = re.search(r'<pre id="out"[^>]*>(.*?)</pre>', r.stdout, re.S)
    if not m or not m.group(1).strip():
        fail("the page gave no answer" + (f": {r.stderr.strip().splitlines()[-1]}" if r.stderr.strip() else ""))
    return json.loads(html.unescape(m.group(1)))


def main():
    ap = argparse.ArgumentParser(prog="thmview", description="Shows Tarnhold Mesh (.thm) files in a browser.")
    ap.add_argument("files", nargs="+", metavar="FILE.thm")
    ap.add_argument("--no-open", action="store_true", help="print the URL only")
    ap.add_argument("--png", metavar="OUT.png", help="render one picture headless and exit")
    ap.add_argument("--size", default="960x720", help="picture size WxH (default 960x720)")
    ap.add_argument("--frame", type=int, help="animation frame of the picture")
    ap.add_argument("--camera", choices=["front", "side", "top", "iso"], default="iso")
    ap.add_argument("--stats", action="store_true", help="print what the page read as JSON")
    ap.add_argument("--dump", action="store_true", help="print every record the page read as JSON (for tests)")
    ap.add_argument("--dump-page", action="store_true", help="print the page as it stands once loaded (for tests)")
    a = ap.parse_args()

    for p in a.files:
        try:
            with open(p, "rb"):
                pass
        except OSError as e:
            fail(f"cannot read {p}: {e.strerror}")
    if not os.path.isfile(os.path.join(VIEWER, "node_modules/three/build/three.module.js")):
        fail(f"the viewer's packages are missing: run npm ci in {VIEWER}")
    files = Files(a.files)
    server, base = serve(files)
    query = [("file", files.url(i)) for i in range(len(a.files))]

    if a.dump_page:
        print(headless(base + "?" + urllib.parse.urlencode(query), ["--dump-dom"]).stdout)
        return
    if a.dump:
        out = page_output(base + "?" + urllib.parse.urlencode(query + [("mode", "dump")]))
        if "fatal" in out:
            fail(out["fatal"])
        print(json.dumps(out))
        return
    if a.png or a.stats:
        if len(a.files) != 1:
            fail("--png and --stats take one file")
        if a.stats:
            out = page_output(base + "?" + urllib.parse.urlencode(query + [("mode", "stats")]))
            if "fatal" in out:
                fail(out["fatal"])
            print(json.dumps({"records": out["records"]}, indent=1))
            if out.get("error"):
                error = out["error"]
                print(f"{a.files[0]}: offset {error['offset']}: {error['message']}", file=sys.stderr)
                sys.exit(1)
            return
        m = re.fullmatch(r"(\d+)x(\d+)", a.size)
        if not m:
            fail("--size takes WxH, such as 960x720")
        q = query + [("mode", "png"), ("camera", a.camera)] + ([("frame", str(a.frame))] if a.frame is not None else [])
        target = os.path.abspath(a.png)
        r = headless(base + "?" + urllib.parse.urlencode(q), [f"--window-size={m.group(1)},{m.group(2)}",
                                                             f"--screenshot={target}"])
        if r.returncode != 0 or not os.path.isfile(target):
            fail("the browser could not render the picture: " + (r.stderr.strip().splitlines() or ["?"])[-1])
        return

    url = base + "?" + urllib.parse.urlencode(query)
    print(url, flush=True)
    if not a.no_open:
        try:
            webbrowser.open(url)
        except webbrowser.Error:
            pass
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        server.shutdown()


if __name__ == "__main__":
    main()
