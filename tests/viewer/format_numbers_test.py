#!/usr/bin/env python3
"""The viewer's reader (viewer/src/thm.js) uses the format's numbers of
format/thm_format.h: each named constant of the page equals the header's."""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# The page's name -> the header's name.
PAIRS = {
    "RECORD_LEAD": "kRecordLead", "MESH": "kMeshRecord", "OMNI": "kOmniRecord", "SPOT": "kSpotRecord",
    "ABSENT_NAME": "kAbsentName", "SHORT_HEADER": "kShortHeader", "REF_LIST_END": "kRefListEnd",
    "SKIN_END_MARK": "kSkinEndMark", "EDGE_VISIBLE": "kEdgeVisible", "CORNER_INDEX": "kCornerIndexMask",
    "TRANSPARENCY_MASK": "kTransparencyMask", "TWO_SIDED": "kTwoSided", "VR_NAME": "kVrName",
    "MATRIX": "kMatrixSize", "EXTRA": "kExtraSize", "SAMPLE": "kSampleSize", "VERTEX": "kVertexSize",
    "TRIANGLE": "kTriangleSize",
}


def evaluate(definitions):
    """Values of NAME = expression pairs, in order; expressions of numbers and earlier names."""
    values = {}
    for name, expr in definitions:
        expr = re.sub(r"\b(0x[0-9a-fA-F]+|\d+(?:\.\d+)?(?:e-?\d+)?)[uUfF]?\b", r"\1", expr)
        try:
            values[name] = eval(expr, {"__builtins__": {}}, dict(values))
        except Exception:
            pass  # not a plain number (a Math call, a string): not a format number
    return values


def header_numbers():
    text = open(os.path.join(ROOT, "format", "thm_format.h")).read()
    return evaluate(re.findall(r"inline constexpr [\w:]+ (k\w+) = ([^;]+);", text))


def page_numbers():
    text = open(os.path.join(ROOT, "viewer", "src", "thm.js")).read()
    defs = []
    for line in re.findall(r"^(?:export )?const ([^;]+);", text, re.M):
        for part in line.split(","):
            if "=" in part:
                name, expr = part.split("=", 1)
                defs.append((name.strip(), expr.strip()))
    return evaluate(defs)


def main():
    header, page = header_numbers(), page_numbers()
    failed = 0
    for js, cpp in PAIRS.items():
        if js not in page or cpp not in header or page[js] != header[cpp]:
            print(f"viewer {js} = {page.get(js)}, format {cpp} = {header.get(cpp)}")
            failed += 1
    print(f"{len(PAIRS) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
