"""The board scenarios: what each one puts on the emulated board, what the shell runs, and what
the console must (and must not) show. The runner (run_scenario.py) turns one of these into a FAT
disk, a startup script and a QEMU command line."""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import re
from dataclasses import dataclass, field, replace

# The board's own variables (board/q35/board_vendor.h) and the UEFI global-variable GUID.
BOARD_VENDOR_GUID = "4C3B9A61-7D2E-4F58-B1C4-93E0A6D2F817"
GLOBAL_VARIABLE_GUID = "8BE4DF61-93CA-11D2-AA0D-00E098032B8C"

BOOT_GOES_ON = "Boot continues."

# The wireless-WAN guard's halt lines.
WWAN_HALT_ENGLISH = [
    "105-Unsupported wireless broadband device detected.",
    "System Halted. Remove device and restart.",
]
WWAN_HALT_FRENCH = [
    "105-Détection d'un périphérique large bande sans fil non pris en charge.",
    "Système interrompu. Retirer le périphérique et redémarrer.",
]

# The wireless-LAN guard's halt lines.
WLAN_HALT_ENGLISH = [
    "104-Unsupported wireless network device detected.",
    "System Halted. Remove device and restart.",
]
WLAN_HALT_SPANISH = [
    "104-Se ha detectado un dispositivo de red inalámbrica no compatible.",
    "El sistema se ha detenido. Extraiga el dispositivo y reinicie el sistema.",
]


@dataclass
class Variable:
    """A UEFI variable the startup script sets with `setvar` before any image loads."""
    name: str
    hex_bytes: str
    guid: str = BOARD_VENDOR_GUID
    # setvar only applies attributes to a variable it creates; "Lang" already exists (NV+BS+RT).
    attributes: str = "-bs"


@dataclass
class Scenario:
    name: str
    summary: str
    # "boot": the boot goes on; "halt": the halt lines appear and the boot never goes on (with
    # no halt lines: up to the limit the boot never goes on).
    outcome: str
    devices: list = field(default_factory=list)
    variables: list = field(default_factory=list)
    # Driver images loaded after the board support image, in this order.
    drivers: list = field(default_factory=list)
    # Shell command lines run after the ready-to-boot application returns.
    afterwards: list = field(default_factory=list)
    # Lines that must appear on the console, in this order (a compiled pattern: within one line).
    expect: list = field(default_factory=list)
    # Lines that must never appear.
    forbid: list = field(default_factory=list)
    # Seconds for the whole run, firmware boot included.
    limit: int = 60
    # Seconds a halt must hold after its expected lines, within the limit: nothing may follow.
    settle: int = 3
    # QEMU's -vga: "std" puts the display at 00:01.0; "none" leaves the display to `devices`.
    vga: str = "std"
    # Empty: the shell loads the drivers and ready_to_boot.efi signals ready-to-boot. Otherwise
    # the firmware variant (board/board_firmware.py) whose flash holds them: the dispatcher starts
    # them, the boot manager signals ready-to-boot, `variables` are written into the variable
    # store before the machine starts, and the shell's startup script runs only `afterwards`.
    flash: str = ""
    # "": the release images (build/images); "DEBUG": the drivers' DEBUG images
    # (build/images/DEBUG), which print their decision lines on standard error, the serial log.
    flavour: str = ""
    # The drivers' images signed first (sbsign, with a key made for the run, checked by sbverify):
    # no key is enrolled in the firmware, so it loads them as it loads unsigned ones.
    signed: bool = False
    # A firmware whose variable store only SMM may write (a Secure Boot build): QEMU's q35 with
    # SMM and its flash secure.
    smm: bool = False
    # For a firmware without a shell: the line that says the boot went on past ready-to-boot,
    # waited for instead of the shell (no startup script runs).
    goes_on: str = ""


