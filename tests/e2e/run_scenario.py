#!/usr/bin/env python3
"""Boots one board scenario on QEMU's q35 machine with OVMF and checks what the console shows.

The images and a startup script go on a FAT disk made with mtools; OVMF's code image is used
read-only with a fresh copy of its variable store; the serial console (OVMF mirrors its console
there) is captured to a log and the screen is saved as a PNG through QMP `screendump`. Every run
has a time limit and QEMU is always stopped. A scenario of the DEBUG flavour takes its drivers
from the DEBUG folder of the images directory; a signed scenario boots copies of its drivers
signed by sbsign with a key made for the run. Exit status: 0 the scenario passed, 1 it failed
(one line on stderr says why), 77 QEMU, OVMF or mtools (or, for a signed scenario, openssl or
sbsigntool) is missing (ctest reports a skip).

A flash scenario boots a firmware variant built by board/board_firmware.py instead of Debian's
OVMF: the drivers are in its flash, the scenario's variables are written into its variable store
before the machine starts, and the startup script only runs the scenario's commands. When that
build was skipped because Debian's source archive could not be reached, a flash scenario exits 77
with the reason.

Usage: run_scenario.py [--show] [--images DIR] [--firmware DIR] [--out DIR] [--list] [SCENARIO]
       run_scenario.py --flash-variant [SCENARIO]   the firmware variant it boots (none: empty)
SCENARIO defaults to "demo": an unlisted USB module on the wireless-WAN port, from flash.
"""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import argparse
import ctypes
import fcntl
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import scenarios  # noqa: E402
import varstore  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
SKIP = 77

OVMF_PAIRS = [
    ("/usr/share/OVMF/OVMF_CODE_4M.fd", "/usr/share/OVMF/OVMF_VARS_4M.fd"),
    ("/usr/share/OVMF/OVMF_CODE.fd", "/usr/share/OVMF/OVMF_VARS.fd"),
    ("/usr/share/edk2/ovmf/OVMF_CODE.fd", "/usr/share/edk2/ovmf/OVMF_VARS.fd"),
]
BOARD_IMAGE = "board_support"
APPLICATIONS = ["ready_to_boot", "board_dump"]

BOOT_LIMIT = 45          # seconds for the firmware to reach the shell
POLL = 0.2

START_MARK = "e2e: startup script running"
END_MARK = "e2e: startup script finished"
FIRMWARE_EXCEPTION = "!!!! X64 Exception"

ANSI = re.compile(r"\x1b\[[0-9;=?]*[A-Za-z]")


class Failure(Exception):
    """The scenario failed; the message is the one-line reason."""


class Skipped(Exception):
    """A tool the scenarios need is not installed."""


def console_text(raw):
    """The serial log as plain lines: terminal escapes and carriage returns removed."""
    return ANSI.sub("", raw).replace("\r", "")


def line_pattern(line):
    """A regex for one expected console line. The serial terminal may print a character outside
    ASCII as '?', so such a character also matches '?' (or a replacement character). A compiled
    pattern is its own."""
    if isinstance(line, re.Pattern):
        return line
    parts = []
    for character in line:
        if ord(character) < 0x80:
            parts.append(re.escape(character))
        else:
            parts.append("(?:%s|\\?|\ufffd)" % re.escape(character))
    return re.compile("".join(parts))


def match_in_order(text, lines):
    """(index just past the last line, None) when lines appear in text in this order, else
    (None, the first line not found)."""
    position = 0
    for line in lines:
        match = line_pattern(line).search(text, position)
        if match is None:
            return None, line
        position = match.end()
    return position, None


def flash_firmware(scenario, firmware_dir):
    """The code and variable-store images of the scenario's firmware variant."""
    variant = firmware_dir / "firmware" / scenario.flash
    code, variables = variant / "OVMF_CODE.fd", variant / "OVMF_VARS.fd"
    if code.is_file() and variables.is_file():
        return code, variables
    unavailable = firmware_dir / "UNAVAILABLE"
    if unavailable.is_file():
        raise Skipped(f"no board firmware: {unavailable.read_text().strip()}")
    raise Failure(f"missing firmware {code} (board/board_firmware.py builds it)")


