"""How each Debian release's BlueZ is started in its guest root: the one
place for a release's quirks. stack.json names the release; a release
that differs from Release() gets an entry in QUIRKS, each difference with a
comment that points to its row in doc/bluez-behaviour.md."""

from dataclasses import dataclass
from typing import Dict, Tuple


@dataclass(frozen=True)
class Release:
    bluetoothd: str = "/usr/libexec/bluetooth/bluetoothd"
    # main.conf besides the scenario's TemporaryTimeout: DeviceID off, and
    # AutoEnable so that both controllers come up powered
    general: Tuple[str, ...] = ("DeviceID = false",)
    policy: Tuple[str, ...] = ("AutoEnable = true",)
    # two LE-only controllers, or dual-mode ones (BR/EDR and LE) when the
    # scenario asks: bluetoothd merges discovery filters by the controller's
    # own scan type, so the two kinds can discover differently
    btvirt_le: Tuple[str, ...] = ("btvirt", "-L", "-l2")
    btvirt_dual: Tuple[str, ...] = ("btvirt", "-l2")


QUIRKS: Dict[str, Release] = {}


def release(name):
    return QUIRKS.get(name, Release())
