#!/usr/bin/env python3
"""Prints the coverage of the driver and support sources from llvm-cov's JSON export and its text
view: one row per source (lines and branches covered), then the lines never executed and the
branch directions never taken, each with its source line.

  coverage_report.py ROOT EXPORT.json SHOW.txt DIR...
"""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import json
import os
import re
import sys


def relative(root, path):
    return os.path.relpath(os.path.realpath(path), root)


def wanted(path, dirs):
    return path.split(os.sep)[0] in dirs and path.endswith(".cpp")


def uncovered_lines(show_text, root, dirs):
    """Lines whose execution count is 0, per source, from `llvm-cov show -format=text`."""
    result = {}
    current = None
    line_re = re.compile(r"^\s*(\d+)\|\s*([0-9.kMG]*)\|(.*)$")
    for text in show_text.splitlines():
        if text.startswith("/") and text.endswith(":"):
            path = relative(root, text[:-1])
            current = path if wanted(path, dirs) else None
            continue
        if current is None:
            continue
        match = line_re.match(text)
        if match and match.group(2) == "0":
            result.setdefault(current, {})[int(match.group(1))] = match.group(3).strip()
    return result


def main():
    root, export_path, show_path, dirs = sys.argv[1], sys.argv[2], sys.argv[3], set(sys.argv[4:])
    export = json.load(open(export_path))
    with open(show_path) as show:
        missed_lines = uncovered_lines(show.read(), root, dirs)
    files = {}
    for data in export["data"]:
        for entry in data["files"]:
            path = relative(root, entry["filename"])
            if wanted(path, dirs):
                files[path] = entry

    print(f"{'source':40} {'lines':>15} {'branches':>15}")
    totals = [0, 0, 0, 0]
    for path in sorted(files):
        lines, branches = files[path]["summary"]["lines"], files[path]["summary"]["branches"]
        totals = [totals[0] + lines["covered"], totals[1] + lines["count"],
                  totals[2] + branches["covered"], totals[3] + branches["count"]]
        print(f"{path:40} {lines['covered']:>4}/{lines['count']:<4} {lines['percent']:5.1f}% "
              f"{branches['covered']:>4}/{branches['count']:<4} {branches['percent']:5.1f}%")
    line_pct = 100.0 * totals[0] / totals[1] if totals[1] else 100.0
    branch_pct = 100.0 * totals[2] / totals[3] if totals[3] else 100.0
    print(f"{'total':40} {totals[0]:>4}/{totals[1]:<4} {line_pct:5.1f}% "
          f"{totals[2]:>4}/{totals[3]:<4} {branch_pct:5.1f}%")

    for path in sorted(files):
        source = open(os.path.join(root, path)).read().splitlines()
        for number, text in sorted(missed_lines.get(path, {}).items()):
            print(f"line never executed  {path}:{number}: {text}")
        seen = set()
        for branch in files[path]["branches"]:
            line, column, taken, not_taken = branch[0], branch[1], branch[4], branch[5]
            for direction, count in (("true", taken), ("false", not_taken)):
                key = (line, column, direction)
                if count == 0 and key not in seen:
                    seen.add(key)
                    text = source[line - 1].strip() if line <= len(source) else ""
                    print(f"branch never {direction:5}  {path}:{line}:{column}: {text}")


if __name__ == "__main__":
    main()
