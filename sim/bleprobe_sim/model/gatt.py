"""A device's GATT database: services and their characteristics."""

from typing import Any, Callable, Dict, List, Optional

from ..names import GATT_CHARACTERISTIC, GATT_SERVICE
from .errors import BluezError, failed
from .objects import ModelObject

READ_BEHAVIOURS = ('value', 'error', 'hang', 'disconnect')


class GattService(ModelObject):
    def __init__(self, world: Any, path: str, device_path: str, uuid: str,
                 primary: bool) -> None:
        super().__init__(world, path, {GATT_SERVICE: {
            'UUID': uuid, 'Device': device_path, 'Primary': primary, 'Includes': [],
        }})


class GattCharacteristic(ModelObject):
    """read: ReadBehaviour (value | error | hang | disconnect), Value (bytes),
    ReadError and ReadErrorMessage; what it leaves out is DEFAULT_READ's."""

    DEFAULT_READ: Dict[str, Any] = {
        'ReadBehaviour': 'value',
        'Value': b'',
        'ReadError': 'org.bluez.Error.Failed',
        'ReadErrorMessage': 'Operation failed',
    }

    def __init__(self, world: Any, path: str, service_path: str, uuid: str,
                 flags: List[str], read: Dict[str, Any]) -> None:
        super().__init__(world, path, {GATT_CHARACTERISTIC: {
            'UUID': uuid, 'Service': service_path, 'Flags': list(flags),
        }})
        self.device_path = service_path.rsplit('/', 1)[0]
        self.read = dict(self.DEFAULT_READ, **read)
        # How a read goes from the device's connection attempt n on (see
        # Device.configure): n -> options over `read`.
        self.attempt_reads: Dict[int, Dict[str, Any]] = {}

    def configure(self, options: Dict[str, Any], attempt: Optional[int] = None) -> None:
        if attempt is None:
            self.read.update(options)
        else:
            self.attempt_reads.setdefault(attempt, {}).update(options)

    def read_now(self, attempt: int) -> Dict[str, Any]:
        """How a read goes during the device's attempt `attempt`."""
        number = max((n for n in self.attempt_reads if n <= attempt), default=0)
        return dict(self.read, **self.attempt_reads.get(number, {}))

    def read_value(self, reply: Callable[[bytes], None],
                   error: Callable[[BluezError], None]) -> None:
        dev = self.world.objects.get(self.device_path)
        if dev is None or not getattr(dev, 'usable', False):
            error(failed('Not connected'))
            return
        read = self.read_now(dev.attempts)
        how = read['ReadBehaviour']
        if dev.pending_disconnects:
            # A link that bluetoothd is about to drop (DisconnectDelay after
            # Disconnect: doc/bluez-behaviour.md, slow-disconnect) takes the
            # read down with it.
            dev.pending_reads.append(error)
        elif how == 'hang':
            dev.pending_reads.append(error)
        elif how == 'disconnect':
            dev.pending_reads.append(error)
            dev.drop_link('remote')
        elif how == 'error':
            error(BluezError(read['ReadError'], read['ReadErrorMessage']))
        else:
            reply(bytes(read['Value']))