def ich9_usb(*attached):
    """QEMU's ICH9 USB function pair at device 0x1A: EHCI at 00:1A.7 with its UHCI companion at
    00:1A.0, and the given devices as (QEMU device, EHCI port) pairs. QEMU port n is the root
    port the firmware's device path calls USB(n-1, 0)."""
    devices = [
        "ich9-usb-ehci1,addr=1a.7,multifunction=on,id=ehci",
        "ich9-usb-uhci1,addr=1a.0,multifunction=on,masterbus=ehci.0,firstport=0",
    ]
    for device, port in attached:
        devices.append(f"{device},bus=ehci.0,port={port}")
    return devices


# The guarded port is the one the firmware calls USB(0x1,0x0): QEMU port 2.
WWAN_GUARDED_PORT = 2
# QEMU's USB keyboard (0627:0001) is not one of the four listed modules.
UNLISTED_MODULE = "usb-kbd"

def wlan_board(*in_slot):
    """The wireless-LAN guard's board: the graphics port at 00:01.0 is a PCI Express root port
    with a device behind it (so the display moves to 00:02.0), and root port 1 at 00:1C.0 is the
    wireless-LAN slot with the given devices behind it. Used with vga="none"."""
    devices = [
        "VGA,addr=02.0",
        "pcie-root-port,id=peg,addr=01.0,chassis=1,slot=1",
        "virtio-rng-pci,bus=peg",
        "pcie-root-port,id=wlan_slot,addr=1c.0,chassis=2,slot=2",
    ]
    return devices + [f"{device},bus=wlan_slot" for device in in_slot]


# The wireless-LAN guard as built for this board (its configuration window at 0xB0000000).
WLAN_GUARD = "wlan_slot_guard_q35"
# QEMU's e1000e (8086:10D3, class 0x0200) is not one of the seven listed cards; without its
# option ROM the firmware has no driver for it and does not try a network boot.
UNLISTED_CARD = "e1000e,romfile="
# UEFI 2.x firmware only accepts "Lang" as a NUL-terminated ASCII string.
LANG_SPANISH = Variable("Lang", "73706100", guid=GLOBAL_VARIABLE_GUID, attributes="-nv -bs -rt")

SCENARIOS = [
    Scenario(
        name="board_smoke",
        summary="the board alone: options and station address set through board variables "
                "reach the setup record and the station-address block, the LPC bridge has its "
                "GPIO base; the boot goes on",
        outcome="boot",
        variables=[
            Variable("PegAspmOption", "01"),
            Variable("LanPhyOption", "01"),
            Variable("StationAddress", "001B2C3D4E5F6A7B"),
        ],
        afterwards=["board_dump.efi record station pci 00:00.0 0 32 pci 00:1f.0 48 32"],
        expect=[
            "record PegAspmOption [0x194] = 0x01",
            "record LanPhyOption [0x258] = 0x01",
            "record WlanSlotFlags [0x38B] = 0x00",
            "station 0x00 0x1B 0x2C 0x3D 0x4E 0x5F 0x6A 0x7B",
            "pci 00:00.0 [0x000] = 0x29C08086",
            "pci 00:1f.0 [0x048] = 0x00000501",
        ],
        limit=45,
    ),
    Scenario(
        name="wwan_empty_port",
        summary="wireless-WAN guard, USB controller present, nothing on the guarded port: "
                "the boot goes on",
        outcome="boot",
        devices=ich9_usb(),
        drivers=["wwan_port_guard"],
        forbid=WWAN_HALT_ENGLISH[:1],
    ),
    Scenario(
        name="wwan_unlisted_module",
        summary="wireless-WAN guard, an unlisted USB device on the guarded port: the 105 lines "
                "appear and the boot stops",
        outcome="halt",
        devices=ich9_usb((UNLISTED_MODULE, WWAN_GUARDED_PORT)),
        drivers=["wwan_port_guard"],
        expect=WWAN_HALT_ENGLISH,
    ),
    Scenario(
        name="wwan_other_port",
        summary="wireless-WAN guard, USB devices only on other ports of the same controller: "
                "the boot goes on",
        outcome="boot",
        devices=ich9_usb((UNLISTED_MODULE, 1), ("usb-tablet", 3)),
        drivers=["wwan_port_guard"],
        forbid=WWAN_HALT_ENGLISH[:1],
    ),
    Scenario(
        name="wwan_unlisted_module_french",
        summary='wireless-WAN guard with "Lang" set to "fra", an unlisted USB device on the '
                "guarded port: the French 105 lines appear and the boot stops",
        outcome="halt",
        devices=ich9_usb((UNLISTED_MODULE, WWAN_GUARDED_PORT)),
        # UEFI 2.x firmware only accepts "Lang" as a NUL-terminated ASCII string.
        variables=[Variable("Lang", "66726100", guid=GLOBAL_VARIABLE_GUID,
                            attributes="-nv -bs -rt")],
        drivers=["wwan_port_guard"],
        expect=WWAN_HALT_FRENCH,
        forbid=WWAN_HALT_ENGLISH[:1],
    ),
]