def tools():
    """QEMU, mtools and an OVMF code/variable-store pair; raises Skipped naming what is missing."""
    qemu = shutil.which("qemu-system-x86_64")
    if qemu is None:
        raise Skipped("qemu-system-x86_64 not found (Debian package qemu-system-x86)")
    for tool in ("mformat", "mcopy"):
        if shutil.which(tool) is None:
            raise Skipped(f"{tool} not found (Debian package mtools)")
    pairs = OVMF_PAIRS
    if os.environ.get("OVMF_CODE") and os.environ.get("OVMF_VARS"):
        pairs = [(os.environ["OVMF_CODE"], os.environ["OVMF_VARS"])]
    for code, variables in pairs:
        if os.path.isfile(code) and os.path.isfile(variables):
            return qemu, code, variables
    raise Skipped("OVMF firmware not found (Debian package ovmf: /usr/share/OVMF/OVMF_CODE_4M.fd)")


# In a flash scenario's command, @PcdName@ (a byte array) or @PcdName:SIZE@ stands for the file
# offset and the size of that PCD in the guard's image, from the [PatchPcd] line of the INF the
# firmware was built with.
PCD_OPERANDS = re.compile(r"@(Pcd\w+)(?::(\d+))?@")


def pcd_operands(firmware_dir, command):
    lines = [line.strip() for inf in (firmware_dir / "packages").glob("*/*/RELEASE/*.inf")
             for line in inf.read_text(encoding="utf-8").splitlines()]

    def operands(match):
        for line in lines:
            fields = line.split("|")
            if len(fields) == 3 and fields[0].endswith("." + match.group(1)):
                size = match.group(2) or len(fields[1].split(","))
                return f"{fields[2]} 0x{int(size):X}"
        raise Failure(f"no [PatchPcd] line for {match.group(1)} under {firmware_dir / 'packages'}")
    return PCD_OPERANDS.sub(operands, command)


def startup_script(scenario, firmware_dir=None):
    lines = ["@echo -off", "fs0:", f"echo {START_MARK}"]
    if scenario.flash:
        lines.extend(pcd_operands(firmware_dir, command) for command in scenario.afterwards)
        lines.append(f"echo {END_MARK}")
        return "\r\n".join(lines) + "\r\n"
    for variable in scenario.variables:
        lines.append(f"setvar {variable.name} -guid {variable.guid} {variable.attributes} "
                     f"={variable.hex_bytes}")
    for image in [BOARD_IMAGE] + scenario.drivers:
        lines.append(f"load {image}.efi")
    lines.append("ready_to_boot.efi")
    lines.extend(scenario.afterwards)
    lines.append(f"echo {END_MARK}")
    return "\r\n".join(lines) + "\r\n"


# The shell's setvar attribute flags as the variable store's attribute bits.
ATTRIBUTE_BITS = {"-nv": 0x1, "-bs": 0x2, "-rt": 0x4}


def write_variables(store, variables):
    """Writes the scenario's variables into the variable-store image, as the shell's setvar
    would have (a board option made non-volatile, so that it is there at the next boot)."""
    image = bytearray(store.read_bytes())
    for variable in variables:
        attributes = 0x1
        for flag in variable.attributes.split():
            attributes |= ATTRIBUTE_BITS[flag]
        try:
            varstore.set_variable(image, variable.name, variable.guid, attributes,
                                  bytes.fromhex(variable.hex_bytes))
        except varstore.StoreError as error:
            raise Failure(f"could not write {variable.name} into the variable store: {error}")
    store.write_bytes(image)


def make_disk(path, images, script):
    """A 16 MiB FAT16 volume holding the images and startup.nsh."""
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    if path.exists():
        path.unlink()
    subprocess.run(["mformat", "-i", str(path), "-C", "-T", "32768", "-h", "16", "-s", "32",
                    "-v", "E2E", "::"], check=True, env=env, capture_output=True)
    script_path = path.with_name("startup.nsh")
    script_path.write_text(script, encoding="ascii")
    subprocess.run(["mcopy", "-o", "-i", str(path), str(script_path)] + [str(i) for i in images]
                   + ["::/"], check=True, env=env, capture_output=True)


def die_with_parent():
    """Runs in the QEMU child: the kernel kills it if the runner dies, however it dies."""
    PR_SET_PDEATHSIG = 1
    try:
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    except (OSError, AttributeError):
        pass


