#!/usr/bin/env python3
"""Builds the driver images and the integrator package twice, from clean, in two different build
directories, and checks that every image, every file of the package (the release gate
Tools/guards_report.py included, and its uSWID tags where fwupdtool is installed) and the
package's release archive (build/release: the .zip, its SHA256SUMS and its SPDX document) came
out byte for byte the same. Prints each file that differs with the first differing offset;
exit 1 when any does.

Usage: check_reproducible.py SOURCE_DIR WORK_DIR [CXX_COMPILER]
"""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import hashlib
import shutil
import subprocess
import sys
from pathlib import Path


def build(source, directory, compiler):
    if directory.exists():
        shutil.rmtree(directory)
    subprocess.run(["cmake", "-S", str(source), "-B", str(directory), "-G", "Ninja",
                    "-DGUARDS_BUILD_TESTS=OFF", f"-DCMAKE_CXX_COMPILER={compiler}"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(directory), "-j2"], check=True,
                   stdout=subprocess.DEVNULL)


def artifacts(directory):
    """{relative path: bytes} of the images, the package files and the release archive."""
    found = {}
    for folder in ("images", "package", "release"):
        for path in sorted((directory / folder).rglob("*")):
            if path.is_file() and path.suffix != ".lock":
                found[str(path.relative_to(directory))] = path.read_bytes()
    return found


def first_difference(left, right):
    for offset, (a, b) in enumerate(zip(left, right)):
        if a != b:
            return f"first difference at offset 0x{offset:X}"
    return f"sizes {len(left)} and {len(right)}"


def main(argv):
    if len(argv) not in (3, 4):
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    source, work = Path(argv[1]).resolve(), Path(argv[2]).resolve()
    compiler = argv[3] if len(argv) == 4 else "clang++-14"
    first, second = work / "first", work / "second-build-elsewhere"
    build(source, first, compiler)
    build(source, second, compiler)
    left, right = artifacts(first), artifacts(second)
    if (not any(name.endswith(".efi") for name in left) or "package/SHA256SUMS" not in left
            or "package/Tools/guards_report.py" not in left
            or not any(name.endswith(".zip") for name in left) or "release/SHA256SUMS" not in left
            or not any(name.endswith(".spdx.json") for name in left)):
        print("reproducible: the build made no images, no package/SHA256SUMS, no "
              "package/Tools/guards_report.py or no release archive with its SHA256SUMS and SPDX "
              "document", file=sys.stderr)
        return 1
    differing = 0
    for name in sorted(set(left) | set(right)):
        if name not in left or name not in right:
            print(f"reproducible: {name} is in only one of the builds")
            differing += 1
        elif left[name] != right[name]:
            print(f"reproducible: {name} differs ({first_difference(left[name], right[name])})")
            differing += 1
        else:
            print(f"same {hashlib.sha256(left[name]).hexdigest()}  {name}")
    if differing:
        print(f"reproducible: {differing} of {len(left)} files differ between the two builds")
        return 1
    print(f"reproducible: all {len(left)} files identical in both builds")
    shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
