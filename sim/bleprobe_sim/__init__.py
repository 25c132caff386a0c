"""bleprobe-sim: a simulated bluetoothd on a private D-Bus system bus, for
testing programs that run bleprobe on machines without Bluetooth."""

__version__ = '1.0.0'