class Qmp:
    """A minimal QMP client over a Unix socket."""

    def __init__(self, path, deadline):
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(str(path))
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise Failure("QEMU's QMP socket never came up")
                time.sleep(0.1)
        self.sock.settimeout(10)
        self.stream = self.sock.makefile("rw", encoding="utf-8")
        self.stream.readline()  # greeting
        self.execute("qmp_capabilities")

    def execute(self, command, **arguments):
        message = {"execute": command}
        if arguments:
            message["arguments"] = arguments
        self.stream.write(json.dumps(message) + "\n")
        self.stream.flush()
        while True:
            line = self.stream.readline()
            if not line:
                raise OSError("QMP connection closed")
            reply = json.loads(line)
            if "event" in reply:
                continue
            if "error" in reply:
                raise OSError(f"QMP {command}: {reply['error'].get('desc')}")
            return reply.get("return")

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class Machine:
    """One QEMU process with its serial log and QMP socket; always stopped by close()."""

    def __init__(self, qemu, code, variables, disk, scenario, workdir, socket_dir):
        self.serial = workdir / "serial.log"
        self.serial.write_bytes(b"")
        self.qmp_path = Path(socket_dir) / "qmp.sock"
        store = workdir / "vars.fd"
        shutil.copyfile(variables, store)
        if scenario.flash:
            write_variables(store, scenario.variables)
        devices, display = scenario.devices, scenario.vga
        command = [
            qemu, "-machine", "q35,smm=on" if scenario.smm else "q35", "-accel", "tcg",
            "-m", "256", "-smp", "1",
            "-nodefaults", "-vga", display, "-display", "none", "-no-reboot",
            "-serial", f"file:{self.serial}", "-monitor", "none",
            "-qmp", f"unix:{self.qmp_path},server=on,wait=off",
            "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={code}",
            "-drive", f"if=pflash,format=raw,unit=1,file={store}",
            "-drive", f"if=virtio,format=raw,file={disk}",
        ]
        if scenario.smm:
            command += ["-global", "driver=cfi.pflash01,property=secure,value=on"]
        for device in devices:
            command += ["-device", device]
        (workdir / "qemu-command.txt").write_text(" ".join(command) + "\n")
        self.stderr_path = workdir / "qemu-stderr.log"
        self.stderr = open(self.stderr_path, "wb")
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                        stdout=self.stderr, stderr=self.stderr,
                                        preexec_fn=die_with_parent)
        self.qmp = None

    def connect(self, deadline):
        self.qmp = Qmp(self.qmp_path, deadline)

    def console(self):
        return console_text(self.serial.read_bytes().decode("utf-8", errors="replace"))

    def error_summary(self):
        """': ' and QEMU's last complaint on stderr, if it left one."""
        self.stderr.flush()
        lines = self.stderr_path.read_text(errors="replace").strip().splitlines()
        return f": {lines[-1]}" if lines else ""

    def exited(self):
        return self.process.poll() is not None

    def press_key(self):
        self.qmp.execute("send-key", keys=[{"type": "qcode", "data": "spc"}])

    def screendump(self, path):
        self.qmp.execute("screendump", filename=str(path), format="png")

    def close(self):
        if self.process.poll() is None and self.qmp is not None:
            try:
                self.qmp.execute("quit")
            except (OSError, ValueError):
                pass
        if self.qmp is not None:
            self.qmp.close()
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.stderr.close()


def wait_for(machine, started, deadline, done, what, until_deadline=False):
    """Polls the console until done(text) is true; Failure on a firmware exception, QEMU
    leaving, or the deadline (until_deadline: the text at the deadline instead)."""
    while True:
        text = machine.console()
        if FIRMWARE_EXCEPTION in text:
            detail = text[text.index(FIRMWARE_EXCEPTION):].splitlines()[0]
            raise Failure(f"the firmware took a processor exception: {detail.strip()}")
        if done(text):
            return text
        if machine.exited():
            raise Failure(f"QEMU exited (status {machine.process.returncode}) while waiting "
                          f"for {what}{machine.error_summary()}")
        if time.monotonic() > deadline:
            if until_deadline:
                return text
            raise Failure(f"timed out after {time.monotonic() - started:.0f} s waiting for {what}")
        time.sleep(POLL)


def check_forbidden(scenario, text):
    for line in scenario.forbid:
        if line_pattern(line).search(text):
            raise Failure(f"the console shows {line!r}, which this scenario must not show")


def judge(scenario, text):
    """Checks the console after the run; Failure with the first thing that is wrong."""
    check_forbidden(scenario, text)
    _, missing = match_in_order(text, scenario.expect)
    if missing is not None:
        raise Failure(f"the console never showed {missing!r}")
    if scenario.flash:
        return
    for image in [BOARD_IMAGE] + scenario.drivers:
        if not re.search(rf"Image '\S*\\{image}\.efi' loaded at \S+ - Success", text):
            raise Failure(f"the shell did not load {image}.efi")