SCENARIOS.append(replace(
    next(s for s in SCENARIOS if s.name == "wwan_unlisted_module"),
    name="wwan_unlisted_module_signed",
    summary="wwan_unlisted_module with the guard's image signed: the signed copy loads and "
            "halts the boot with the 105 lines",
    signed=True))

SCENARIOS += [
    Scenario(
        name="wlan_empty_slot",
        summary="wireless-LAN guard, nothing behind the slot's root port at 00:1C.0: the boot "
                "goes on, and the setup record shows the slot empty with the status bits every "
                "probe applies",
        outcome="boot",
        vga="none",
        devices=wlan_board(),
        variables=[Variable("PegAspmOption", "01")],
        drivers=[WLAN_GUARD],
        afterwards=["board_dump.efi record pci 00:01.0 0 32 pci 00:1c.0 0 32"],
        expect=[
            "record WlanSlotFlags [0x38B] = 0x00",
            "record WlanStatusA [0x39C] = 0x20",
            "record WlanStatusB [0x39D] = 0x00",
            "record WlanStatusC [0x39F] = 0x00",
            "pci 00:01.0 [0x000] = 0x000C1B36",
            "pci 00:1c.0 [0x000] = 0x000C1B36",
        ],
        forbid=WLAN_HALT_ENGLISH[:1],
    ),
    Scenario(
        name="wlan_unlisted_card",
        summary="wireless-LAN guard, an unlisted Ethernet-class card behind the slot's root "
                "port: the 104 lines appear at the top of the screen and the boot stops",
        outcome="halt",
        vga="none",
        devices=wlan_board(UNLISTED_CARD),
        drivers=[WLAN_GUARD],
        expect=WLAN_HALT_ENGLISH,
    ),
    Scenario(
        name="wlan_unlisted_card_spanish",
        summary='wireless-LAN guard with "Lang" set to "spa", an unlisted card in the slot: '
                "the Spanish 104 lines appear and the boot stops",
        outcome="halt",
        vga="none",
        devices=wlan_board(UNLISTED_CARD),
        variables=[LANG_SPANISH],
        drivers=[WLAN_GUARD],
        expect=WLAN_HALT_SPANISH,
        forbid=WLAN_HALT_ENGLISH[:1],
    ),
]

# QEMU's rtl8139 (10EC:8139): a Realtek controller the LAN controller driver does not take on.
# Without its option ROM the firmware has no driver for it and does not try a network boot.
UNSUPPORTED_REALTEK = "rtl8139,romfile=,addr=05.0"
# The shell's `drivers` line for the LAN controller driver while it manages no controller:
# version 0x10, type '?', no devices, no children, no component name, the image it came from.
LAN_DRIVER_UNUSED = ("00000010 ? - -  -  - " + "<null string>".ljust(35)
                     + " \\lan_controller_setup.efi")
# The shell's `devices` line for the rtl8139 at 00:05.0 with no driver managing it (#D 0).
UNSUPPORTED_REALTEK_UNMANAGED = "D - -  1  0   0 PciRoot(0x0)/Pci(0x5,0x0)"

