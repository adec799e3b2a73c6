"""python3 -m thm [--check] FILE.thm: thmdump's --json and --check, in Python.

Exit status: 0 the file is sound; 1 it is malformed (the JSON still holds the
records read before the problem); 2 bad usage or a file that cannot be read."""

from __future__ import annotations

import argparse
import io
import sys
from typing import List, Optional

from .check import check
from .dump import dumps, to_json
from .reader import parse


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(prog="python3 -m thm", description="Reads a Tarnhold Mesh (.thm) file.")
    ap.add_argument("file", metavar="FILE", help="the .thm file to read")
    ap.add_argument("--check", action="store_true", help='validate the structure: "ok", or the first problem')
    try:
        args = ap.parse_args(argv)
    except SystemExit as e:
        return 0 if e.code == 0 else 2
    try:
        with open(args.file, "rb") as f:
            data = f.read()
    except OSError as e:
        print(f"thm: cannot open {args.file}: {e.strerror}", file=sys.stderr)
        return 2
    out = sys.stdout
    if args.check:
        problem = check(data)
        if problem is not None:
            out.write("offset %d (0x%X): %s\n" % (problem.offset, problem.offset, problem.what))
            return 1
        out.write("ok\n")
        return 0
    result = parse(data)
    out.write(dumps(to_json(result)) + "\n")
    if result.error is not None:
        print(f"thm: offset {result.error.offset}: {result.error.what}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    # The names are 8-bit text shown as code points: write them as UTF-8 whatever the locale.
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(encoding="utf-8")
    sys.exit(main())