def run(scenario, images_dir, firmware_dir, out_dir, show):
    qemu, code, variables = tools()
    if scenario.flash:
        code, variables = flash_firmware(scenario, firmware_dir)
    images = []
    drivers = [] if scenario.flash else scenario.drivers
    for name, folder in ([] if scenario.flash else [(BOARD_IMAGE, images_dir)]) \
            + [(driver, images_dir / scenario.flavour) for driver in drivers] \
            + [(application, images_dir) for application in APPLICATIONS]:
        image = folder / f"{name}.efi"
        if not image.is_file():
            raise Failure(f"missing image {image} (build the project first)")
        images.append(image)

    workdir = out_dir / scenario.name
    workdir.mkdir(parents=True, exist_ok=True)
    with exclusive(workdir, scenario.limit + 30):
        if scenario.signed:
            unsigned = [images_dir / scenario.flavour / f"{driver}.efi" for driver in drivers]
            signed = dict(zip(unsigned, signed_copies(unsigned, workdir / "signed")))
            images = [signed.get(image, image) for image in images]
        boot(scenario, qemu, code, variables, images, workdir, show, firmware_dir)


def signed_copies(images, folder):
    """Each image signed by sbsign into folder with a key made for the run, checked by sbverify."""
    if not (shutil.which("openssl") and shutil.which("sbsign")):
        raise Skipped("openssl or sbsign not found (Debian packages openssl, sbsigntool)")
    folder.mkdir(exist_ok=True)
    key, cert = folder / "throwaway.key", folder / "throwaway.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                    "/CN=throwaway", "-keyout", key, "-out", cert], check=True, capture_output=True)
    for image in images:
        for command in (["sbsign", "--key", key, "--cert", cert, "--output", folder / image.name, image],
                        ["sbverify", "--cert", cert, folder / image.name]):
            subprocess.run(command, check=True, capture_output=True)
    return [folder / image.name for image in images]


def exclusive(workdir, patience):
    """Holds the scenario's directory for one run at a time (ctest and the demo may overlap)."""
    lock = open(workdir / ".lock", "w")
    give_up = time.monotonic() + patience
    while True:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return lock
        except BlockingIOError:
            if time.monotonic() > give_up:
                lock.close()
                raise Failure(f"another run kept {workdir} busy for {patience} s")
            time.sleep(0.5)


