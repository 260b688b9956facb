#!/usr/bin/env python3
"""Checks that the project carries its licence: LICENSE at the root, and every source, header,
script, CMake file, INF, DEC and INI the project keeps opens with its role and an
SPDX-License-Identifier line (within its first lines, after the role comment). With --package
DIR it checks the files the build generates into the integrator package the same way.

Usage: .ci/check_licence_headers.py ROOT [--package DIR]"""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import argparse
import ast
import subprocess
import sys
from pathlib import Path

LINE = "SPDX-License-Identifier: BSD-2-Clause-Patent"
SUFFIXES = {".cpp", ".h", ".py", ".sh", ".cmake", ".inf", ".dec", ".ini"}
NAMES = {"CMakeLists.txt", "run"}
# The line closes the opening comment, which says the file's role: it must come before this
# many lines, or in a Python script before its first statement after the docstring.
HEAD_LINES = 40


def tracked(root):
    """The project's files: git's list where the tree is a checkout, every file otherwise."""
    listing = subprocess.run(["git", "ls-files"], cwd=root, capture_output=True, text=True)
    if listing.returncode == 0 and listing.stdout:
        return [root / name for name in listing.stdout.split()]
    return [p for p in root.rglob("*") if p.is_file() and "build" not in p.relative_to(root).parts]


def opening(path):
    """The lines the licence line may stand in."""
    lines = path.read_text(errors="replace").splitlines()
    end = HEAD_LINES
    if path.suffix == ".py":
        try:
            body = ast.parse("\n".join(lines)).body
        except SyntaxError:
            body = []
        if body and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant):
            body = body[1:]
        end = max(end, body[0].lineno - 1 if body else len(lines))
    return lines[:end]


def wants_line(path):
    return (path.suffix in SUFFIXES or path.name in NAMES) and "corpus" not in path.parts


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("root", type=Path)
    parser.add_argument("--package", type=Path)
    args = parser.parse_args()
    failures = []
    if not (args.root / "LICENSE").is_file():
        failures.append("no LICENSE at the project's root")
    files = [p for p in tracked(args.root) if wants_line(p) and p.is_file()]
    if args.package:
        files += [p for p in args.package.rglob("*") if p.is_file() and wants_line(p)]
    for path in files:
        if not any(LINE in line for line in opening(path)):
            failures.append(f"{path}: no '{LINE}' line in its opening comment")
    for failure in failures:
        print(failure, file=sys.stderr)
    print(f"{len(files)} files checked, {len(failures)} without the licence line")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
