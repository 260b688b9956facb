#!/usr/bin/env python3
"""Checks that the repository's Markdown documents (README.md and docs/**/*.md) lead nowhere
that does not exist: every relative link or image ([text](path), ![alt](path); an #anchor is
stripped, a scheme such as https: or mailto: skipped) resolves to a file or folder relative to
its document, and every backticked path that starts with a top-level folder of the repository
(as git lists them) or names a file at the repository's root exists relative to the root. A
backticked command is judged by its first word; a trailing :line, (...) or punctuation is
stripped; a path without a suffix may name a source module by its stem (board/q35/hii_database).
Not repository paths: build outputs (untracked, so no top-level folder), paths inside the
package, system paths, and anything with a glob or placeholder (<driver>, *, $(TARGET), ...).
Fenced code blocks are not read. Prints each broken link or path with document and line;
exit 1 when there is one.

Usage: tests/docs/check_links.py [ROOT]   (default: the repository holding this script)
"""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import re
import subprocess
import sys
from pathlib import Path
from urllib.parse import unquote

ROOT_FILES = {"README.md", "run.sh", "test.sh", "LICENSE", "CMakeLists.txt", "CMakePresets.json"}
FENCE = re.compile(r"^\s*(```|~~~)")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
LINK = re.compile(r"!?\[[^\]]*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")
PLACEHOLDER = re.compile(r"[<>*?\[\]{}$]|\.\.\.")
TRAILING = re.compile(r"(:\d+(-\d+)?|\([^)]*\)|[.,;:!?'\"])+$")


def top_level(root):
    """(top-level folders, files at the root) of the repository: git's list where the tree is a
    checkout, else what is on disk less build output."""
    listing = subprocess.run(["git", "ls-files"], cwd=root, capture_output=True, text=True)
    if listing.returncode == 0 and listing.stdout:
        names = listing.stdout.splitlines()
        return ({n.split("/")[0] for n in names if "/" in n},
                {n for n in names if "/" not in n} | ROOT_FILES)
    entries = [p for p in root.iterdir() if not p.name.startswith(("build", ".git"))]
    return ({p.name for p in entries if p.is_dir()},
            {p.name for p in entries if p.is_file()} | ROOT_FILES)


def repository_path(span, folders, root_files):
    """The repository path a code span names, or None when it names none."""
    words = span.split()
    if not words:
        return None
    path = TRAILING.sub("", words[0].removeprefix("./"))
    if not path or PLACEHOLDER.search(path):
        return None
    if ("/" in path and path.split("/")[0] in folders) or path in root_files:
        return path
    return None


def exists(path):
    return path.exists() or (not path.suffix and any(path.parent.glob(path.name + ".*")))


def check_document(root, document, folders, root_files):
    findings, fenced = [], False
    name = document.relative_to(root).as_posix()
    for number, line in enumerate(document.read_text(encoding="utf-8").splitlines(), 1):
        if FENCE.match(line):
            fenced = not fenced
            continue
        if fenced:
            continue
        for match in CODE_SPAN.finditer(line):
            path = repository_path(match.group(2), folders, root_files)
            if path and not exists(root / path):
                findings.append(f"{name}:{number}: no such path `{path}`")
        for match in LINK.finditer(CODE_SPAN.sub("", line)):
            target = unquote(match.group(1).split("#", 1)[0])
            if target and not SCHEME.match(target) and not (document.parent / target).exists():
                findings.append(f"{name}:{number}: broken link ({match.group(1)})")
    return findings


def check(root):
    """Every finding in the repository at root, and how many documents were read."""
    folders, root_files = top_level(root)
    documents = [root / "README.md", *sorted(root.glob("docs/**/*.md"))]
    documents = [d for d in documents if d.is_file()]
    findings = [f for d in documents for f in check_document(root, d, folders, root_files)]
    return findings, len(documents)


def main(argv):
    root = Path(argv[1] if len(argv) > 1 else Path(__file__).resolve().parents[2]).resolve()
    findings, documents = check(root)
    for finding in findings:
        print(finding)
    print(f"{documents} documents, {len(findings)} broken links or paths")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
