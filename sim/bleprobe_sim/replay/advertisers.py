"""One advertiser as the capture heard it: the times bluetoothd got its
reports, its service data and each change of it, its address type, and
what the kernel dropped of it; and the scenario's entry for it."""

from typing import Any, Dict, List, Optional, Tuple

from .times import TimeEncoder

BASE_UUID = '-0000-1000-8000-00805f9b34fb'
# The JSON bytes of a serviceData entry besides its value (in hexadecimal,
# under a 128-bit UUID), and of a peripheral besides its times and data:
# upper bounds, for the size of the scenario.
DATA_ENTRY_BYTES = 80
PERIPHERAL_BYTES = 200
# Times of drops kept for the summary, per advertiser.
DROPS_SHOWN = 3

ServiceData = Tuple[Tuple[str, bytes], ...]


def service_data(pairs: ServiceData) -> ServiceData:
    """The service data as BlueZ keeps it: the last value of a UUID given
    twice, in the order of their first appearance."""
    kept: Dict[str, bytes] = {}
    for uuid, value in pairs:
        kept[uuid] = value
    return tuple(kept.items())


def uuid_field(uuid: str) -> str:
    """A UUID as a scenario writes it: four digits for a 16-bit one."""
    if uuid.endswith(BASE_UUID) and uuid.startswith('0000'):
        return uuid[4:8].upper()
    return uuid


def value_field(value: bytes) -> Dict[str, str]:
    """Printable ASCII as text, anything else in hexadecimal."""
    if value and all(0x20 <= b < 0x7F for b in value):
        return {'text': value.decode('ascii')}
    return {'hex': value.hex().upper()}


def seconds(us: int, zero: int, digits: int = 6) -> float:
    return round((us - zero) / 1e6, digits)


class Advertiser:
    """Fed in the order of the capture; the times of the capture are
    microseconds."""

    def __init__(self, address: str, address_type: str) -> None:
        self.address = address
        self.address_type = address_type
        self.times = TimeEncoder()
        # The data from each change on (its time is the encoder's mark).
        self.changes: List[ServiceData] = []
        self.last_ad: Any = None
        self.last_data: ServiceData = ()   # of the last report with service data
        self.ad_data: ServiceData = ()     # of last_ad
        self.reports = 0
        self.first_us: Optional[int] = None   # of its first report with service data
        self.without_data = 0
        self.ignored = 0      # given to bluetoothd before its discovery had started
        self.dropped = 0
        self.drop_times: List[int] = []
        self.data_size = 0
        self.uuids: set = set()

    def report(self, time_us: int, ad: Any) -> None:
        """A report that bluetoothd got; ad is its AdData (the same object
        for the same data: the reader decodes each distinct data once)."""
        changed = False
        if ad is not self.last_ad:
            self.last_ad = ad
            pairs = ad.service_data
            self.ad_data = service_data(pairs) if pairs else ()
            if self.ad_data and self.ad_data != self.last_data:
                changed = True
                self.last_data = self.ad_data
                self.changes.append(self.ad_data)
                self.data_size += sum(DATA_ENTRY_BYTES + 2 * len(v) for _, v in self.ad_data)
                self.uuids.update(uuid for uuid, _ in self.ad_data)
        if not self.ad_data:
            # No service data to give bleprobe: nothing to play.
            self.without_data += 1
            return
        if not self.reports:
            self.first_us = time_us
        self.reports += 1
        self.times.add(time_us)
        if changed:
            self.times.mark()

    def drop(self, time_us: int) -> None:
        self.dropped += 1
        if len(self.drop_times) < DROPS_SHOWN:
            self.drop_times.append(time_us)

    def size(self) -> int:
        return PERIPHERAL_BYTES + self.times.estimate() + self.data_size

    def advertising(self, zero: int) -> Optional[Dict[str, Any]]:
        """The scenario's advertising field, or None without a report."""
        self.times.close()
        if not self.reports:
            return None
        result: Dict[str, Any] = {}
        if self.times.at:
            result['at'] = [seconds(t, zero) for t in self.times.at]
        if self.times.runs:
            result['runs'] = []
            for first, interval, count, lose in self.times.runs:
                run: Dict[str, Any] = {'firstAt': seconds(first, zero), 'interval': interval,
                                       'count': count}
                if lose:
                    run['lose'] = lose
                result['runs'].append(run)
        result['serviceData'] = [dict({'from': seconds(int(t), zero), 'uuid': uuid_field(uuid)},
                                      **value_field(value))
                                 for t, data in zip(self.times.marks, self.changes)
                                 for uuid, value in data]
        return result