SCENARIOS += [
    Scenario(
        name="lan_unsupported_controller",
        summary="LAN controller driver, a Realtek controller it does not support (rtl8139) at "
                "00:05.0: the binding is listed with version 0x10, connecting every controller "
                "leaves the rtl8139 unclaimed, and the boot goes on",
        outcome="boot",
        devices=[UNSUPPORTED_REALTEK],
        drivers=["lan_controller_setup"],
        afterwards=["connect -r", "drivers", "devices",
                    "board_dump.efi pci 00:05.0 0 32 pci 00:05.0 8 8"],
        expect=[
            BOOT_GOES_ON,
            "Connect - Handle [", "] Result Success.",
            LAN_DRIVER_UNUSED,
            UNSUPPORTED_REALTEK_UNMANAGED,
            "pci 00:05.0 [0x000] = 0x813910EC",
            "pci 00:05.0 [0x008] = 0x20",
        ],
        limit=45,
    ),
]

# The drivers as integrators ship them: firmware files in the DXE volume of an OVMF built by
# EDK II with the integrator package (board/board_firmware.py). Nothing is loaded from the shell.
LANG_FRENCH = Variable("Lang", "66726100", guid=GLOBAL_VARIABLE_GUID, attributes="-nv -bs -rt")
# What the shell prints once the boot manager has started it: a halt must come before any of it.
SHELL_STARTED = ["UEFI Interactive Shell", "Press ESC"]
# The wireless-WAN guard's allow-list and count as the running guard holds them, read by
# board_dump from its loaded image (FILE_GUID) at the offsets of the INF's [PatchPcd] lines;
# entries are UINT32(product << 16 | vendor).
WWAN_LIST_DUMP = ("board_dump.efi image 18126C98-8F69-462E-997B-D1DAF8E06192 @PcdWwanAllowList@ "
                  "image 18126C98-8F69-462E-997B-D1DAF8E06192 @PcdWwanAllowListCount:1@")
WWAN_LISTED = "] = 0x2D 0x7E 0x71 0x0C 0x2D 0x7E 0x72 0x0C 0x2D 0x7E 0x73 0x0C 0x2D 0x7E 0x74 0x0C"
# `dh -p LoadedImage` lines of the package's modules loaded from the volume: the shell ends the
# image's device path, FvFile(<FILE_GUID>), with the GUID's last three groups, then the name
# from the firmware file's UI section.
LOADED_FROM_FLASH = {
    "wwan_port_guard": "ImageDevicePath(..8F69-462E-997B-D1DAF8E06192)) LoadedImage(wwan_port_guard)",
    "wlan_slot_guard": "ImageDevicePath(..1607-4A64-9B89-821AD27FF460)) LoadedImage(wlan_slot_guard)",
    "lan_controller_setup": "ImageDevicePath(..271D-4EF3-B1F3-5DE96DE97418)) "
                            "LoadedImage(lan_controller_setup)",
}
# The shell's `drivers` line for the LAN binding loaded from the volume: version 0x10, managing
# nothing, the image named by its UI section.
LAN_DRIVER_FROM_FLASH = ("00000010 ? - -  -  - " + "<null string>".ljust(35)
                         + " lan_controller_setup")

