"""The names bluetoothd and the simulation use on the bus, and the paths of
the objects they export.  Plain text: the model uses them as the keys of its
objects' interfaces without speaking D-Bus itself."""

import re

BLUEZ_NAME = 'org.bluez'
CONTROL_NAME = 'org.bleprobe.Simulator'
CONTROL_PATH = '/org/bleprobe/Simulator'
CONTROL_IFACE = 'org.bleprobe.Simulator1'
CONTROL_ERROR = 'org.bleprobe.Simulator.Error.'

OBJECT_MANAGER = 'org.freedesktop.DBus.ObjectManager'
PROPERTIES = 'org.freedesktop.DBus.Properties'
INTROSPECTABLE = 'org.freedesktop.DBus.Introspectable'
ADAPTER = 'org.bluez.Adapter1'
DEVICE = 'org.bluez.Device1'
GATT_SERVICE = 'org.bluez.GattService1'
GATT_CHARACTERISTIC = 'org.bluez.GattCharacteristic1'
BEARER_LE = 'org.bluez.Bearer.LE1'

BASE_UUID_SUFFIX = '-0000-1000-8000-00805f9b34fb'
ADAPTERS = '/org/bluez'

ADDRESS = re.compile(r'^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}$')
UUID = re.compile(r'^[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}$')


def uuid16(short):
    """The lower-case 128-bit text that bluetoothd writes for a 16-bit UUID."""
    return '0000%04x%s' % (int(short, 16), BASE_UUID_SUFFIX)


def adapter_path(name):
    return '%s/%s' % (ADAPTERS, name)


def device_path(adapter_path_, address):
    return '%s/dev_%s' % (adapter_path_, address.upper().replace(':', '_'))
