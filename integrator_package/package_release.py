#!/usr/bin/env python3
"""The integrator package's own files and its release archive.

files: writes into the package folder the DEC, License.txt and ReleaseNotes.md, with the
       package's version (the manifest's [package] version) in place of @PACKAGE_VERSION@ (it
       refuses release notes without a section for that version and any placeholder left), and
       ReadMe.md from the integrators' text (--readme, docs/integration.md): its first heading
       the package's name and version, links to the repository's other files as plain text.
uswid: writes the package's uSWID file, one CoSWID tag per module, made by fwupd's
       `fwupdtool firmware-build` from a builder XML written beside the output.
zip:   writes <out>/<name>-<version>.zip, the package folder as one archive under <name>/, and
       <out>/SHA256SUMS with its digest. The archive is the same byte for byte from the same
       files: entries sorted by path, every time stamp 1980-01-01 00:00, mode 0644 (0755 for the
       scripts in Tools/, which an integrator runs), deflated at one fixed level, no directory
       entries and no extra fields.
spdx:  writes the release archive's SPDX 2.3 document (JSON), one file entry per archive entry;
       its creation time and namespace come from the archive, so the same archive gives the
       same bytes.

--creator names who makes the tags and the document, as "Name <regid>" (regid: a domain).

Usage: integrator_package/package_release.py COMMAND ..., the commands:
  files --manifest modules.ini --source integrator_package --readme docs/integration.md
        --license LICENSE --out build/package
  uswid --manifest modules.ini --creator "Name <regid>" [--fwupdtool PATH]
        --out build/package/<name>.uswid MODULE...
  zip   --manifest modules.ini --package build/package --out build/release
  spdx  --manifest modules.ini --creator "Name <regid>"
        --archive build/release/<name>-<version>.zip --out <document>

SPDX-License-Identifier: BSD-2-Clause-Patent
"""
import argparse
import configparser
import hashlib
import json
import re
import subprocess
import sys
import xml.etree.ElementTree as ET
import zipfile
from pathlib import Path

PLACEHOLDER = "@PACKAGE_VERSION@"
ZIP_TIME = (1980, 1, 1, 0, 0, 0)
ZIP_MODE = 0o100644
ZIP_TOOL_MODE = 0o100755
TOOLS_FOLDER = "Tools"
LICENSE = "BSD-2-Clause-Patent"
LICENSE_URL = f"https://spdx.org/licenses/{LICENSE}.html"
CREATOR = re.compile(r"^(\S.*?)\s*<([^<>\s]+)>$")
# What each kind of package file is, for the SPDX file entries; every other file is text.
BINARY_SUFFIXES = {".efi", ".ffs", ".uswid"}


class ReleaseError(Exception):
    pass


def read_manifest(manifest_path):
    """The manifest, the package's name and its version."""
    manifest = configparser.ConfigParser(interpolation=None)
    if not manifest.read(manifest_path, encoding="utf-8"):
        raise ReleaseError(f"cannot read {manifest_path}")
    name, version = manifest.get("package", "name"), manifest.get("package", "version")
    if not re.fullmatch(r"\d+\.\d+", version):
        raise ReleaseError(f"{manifest_path}: version {version!r} is not <major>.<minor>")
    return manifest, name, version


def package_identity(manifest_path):
    return read_manifest(manifest_path)[1:]


def with_version(text, version, source):
    text = text.replace(PLACEHOLDER, version)
    left = re.search(r"@[A-Z_]+@", text)
    if left:
        raise ReleaseError(f"{source}: {left.group(0)} is left unreplaced")
    return text


# A Markdown link whose target is no address and no anchor of the same page: a file of the
# repository, which the package does not carry.
REPOSITORY_LINK = re.compile(r"\[([^\]]+)\]\((?![a-z]+:|#)[^)]*\)")
FIRST_HEADING = re.compile(r"^# .*$", re.MULTILINE)
LEADING_COMMENT = re.compile(r"\A<!--.*?-->\n", re.DOTALL)
PACKAGE_README_HEAD = ("<!--\n  The package's ReadMe for platform integrators, made from the project's "
                       "docs/integration.md.\n  SPDX-License-Identifier: BSD-2-Clause-Patent\n-->\n")


