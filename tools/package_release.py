#!/usr/bin/env python3
"""The integrator package's own files and its release archive.

files: writes into the package folder the DEC, License.txt, ReadMe.md and ReleaseNotes.md, with
       the package's version (the manifest's [package] version) in place of @PACKAGE_VERSION@;
       it refuses release notes without a section for that version and any placeholder left.
zip:   writes <out>/<name>-<version>.zip, the package folder as one archive under <name>/, and
       <out>/SHA256SUMS with its digest. The archive is the same byte for byte from the same
       files: entries sorted by path, every time stamp 1980-01-01 00:00, mode 0644 (0755 for the
       scripts in Tools/, which an integrator runs), deflated at one fixed level, no directory
       entries and no extra fields.

Usage: package_release.py files --manifest modules.ini --source integrator_package
                                --license LICENSE --out build/package
       package_release.py zip --manifest modules.ini --package build/package --out build/release

SPDX-License-Identifier: BSD-2-Clause-Patent
"""
import argparse
import configparser
import hashlib
import re
import sys
import zipfile
from pathlib import Path

PLACEHOLDER = "@PACKAGE_VERSION@"
ZIP_TIME = (1980, 1, 1, 0, 0, 0)
ZIP_MODE = 0o100644
ZIP_TOOL_MODE = 0o100755
TOOLS_FOLDER = "Tools"


class ReleaseError(Exception):
    pass


def package_identity(manifest_path):
    manifest = configparser.ConfigParser(interpolation=None)
    if not manifest.read(manifest_path, encoding="utf-8"):
        raise ReleaseError(f"cannot read {manifest_path}")
    name, version = manifest.get("package", "name"), manifest.get("package", "version")
    if not re.fullmatch(r"\d+\.\d+", version):
        raise ReleaseError(f"{manifest_path}: version {version!r} is not <major>.<minor>")
    return name, version


def with_version(text, version, source):
    text = text.replace(PLACEHOLDER, version)
    left = re.search(r"@[A-Z_]+@", text)
    if left:
        raise ReleaseError(f"{source}: {left.group(0)} is left unreplaced")
    return text


def write_files(args):
    name, version = package_identity(args.manifest)
    source, out = Path(args.source), Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    for file in (f"{name}.dec", "ReadMe.md", "ReleaseNotes.md"):
        text = with_version((source / file).read_text(encoding="utf-8"), version, source / file)
        if file == "ReleaseNotes.md" and not re.search(rf"^## {re.escape(version)}\b", text,
                                                       re.MULTILINE):
            raise ReleaseError(f"{source / file} has no section '## {version}'")
        (out / file).write_text(text, encoding="utf-8")
    (out / "License.txt").write_bytes(Path(args.license).read_bytes())


def write_zip(args):
    name, version = package_identity(args.manifest)
    package, out = Path(args.package), Path(args.out)
    files = sorted((p for p in package.rglob("*") if p.is_file()),
                   key=lambda p: p.relative_to(package).as_posix())
    if not files:
        raise ReleaseError(f"{package} holds no files")
    out.mkdir(parents=True, exist_ok=True)
    archive = out / f"{name}-{version}.zip"
    partial = archive.with_suffix(".zip.partial")
    with zipfile.ZipFile(partial, "w") as zf:
        for path in files:
            entry = zipfile.ZipInfo(f"{name}/{path.relative_to(package).as_posix()}", ZIP_TIME)
            tool = path.relative_to(package).parts[0] == TOOLS_FOLDER
            entry.external_attr = (ZIP_TOOL_MODE if tool else ZIP_MODE) << 16
            entry.create_system = 3  # Unix, so that the mode is read back
            entry.compress_type = zipfile.ZIP_DEFLATED
            zf.writestr(entry, path.read_bytes(), compresslevel=9)
    partial.replace(archive)
    digest = hashlib.sha256(archive.read_bytes()).hexdigest()
    (out / "SHA256SUMS").write_text(f"{digest}  {archive.name}\n", encoding="utf-8")
    print(f"{archive}: {archive.stat().st_size} bytes, {len(files)} files, sha256 {digest}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("files")
    p.add_argument("--manifest", required=True)
    p.add_argument("--source", required=True)
    p.add_argument("--license", required=True)
    p.add_argument("--out", required=True)
    p = commands.add_parser("zip")
    p.add_argument("--manifest", required=True)
    p.add_argument("--package", required=True)
    p.add_argument("--out", required=True)
    args = parser.parse_args(argv)
    (write_files if args.command == "files" else write_zip)(args)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (ReleaseError, OSError, configparser.Error) as error:
        print(f"package_release.py: {error}", file=sys.stderr)
        sys.exit(1)
