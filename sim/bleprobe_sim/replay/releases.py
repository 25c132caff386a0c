"""What the importer says about a release of BlueZ: the release the kit
plays for the one a capture names, and the D-Bus errors that bluetoothd
answers a failed Connect and a failed ReadValue with, from what the
capture shows (an HCI status, an ATT error).  Where these come from in
BlueZ's sources, release by release, is in doc/bluez-behaviour.md
(connect-error, read-error)."""

import re
from typing import Optional, Tuple

from ..profiles import DEFAULT_PROFILE, PROFILES

FAILED = 'org.bluez.Error.Failed'


def number(release: str) -> Optional[Tuple[int, int]]:
    match = re.match(r'^(\d+)\.(\d+)', release)
    return (int(match.group(1)), int(match.group(2))) if match else None


def played(release: Optional[str]) -> str:
    """The release the kit plays for `release` (None: not named): itself,
    or the nearest one it plays (the newer of two as near)."""
    if release in PROFILES:
        return release
    wanted = number(release or '')
    if wanted is None:
        return DEFAULT_PROFILE
    plays = sorted(PROFILES, key=lambda name: number(name) or (0, 0))
    wanted_major, wanted_minor = wanted

    def distance(name: str) -> int:
        major, minor = number(name) or (0, 0)
        return abs((major - wanted_major) * 1000 + minor - wanted_minor)
    return min(reversed(plays), key=distance)


# Every failed LE connection reaches bluetoothd's att_connect_cb as a socket
# error, which it reports as ECONNABORTED whatever the HCI status was; the
# message of that error is strerror's text up to 5.61 and BlueZ's own name
# for it from 5.62 (connect-error in doc/bluez-behaviour.md).
NAMED_ERRORS_FROM = (5, 62)


def connect_error(release: str) -> Tuple[str, str]:
    """The error Connect answers a connection that fails (any status)."""
    if (number(release) or NAMED_ERRORS_FROM) < NAMED_ERRORS_FROM:
        return FAILED, 'Software caused connection abort'
    return FAILED, 'le-connection-abort-by-local'


# ATT error -> what ReadValue answers (create_gatt_dbus_error in BlueZ's
# src/gatt-client.c, alike in every release played: read-error in
# doc/bluez-behaviour.md).
READ_ERRORS = {
    0x02: ('org.bluez.Error.NotPermitted', 'Read not permitted'),
    0x03: ('org.bluez.Error.NotPermitted', 'Write not permitted'),
    0x05: ('org.bluez.Error.NotPermitted', 'Not paired'),
    0x0F: ('org.bluez.Error.NotPermitted', 'Not paired'),
    0x0C: ('org.bluez.Error.NotPermitted', 'Not paired'),
    0x07: ('org.bluez.Error.InvalidArguments', 'Invalid offset'),
    0x0D: ('org.bluez.Error.InvalidArguments', 'Invalid Length'),
    0x08: ('org.bluez.Error.NotAuthorized', 'Operation Not Authorized'),
    0x06: ('org.bluez.Error.NotSupported', 'Operation is not supported'),
    0x00: (FAILED, 'Operation failed'),
}


def read_error(att_error: int) -> Tuple[str, str]:
    return READ_ERRORS.get(att_error, (FAILED, 'Operation failed with ATT error: 0x%02x' % att_error))


# HCI statuses and disconnection reasons by name, for the summary.
HCI_STATUSES = {
    0x02: 'unknown connection identifier (a cancelled attempt)',
    0x05: 'authentication failure',
    0x08: 'connection timeout (link lost)',
    0x13: 'ended by the peer',
    0x14: 'ended by the peer: low resources',
    0x15: 'ended by the peer: power off',
    0x16: 'ended by the local host',
    0x22: 'LL response timeout',
    0x3B: 'unacceptable connection parameters',
    0x3E: 'failed to be established',
}


def hci_status(code: int) -> str:
    name = HCI_STATUSES.get(code)
    return '0x%02x (%s)' % (code, name) if name else '0x%02x' % code