def package_readme(text, name, version):
    """The package's ReadMe.md from the integrators' text of the repository: its first heading
    names the package and its version, and a link to another file of the repository keeps only
    its text (the package travels without the repository)."""
    text = FIRST_HEADING.sub(f"# {name} {version}", text, count=1)
    text = LEADING_COMMENT.sub("", text, count=1)
    return PACKAGE_README_HEAD + REPOSITORY_LINK.sub(r"\1", text)


def write_files(args):
    name, version = package_identity(args.manifest)
    source, out = Path(args.source), Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    readme = Path(args.readme).read_text(encoding="utf-8")
    if not FIRST_HEADING.search(readme):
        raise ReleaseError(f"{args.readme} has no heading")
    (out / "ReadMe.md").write_text(package_readme(readme, name, version), encoding="utf-8")
    for file in (f"{name}.dec", "ReleaseNotes.md"):
        text = with_version((source / file).read_text(encoding="utf-8"), version, source / file)
        if file == "ReleaseNotes.md" and not re.search(rf"^## {re.escape(version)}\b", text,
                                                       re.MULTILINE):
            raise ReleaseError(f"{source / file} has no section '## {version}'")
        (out / file).write_text(text, encoding="utf-8")
    (out / "License.txt").write_bytes(Path(args.license).read_bytes())


def tag_creator(text):
    match = CREATOR.match(text)
    if not match:
        raise ReleaseError(f"creator {text!r} is not 'Name <regid>'")
    return match.group(1), match.group(2)


def write_uswid(args):
    manifest, _, version = read_manifest(args.manifest)
    creator, regid = tag_creator(args.creator)
    root = ET.Element("firmware", gtype="FuUswidFirmware")
    for module in args.modules:
        tag = ET.SubElement(root, "firmware", gtype="FuCoswidFirmware")
        for key, value in (("id", manifest.get(module, "file_guid")), ("version", version),
                           ("product", module)):
            ET.SubElement(tag, key).text = value
        link = ET.SubElement(tag, "link")
        ET.SubElement(link, "rel").text = "license"
        ET.SubElement(link, "href").text = LICENSE_URL
        entity = ET.SubElement(tag, "entity")
        for key, value in (("name", creator), ("regid", regid), ("role", "tag-creator")):
            ET.SubElement(entity, key).text = value
    ET.indent(root)
    out = Path(args.out)
    builder, partial = out.with_name(out.name + ".builder.xml"), out.with_name(out.name + ".partial")
    builder.write_text(ET.tostring(root, encoding="unicode") + "\n", encoding="utf-8")
    result = subprocess.run([args.fwupdtool, "firmware-build", str(builder), str(partial)],
                            capture_output=True, text=True, check=False)
    if result.returncode != 0 or not partial.is_file():
        lines = [line for line in result.stderr.splitlines() if "…" not in line]
        raise ReleaseError(f"fwupdtool firmware-build {builder} failed: "
                           f"{lines[-1] if lines else result.returncode}")
    partial.replace(out)
    builder.unlink()


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


def spdx_checksums(data):
    return [{"algorithm": "SHA1", "checksumValue": hashlib.sha1(data).hexdigest()},
            {"algorithm": "SHA256", "checksumValue": hashlib.sha256(data).hexdigest()}]


