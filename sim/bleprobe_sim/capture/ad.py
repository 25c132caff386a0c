"""Advertising data (and the EIR data of mgmt events, which has the same
form): length-type-value structures, service data of 16-, 32- and 128-bit
UUIDs decoded, every structure kept raw.  Also addresses and UUIDs as BlueZ
writes them.

The kernel reads a report's data up to a zero length byte (padding) or up
to a structure that runs past the data (an advertiser's wrong length), and
gives bluetoothd only the structures before it (process_adv_report in
net/bluetooth/hci_event.c).  So does parse_ad: AdData.length is where it
stopped, overrun says that a structure ran past the data."""

from dataclasses import dataclass
from typing import Dict, Tuple

SERVICE_DATA_16, SERVICE_DATA_32, SERVICE_DATA_128 = 0x16, 0x20, 0x21
BASE_UUID_TAIL = '-0000-1000-8000-00805f9b34fb'

# Address types as BlueZ's AddressType property says them.
PUBLIC, RANDOM = 'public', 'random'
# Not LE: BR/EDR (mgmt), anonymous advertisers (extended reports), and a
# value that no version of the protocol defines.
BREDR, ANONYMOUS, UNKNOWN = 'bredr', 'anonymous', 'unknown'
# HCI's: 2 and 3 are identity addresses the controller resolved.
HCI_ADDRESS_TYPES = {0: PUBLIC, 1: RANDOM, 2: PUBLIC, 3: RANDOM, 0xFF: ANONYMOUS}
MGMT_ADDRESS_TYPES = {0: BREDR, 1: PUBLIC, 2: RANDOM}


@dataclass(frozen=True)
class AdData:
    """structures: (AD type, value) of each whole structure, in order;
    service_data: (UUID, value) of each service data structure whose UUID
    is all there, in order (BlueZ keeps the last of a UUID given twice)."""
    structures: Tuple[Tuple[int, bytes], ...]
    service_data: Tuple[Tuple[str, bytes], ...]
    length: int
    overrun: bool


def uuid16(value: int) -> str:
    return '%08x%s' % (value, BASE_UUID_TAIL)


def uuid_le(raw: bytes) -> str:
    """A UUID of 2, 4 or 16 bytes, little-endian as on air."""
    if len(raw) == 16:
        text = raw[::-1].hex()
        return '%s-%s-%s-%s-%s' % (text[:8], text[8:12], text[12:16], text[16:20], text[20:])
    return uuid16(int.from_bytes(raw, 'little'))


UUID_SIZES = {SERVICE_DATA_16: 2, SERVICE_DATA_32: 4, SERVICE_DATA_128: 16}


def _parse(data: bytes) -> AdData:
    structures = []
    service_data = []
    pos, size = 0, len(data)
    overrun = False
    while pos < size:
        length = data[pos]
        if length == 0:
            break
        end = pos + 1 + length
        if end > size:
            overrun = True
            break
        kind = data[pos + 1]
        value = data[pos + 2:end]
        structures.append((kind, value))
        uuid_size = UUID_SIZES.get(kind)
        if uuid_size is not None and len(value) >= uuid_size:
            service_data.append((uuid_le(value[:uuid_size]), value[uuid_size:]))
        pos = end
    return AdData(tuple(structures), tuple(service_data), pos, overrun)


# Advertisers repeat their data: each distinct data is decoded once.  The
# bound keeps a capture of endless distinct data (a counter in the data) in
# bounded memory; clearing costs one decode per data seen again.
# The reader looks them up itself before it calls these functions.
CACHE_SIZE = 8192
AD_CACHE: Dict[bytes, AdData] = {}


def parse_ad(data: bytes) -> AdData:
    ad = AD_CACHE.get(data)
    if ad is None:
        ad = _parse(data)
        if len(AD_CACHE) >= CACHE_SIZE:
            AD_CACHE.clear()
        AD_CACHE[data] = ad
    return ad


EMPTY = _parse(b'')

ADDRESS_CACHE: Dict[bytes, str] = {}


def address(raw: bytes) -> str:
    """"AA:BB:CC:DD:EE:FF" of 6 bytes little-endian, as on air."""
    text = ADDRESS_CACHE.get(raw)
    if text is None:
        text = raw[::-1].hex(':').upper()
        if len(ADDRESS_CACHE) >= CACHE_SIZE:
            ADDRESS_CACHE.clear()
        ADDRESS_CACHE[raw] = text
    return text


# Address type names by the byte's value.
HCI_TYPE_NAMES = tuple(HCI_ADDRESS_TYPES.get(value, UNKNOWN) for value in range(256))
MGMT_TYPE_NAMES = tuple(MGMT_ADDRESS_TYPES.get(value, UNKNOWN) for value in range(256))


def hci_address_type(value: int) -> str:
    return HCI_TYPE_NAMES[value]


def mgmt_address_type(value: int) -> str:
    return MGMT_TYPE_NAMES[value]
