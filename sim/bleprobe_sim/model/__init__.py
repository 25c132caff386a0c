"""The simulated Bluetooth world as bluetoothd sees it: adapters and their
discovery rounds, peripherals in range and their radios, devices, links and
GATT databases.  Nothing here speaks D-Bus: what a client would see is told
to a view (see World), and time comes from a clock (see clock.py)."""

from .adapter import Adapter
from .device import Device
from .errors import BluezError
from .gatt import GattCharacteristic, GattService
from .world import NoView, World

__all__ = ['Adapter', 'BluezError', 'Device', 'GattCharacteristic', 'GattService', 'NoView',
           'World']
