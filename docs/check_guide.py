"""Keeps docs/guide.md honest.

A fenced block right after `<!-- file: PATH -->` must equal that file of the
repository byte for byte (the files are built and run by CTest and
scripts/check-install). A block right after `<!-- run -->` is run with bash in
a scratch folder where `quelt` and `quelt-make-sample` are on PATH, and must
succeed. With --picture, docs/sample.svg must be what the tools draw now.

Usage: check_guide.py REPO QUELT QUELT_MAKE_SAMPLE [--picture]
"""

import os
import pathlib
import re
import subprocess
import sys
import tempfile

MARK = re.compile(r"<!-- (file: (?P<path>\S+)|(?P<run>run)) -->")


def blocks(text):
    """Yields (marker match, block body) for every marked fenced block."""
    lines = text.splitlines(keepends=True)
    i = 0
    while i < len(lines):
        mark = MARK.fullmatch(lines[i].strip())
        if mark and i + 1 < len(lines) and lines[i + 1].startswith("```"):
            fence = re.match(r"`{3,}", lines[i + 1]).group(0)
            end = i + 2
            while end < len(lines) and lines[end].rstrip() != fence:
                end += 1
            if end == len(lines):
                raise SystemExit(f"guide: unterminated block after line {i + 1}")
            yield mark, "".join(lines[i + 2:end])
            i = end
        i += 1


def main():
    repo, quelt, make_sample = (pathlib.Path(a).resolve() for a in sys.argv[1:4])
    guide = (repo / "docs" / "guide.md").read_text()
    env = dict(os.environ)
    env["PATH"] = f"{quelt.parent}{os.pathsep}{make_sample.parent}{os.pathsep}{env['PATH']}"
    failures, files, runs = [], 0, 0
    with tempfile.TemporaryDirectory() as scratch:
        for mark, body in blocks(guide):
            if mark.group("path"):
                files += 1
                source = repo / mark.group("path")
                if not source.is_file():
                    failures.append(f"{mark.group('path')}: no such file")
                elif source.read_text() != body:
                    failures.append(f"{mark.group('path')}: the guide's copy differs; paste it again")
            else:
                runs += 1
                result = subprocess.run(["bash", "-euo", "pipefail", "-c", body], cwd=scratch,
                                        env=env, capture_output=True, text=True)
                sys.stdout.write(f"$ {body}{result.stdout}")
                if result.returncode != 0:
                    failures.append(f"block exited with {result.returncode}:\n{body}{result.stderr}")
        if files == 0 or runs == 0:
            failures.append(f"expected file and run blocks, found {files} and {runs}")
        if "--picture" in sys.argv:
            sample = pathlib.Path(scratch) / "picture"
            subprocess.run([str(make_sample), str(sample)], check=True)
            drawn = sample / "now.svg"
            subprocess.run([str(quelt), "manifest", str(sample / "manifest.json"), "--svg", str(drawn)],
                           check=True, stdout=subprocess.DEVNULL)
            if drawn.read_text() != (repo / "docs" / "sample.svg").read_text():
                failures.append("docs/sample.svg is stale: run the command in docs/guide.md to redraw it")
    for failure in failures:
        print("FAILED:", failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
