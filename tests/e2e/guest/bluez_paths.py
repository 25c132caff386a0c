"""Where BlueZ puts the VM's two controllers and the peripheral, for the
guest's programs and the host's scenarios alike. btvirt gives its
controllers fixed addresses: hci0 is the central the tool uses, hci1 the
peripheral."""

CENTRAL = "/org/bluez/hci0"
PERIPHERAL_ADAPTER = "/org/bluez/hci1"
# hci1 as seen from hci0
PERIPHERAL_ADDRESS = "00:AA:01:01:00:01"
BASE_UUID_TAIL = "-0000-1000-8000-00805f9b34fb"


def device_path(adapter, address):
    return adapter + "/dev_" + address.replace(":", "_")


PERIPHERAL_DEVICE = device_path(CENTRAL, PERIPHERAL_ADDRESS)


def use_peripheral_address(address):
    """The guest's btvirt numbers its controllers its own way on some
    releases (harness.BTVIRT_ADDRESSES, which renames the addresses back on
    the host): the guest's programs read these two names from this module
    at the time of use."""
    global PERIPHERAL_ADDRESS, PERIPHERAL_DEVICE
    PERIPHERAL_ADDRESS = address
    PERIPHERAL_DEVICE = device_path(CENTRAL, address)


def uuid128(short):
    return f"0000{short.lower()}{BASE_UUID_TAIL}" if len(short) == 4 else short.lower()