SCENARIOS += [
    Scenario(
        name="flash_wwan_unlisted_module",
        summary="firmware with the package in flash, an unlisted USB device on the wireless-WAN "
                "port: at the boot manager's ready-to-boot the 105 lines appear, and nothing after "
                "them",
        outcome="halt",
        flash="board",
        devices=ich9_usb((UNLISTED_MODULE, WWAN_GUARDED_PORT)),
        expect=WWAN_HALT_ENGLISH,
        forbid=SHELL_STARTED,
    ),
    Scenario(
        name="flash_wwan_unlisted_module_french",
        summary='the same with "Lang" set to "fra" in the variable store: the French 105 lines',
        outcome="halt",
        flash="board",
        devices=ich9_usb((UNLISTED_MODULE, WWAN_GUARDED_PORT)),
        variables=[LANG_FRENCH],
        expect=WWAN_HALT_FRENCH,
        forbid=SHELL_STARTED + WWAN_HALT_ENGLISH[:1],
    ),
    Scenario(
        name="flash_wlan_unlisted_card",
        summary="firmware with the package in flash, an unlisted card (e1000e) behind the slot's "
                "root port 00:1C.0: the 104 lines appear, and nothing after them",
        outcome="halt",
        flash="board",
        devices=ich9_usb() + wlan_board(UNLISTED_CARD),
        vga="none",
        expect=WLAN_HALT_ENGLISH,
        forbid=SHELL_STARTED,
    ),
    Scenario(
        name="flash_empty_slots",
        summary="firmware with the package in flash, nothing on either slot and an rtl8139 "
                "present: the boot reaches the shell, the guards and the LAN driver were loaded "
                "from the volume, the binding is listed at version 0x10, and the setup record "
                "holds the wireless-LAN probe's result from the boot manager's ready-to-boot",
        outcome="boot",
        flash="board",
        devices=ich9_usb() + wlan_board() + [UNSUPPORTED_REALTEK],
        vga="none",
        afterwards=["dh -p LoadedImage", "drivers",
                    "board_dump.efi record pci 00:1f.0 48 32", WWAN_LIST_DUMP],
        expect=[
            # Dispatched in the volume's order, none of them waiting for a protocol: the guards,
            # the LAN driver, then the board module. The device path ends in each module's
            # FILE_GUID.
            LOADED_FROM_FLASH["wwan_port_guard"],
            LOADED_FROM_FLASH["wlan_slot_guard"],
            LOADED_FROM_FLASH["lan_controller_setup"],
            "LoadedImage(board_support)",
            LAN_DRIVER_FROM_FLASH,
            "record WlanSlotFlags [0x38B] = 0x00",
            "record WlanStatusA [0x39C] = 0x20",
            "pci 00:1f.0 [0x048] = 0x00000501",
            WWAN_LISTED, "] = " + " ".join(["0x00"] * 16), "] = 0x04",
        ],
        forbid=WWAN_HALT_ENGLISH[:1] + WLAN_HALT_ENGLISH[:1],
    ),
    Scenario(
        name="flash_without_board_module",
        summary="firmware with the package but without the board module, so without Framework "
                "HII, CPU I/O and the setup record: the guards are dispatched all the same, and "
                "the unlisted module on the wireless-WAN port stops the boot at ready-to-boot, "
                "with no text (no HII), before the shell",
        outcome="halt",
        flash="no_board",
        devices=ich9_usb((UNLISTED_MODULE, WWAN_GUARDED_PORT)),
        forbid=SHELL_STARTED + WWAN_HALT_ENGLISH[:1],
        # The board firmware shows its shell within about 6 s: by 30 s a boot that went on has.
        limit=30,
    ),
    Scenario(
        name="flash_sku_listed_keyboard",
        summary="the SKU firmware, whose DSC adds the emulated board's USB keyboard (0627:0001) "
                "to the wireless-WAN guard's allow-list: the keyboard on the guarded port, which "
                "stops the board firmware with the 105 lines, boots this one to the shell with "
                "the guard dispatched, whose loaded image holds the five entries",
        outcome="boot",
        flash="sku",
        devices=ich9_usb((UNLISTED_MODULE, WWAN_GUARDED_PORT)),
        afterwards=["dh -p LoadedImage", WWAN_LIST_DUMP],
        expect=SHELL_STARTED[:1] + [LOADED_FROM_FLASH["wwan_port_guard"], WWAN_LISTED,
                                    "] = 0x27 0x06 0x01 0x00 0x00", "] = 0x05"],
        forbid=WWAN_HALT_ENGLISH[:1],
    ),
    Scenario(
        name="flash_fmmt_unlisted_module",
        summary="Debian's prebuilt OVMF with the package's firmware files and the board module "
                "added by FMMT, an unlisted USB device on the wireless-WAN port: the 105 lines",
        outcome="halt",
        flash="fmmt",
        devices=ich9_usb((UNLISTED_MODULE, WWAN_GUARDED_PORT)),
        expect=WWAN_HALT_ENGLISH,
        forbid=SHELL_STARTED,
    ),
]

