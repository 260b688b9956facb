"""The board scenarios: what each one puts on the emulated board, what the shell runs, and what
the console must (and must not) show. The runner (run_scenario.py) turns one of these into a FAT
disk, a startup script and a QEMU command line."""
from dataclasses import dataclass, field

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
    # "boot": the boot goes on; "halt": the halt lines appear and the boot never goes on.
    outcome: str
    devices: list = field(default_factory=list)
    variables: list = field(default_factory=list)
    # Driver images loaded after the board support image, in this order.
    drivers: list = field(default_factory=list)
    # Shell command lines run after the ready-to-boot application returns.
    afterwards: list = field(default_factory=list)
    # Lines that must appear on the console, in this order.
    expect: list = field(default_factory=list)
    # Lines that must never appear.
    forbid: list = field(default_factory=list)
    # Seconds for the whole run, firmware boot included.
    limit: int = 60


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

# Names the main job accepts besides the scenario names.
ALIASES = {"demo": "wwan_unlisted_module"}


def find(name):
    name = ALIASES.get(name, name)
    for scenario in SCENARIOS:
        if scenario.name == name:
            return scenario
    return None
