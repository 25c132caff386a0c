"""bleprobe-sim: a simulated bluetoothd on a private D-Bus system bus, for
testing programs that run bleprobe on machines without Bluetooth."""

# The release of debian/changelog, which the packages carry.
__version__ = '0.1.0'