# Debian 13's prebuilt Secure Boot firmware with SMM and strict NX, the package and the board
# module added by FMMT (variant current_strictnx), boots the board firmware's scenarios: an
# unlisted module, an unlisted card, both slots empty. It has no shell, so a boot that goes on
# past ready-to-boot ends in its boot manager, which finds nothing to boot on the scenario's disk.
NO_BOOT_OPTION = "BdsDxe: No bootable option or device was found."


def on_strict_nx(name, summary, **changes):
    """The board firmware's scenario name on the Secure Boot firmware."""
    return replace(next(scenario for scenario in SCENARIOS if scenario.name == name),
                   name=name.replace("flash_", "flash_strictnx_"), summary=summary,
                   flash="current_strictnx", smm=True, goes_on=NO_BOOT_OPTION, limit=120,
                   **changes)


SCENARIOS += [
    on_strict_nx("flash_wwan_unlisted_module",
                 "Debian 13's Secure Boot firmware (SMM, strict NX) with the package in flash, an "
                 "unlisted USB device on the wireless-WAN port: the 105 lines, and nothing after"),
    on_strict_nx("flash_wlan_unlisted_card",
                 "the same firmware, an unlisted card (e1000e) behind 00:1C.0: the 104 lines, "
                 "and nothing after"),
    on_strict_nx("flash_empty_slots",
                 "the same firmware, nothing on either slot and an rtl8139 present: the boot goes "
                 "on to the boot manager, which finds no bootable option and offers its menu",
                 afterwards=[],
                 expect=[NO_BOOT_OPTION, "BdsDxe: Press any key to enter the Boot Manager Menu."]),
]

# The DEBUG build of the same firmware on EDK II 2025.02 (variant current): the package's DEBUG
# images report their lines as status codes, which OVMF's serial handler prints into the log where
# the DXE core's own DEBUG() lines are.
DEBUG_FIRMWARE = "current"
# The guards come before the board module in the volume, so they start before its Framework HII
# and CPU I/O exist and take them up at ready-to-boot.
DEBUG_ENTRY_LINES = {
    "lan_controller_setup": "lan_controller_setup: entry: driver binding version 10 installed "
                            "(status 0)",
    "wwan_port_guard": "wwan_port_guard: entry: string packs not registered (status "
                       "800000000000000E), ready-to-boot event created (status 0)",
    "wlan_slot_guard": "wlan_slot_guard: entry: ready-to-boot event created (status 0), board "
                       "control port 50F left for ready-to-boot (no CPU I/O), string packs not "
                       "registered (status 800000000000000E)",
}
DEBUG_READY_TO_BOOT_LINES = {
    "wwan_port_guard": ["wwan_port_guard: ready-to-boot: string packs registered (status 0)"],
    "wlan_slot_guard": ["wlan_slot_guard: ready-to-boot: board control port 50F enable bit set",
                        "wlan_slot_guard: ready-to-boot: string packs registered (status 0)"],
}
# The DEBUG DXE core's line as it dispatches a driver: "Loading driver <FILE_GUID>".
DXE_CORE_LOADS = {
    "lan_controller_setup": "Loading driver 6BB22B2F-271D-4EF3-B1F3-5DE96DE97418",
    "wwan_port_guard": "Loading driver 18126C98-8F69-462E-997B-D1DAF8E06192",
    "wlan_slot_guard": "Loading driver 8B29DA19-1607-4A64-9B89-821AD27FF460",
}