def write_spdx(args):
    name, version = package_identity(args.manifest)
    creator, regid = tag_creator(args.creator)
    archive = Path(args.archive)
    data = archive.read_bytes()
    with zipfile.ZipFile(archive) as zf:
        entries = [(entry, zf.read(entry)) for entry in zf.infolist() if not entry.is_dir()]
    stamps = {entry.date_time for entry, _ in entries}
    if len(stamps) != 1:
        raise ReleaseError(f"{archive}: its entries carry {len(stamps)} different time stamps")
    licence_text = next((body for entry, body in entries
                         if entry.filename == f"{name}/License.txt"), b"").decode("utf-8")
    copyright = next((line for line in licence_text.splitlines() if line.startswith("Copyright")),
                     "NOASSERTION")
    package_id = f"SPDXRef-Package-{name}"
    files, relationships = [], [{"spdxElementId": "SPDXRef-DOCUMENT",
                                 "relationshipType": "DESCRIBES",
                                 "relatedSpdxElement": package_id}]
    for entry, body in entries:
        file_id = "SPDXRef-File-" + re.sub(r"[^A-Za-z0-9.-]", "-", entry.filename)
        if any(f["SPDXID"] == file_id for f in files):
            raise ReleaseError(f"{entry.filename}: SPDX identifier {file_id} taken twice")
        files.append({"fileName": f"./{entry.filename}", "SPDXID": file_id,
                      "fileTypes": ["BINARY" if Path(entry.filename).suffix in BINARY_SUFFIXES
                                    else "TEXT"],
                      "checksums": spdx_checksums(body), "licenseConcluded": LICENSE,
                      "copyrightText": copyright})
        relationships.append({"spdxElementId": package_id, "relationshipType": "CONTAINS",
                              "relatedSpdxElement": file_id})
    # SPDX's package verification code: SHA1 of the files' SHA1s, sorted and concatenated.
    verification = hashlib.sha1("".join(sorted(f["checksums"][0]["checksumValue"]
                                               for f in files)).encode()).hexdigest()
    digest = hashlib.sha256(data).hexdigest()
    base = regid if "://" in regid else f"https://{regid}"
    document = {
        "spdxVersion": "SPDX-2.3", "dataLicense": "CC0-1.0", "SPDXID": "SPDXRef-DOCUMENT",
        "name": f"{name}-{version}",
        "documentNamespace": f"{base}/spdx/{name}-{version}-{digest}",
        "creationInfo": {"created": "{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z".format(*stamps.pop()),
                         "creators": [f"Organization: {creator}", "Tool: package_release.py"]},
        "packages": [{
            "name": name, "SPDXID": package_id, "versionInfo": version,
            "packageFileName": archive.name, "supplier": f"Organization: {creator}",
            "downloadLocation": "NOASSERTION", "filesAnalyzed": True,
            "packageVerificationCode": {"packageVerificationCodeValue": verification},
            "checksums": spdx_checksums(data), "primaryPackagePurpose": "FIRMWARE",
            "licenseConcluded": LICENSE, "licenseDeclared": LICENSE, "copyrightText": copyright}],
        "files": files,
        "relationships": relationships,
    }
    out = Path(args.out)
    out.write_text(json.dumps(document, indent=2) + "\n", encoding="utf-8")
    print(f"{out}: {len(files)} files of {archive.name}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("files")
    p.add_argument("--manifest", required=True)
    p.add_argument("--source", required=True)
    p.add_argument("--readme", required=True)
    p.add_argument("--license", required=True)
    p.add_argument("--out", required=True)
    p = commands.add_parser("uswid")
    p.add_argument("--manifest", required=True)
    p.add_argument("--creator", required=True)
    p.add_argument("--fwupdtool", default="fwupdtool")
    p.add_argument("--out", required=True)
    p.add_argument("modules", nargs="+")
    p = commands.add_parser("zip")
    p.add_argument("--manifest", required=True)
    p.add_argument("--package", required=True)
    p.add_argument("--out", required=True)
    p = commands.add_parser("spdx")
    p.add_argument("--manifest", required=True)
    p.add_argument("--creator", required=True)
    p.add_argument("--archive", required=True)
    p.add_argument("--out", required=True)
    args = parser.parse_args(argv)
    {"files": write_files, "uswid": write_uswid, "zip": write_zip, "spdx": write_spdx}[
        args.command](args)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (ReleaseError, OSError, configparser.Error) as error:
        print(f"package_release.py: {error}", file=sys.stderr)
        sys.exit(1)