def boot(scenario, qemu, code, variables, images, workdir, show, firmware_dir=None):
    screenshot = workdir / "screen.png"
    if screenshot.exists():
        screenshot.unlink()
    disk = workdir / "disk.img"
    make_disk(disk, images, startup_script(scenario, firmware_dir))

    started = time.monotonic()
    deadline = started + scenario.limit
    verdict = None
    with tempfile.TemporaryDirectory(prefix="e2e-qmp-") as socket_dir:
        machine = Machine(qemu, code, variables, disk, scenario, workdir, socket_dir)
        try:
            machine.connect(started + 10)
            # From flash a guard halts before the boot manager starts the shell; a firmware
            # without a shell never starts one.
            if not (scenario.flash and scenario.outcome == "halt") and not scenario.goes_on:
                try:
                    wait_for(machine, started, min(deadline, started + BOOT_LIMIT),
                             lambda t: "Press ESC" in t or "Shell>" in t, "the UEFI shell")
                except Failure as failure:
                    raise Failure(f"the firmware never reached the UEFI shell ({failure})")
                # Any key but ESC skips the shell's countdown before startup.nsh.
                machine.press_key()
                wait_for(machine, started, deadline, lambda t: START_MARK in t,
                         "startup.nsh to run")

            halt_lines = scenario.expect if scenario.outcome == "halt" else []
            boot_line = line_pattern(scenarios.BOOT_GOES_ON)

            forbidden = [line_pattern(line) for line in scenario.forbid]

            # From flash the startup script running at all means the boot went on (without a
            # shell: the scenario's line).
            went_on = scenario.goes_on or (START_MARK if scenario.flash else END_MARK)

            def decided(text):
                return (went_on in text or boot_line.search(text)
                        or any(pattern.search(text) for pattern in forbidden)
                        or (halt_lines and match_in_order(text, halt_lines)[1] is None))

            # A halt without text (a firmware without HII) is judged at the scenario's limit:
            # by then the boot must not have gone on. Halt lines leave it time to settle.
            silent_halt = scenario.outcome == "halt" and not halt_lines
            text = wait_for(machine, started, deadline - (scenario.settle if halt_lines else 0),
                            decided,
                            "the halt lines" if halt_lines else f"{scenarios.BOOT_GOES_ON!r}",
                            until_deadline=silent_halt)
            check_forbidden(scenario, text)
            if scenario.outcome == "halt":
                if boot_line.search(text):
                    raise Failure(f"the boot went on ({scenarios.BOOT_GOES_ON!r} appeared) "
                                  "instead of halting")
                # A halt holds: nothing may follow within the settle time.
                time.sleep(min(scenario.settle, max(0.0, deadline - time.monotonic())))
                text = machine.console()
                if boot_line.search(text) or went_on in text:
                    raise Failure(f"the boot went on after the halt lines "
                                  f"({scenarios.BOOT_GOES_ON!r} or {went_on!r} appeared)")
                if scenario.flash and halt_lines:
                    after = text[match_in_order(text, halt_lines)[0]:].strip()
                    if after:
                        raise Failure(f"the console went on after the halt lines: "
                                      f"{after.splitlines()[0]!r}")
            else:
                finished = scenario.goes_on or END_MARK
                text = wait_for(machine, started, deadline, lambda t: finished in t,
                                "the startup script to finish" if finished == END_MARK
                                else repr(finished))
                if not scenario.flash and not boot_line.search(text):
                    raise Failure(f"{scenarios.BOOT_GOES_ON!r} never appeared")
            judge(scenario, text)
            verdict = "passed"
        finally:
            try:
                if not machine.exited() and machine.qmp is not None:
                    machine.screendump(screenshot)
            except OSError:
                pass
            machine.close()
            elapsed = time.monotonic() - started
            if show:
                print(machine.console().rstrip())
                print()
            shown = screenshot if screenshot.exists() else "(none taken)"
            print(f"scenario {scenario.name}: {verdict or 'failed'} in {elapsed:.1f} s; "
                  f"serial log {workdir / 'serial.log'}; screenshot {shown}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("scenario", nargs="?", default="demo",
                        help="scenario name (default: demo, the unlisted module on the "
                             "wireless-WAN port)")
    parser.add_argument("--show", action="store_true",
                        help="print the console output of the run")
    parser.add_argument("--images", type=Path, default=ROOT / "build" / "images",
                        help="directory holding the .efi images (default: build/images)")
    parser.add_argument("--firmware", type=Path, default=ROOT / "build" / "flash",
                        help="directory board/board_firmware.py built the board's firmware in "
                             "(default: build/flash)")
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "e2e",
                        help="directory for the run's disk, logs and screenshot "
                             "(default: build/e2e)")
    parser.add_argument("--list", action="store_true", help="list the scenarios and exit")
    parser.add_argument("--names", action="store_true",
                        help="print the scenario names separated by ';' (for CMake) and exit")
    parser.add_argument("--flash-variants", action="store_true",
                        help="print scenario:variant of each flash scenario separated by ';' "
                             "(for CMake) and exit")
    parser.add_argument("--flash-variant", action="store_true",
                        help="print the firmware variant the scenario boots (an empty line for "
                             "a shell-loaded one) and exit")
    args = parser.parse_args()

    if args.names:
        print(";".join(scenario.name for scenario in scenarios.SCENARIOS))
        return 0
    if args.flash_variants:
        print(";".join(f"{scenario.name}:{scenario.flash}" for scenario in scenarios.SCENARIOS
                       if scenario.flash))
        return 0
    if args.list:
        for scenario in scenarios.SCENARIOS:
            print(f"{scenario.name:30} {scenario.outcome:5} {scenario.summary}")
        for alias, name in scenarios.ALIASES.items():
            print(f"{alias:30} = {name}")
        return 0
    scenario = scenarios.find(args.scenario)
    if scenario is None:
        print(f"run_scenario: unknown scenario {args.scenario!r} (--list shows them)",
              file=sys.stderr)
        return 2
    if args.flash_variant:
        print(scenario.flash)
        return 0
    if args.show:
        print(f"scenario {scenario.name}: {scenario.summary}")

    # ctest and the shell stop a run with SIGTERM/SIGINT: unwind so QEMU is stopped too.
    def interrupted(signum, _frame):
        raise Failure(f"interrupted by signal {signum}")
    signal.signal(signal.SIGTERM, interrupted)
    signal.signal(signal.SIGINT, interrupted)
    try:
        run(scenario, args.images.resolve(), args.firmware.resolve(), args.out.resolve(),
            args.show)
    except Skipped as skipped:
        print(f"run_scenario: SKIPPED {scenario.name}: {skipped}", file=sys.stderr)
        return SKIP
    except Failure as failure:
        print(f"run_scenario: FAILED {scenario.name}: {failure}", file=sys.stderr)
        return 1
    except subprocess.CalledProcessError as error:
        print(f"run_scenario: FAILED {scenario.name}: {error.cmd[0]} failed with status "
              f"{error.returncode}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