SCENARIOS += [
    Scenario(
        name="flash_debug_dispatch_and_connect",
        summary="DEBUG firmware, nothing on either slot and an rtl8139 present: each driver's "
                "entry line in dispatch order, each after the DXE core's line loading it, then "
                "the LAN driver refusing the rtl8139 during the boot manager's connect, then both "
                "guards' ready-to-boot decisions, and the shell",
        outcome="boot",
        flash=DEBUG_FIRMWARE,
        devices=ich9_usb() + wlan_board() + [UNSUPPORTED_REALTEK],
        vga="none",
        expect=[line for driver in ("wwan_port_guard", "wlan_slot_guard", "lan_controller_setup")
                for line in (DXE_CORE_LOADS[driver], DEBUG_ENTRY_LINES[driver])]
               + ["[Bds] Entry", "lan_controller_setup: Supported 10EC:8139 revision 20: unsupported"]
               + DEBUG_READY_TO_BOOT_LINES["wlan_slot_guard"]
               + ["wlan_slot_guard: probe 00:1C.0 bus ", ", no card"]
               + DEBUG_READY_TO_BOOT_LINES["wwan_port_guard"]
               + ["wwan_port_guard: no USB device, no module on the port"],
        forbid=WWAN_HALT_ENGLISH[:1] + WLAN_HALT_ENGLISH[:1] + ["lan_controller_setup: Start"],
        limit=140,
    ),
    Scenario(
        name="flash_debug_wwan_unlisted_module",
        summary="DEBUG firmware, an unlisted USB device on the wireless-WAN port: the guard's "
                "line names the port and the IDs in the serial log, then the 105 lines",
        outcome="halt",
        flash=DEBUG_FIRMWARE,
        devices=ich9_usb((UNLISTED_MODULE, WWAN_GUARDED_PORT)),
        expect=[DEBUG_ENTRY_LINES["wwan_port_guard"]] + DEBUG_READY_TO_BOOT_LINES["wwan_port_guard"]
               + ["wwan_port_guard: 00:1A.7 port 1: module 0627:0001, unlisted, boot stops"]
               + WWAN_HALT_ENGLISH,
        forbid=SHELL_STARTED,
        limit=140,
    ),
    Scenario(
        name="flash_debug_wlan_empty_slot",
        summary="DEBUG firmware, an empty slot and PegAspmOption 01: the graphics port and the "
                "device behind it get ASPM 3 through the configuration window, which the "
                "platform build patched to the window the firmware itself programs",
        outcome="boot",
        flash=DEBUG_FIRMWARE,
        devices=ich9_usb() + wlan_board(),
        variables=[Variable("PegAspmOption", "01")],
        vga="none",
        expect=["wlan_slot_guard: probe 00:1C.0 bus ", ", no card",
                "wlan_slot_guard: graphics port 00:01.0: ASPM 3 from PegAspmOption 01",
                "wlan_slot_guard: 00:01.0: link control [", "(ASPM 3)",
                "wlan_slot_guard: 01:00.0: link control [", "(ASPM 3)"],
        forbid=WLAN_HALT_ENGLISH[:1] + ["no PCI Express capability"],
        limit=140,
    ),
    Scenario(
        name="flash_debug_wlan_unlisted_card",
        summary="DEBUG firmware, an unlisted card (e1000e) behind 00:1C.0: the probe's and the "
                "allow-list's lines in the serial log, then the 104 lines",
        outcome="halt",
        flash=DEBUG_FIRMWARE,
        devices=ich9_usb() + wlan_board(UNLISTED_CARD),
        vga="none",
        expect=[DEBUG_ENTRY_LINES["wlan_slot_guard"]] + DEBUG_READY_TO_BOOT_LINES["wlan_slot_guard"]
               + [": chip 10D38086 subsystem 00008086 class 0200, card present",
                "wlan_slot_guard: chip 10D38086 subsystem 00008086: unlisted, boot stops"]
               + WLAN_HALT_ENGLISH,
        forbid=SHELL_STARTED,
        limit=140,
    ),
    Scenario(
        name="flash_debug_without_board_module",
        summary="DEBUG firmware without the board module, an unlisted USB device on the "
                "wireless-WAN port: the guard's decision line, then 10 s of silence",
        outcome="halt",
        flash="no_board_debug",
        devices=ich9_usb((UNLISTED_MODULE, WWAN_GUARDED_PORT)),
        expect=[re.compile(r"wwan_port_guard: [^\n]*\bmodule [^\n]*, unlisted, boot stops")],
        forbid=SHELL_STARTED,
        limit=140,
        settle=10,
    ),
]

# Names the main job accepts besides the scenario names.
ALIASES = {"demo": "flash_wwan_unlisted_module"}


def find(name):
    name = ALIASES.get(name, name)
    for scenario in SCENARIOS:
        if scenario.name == name:
            return scenario
    return None
