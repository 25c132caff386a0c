"""The errors bluetoothd answers its clients, by their D-Bus names."""


class BluezError(Exception):
    """An error reply of org.bluez: `name` is the D-Bus error name."""

    def __init__(self, name: str, message: str = '') -> None:
        super().__init__(message)
        self.name = name
        self.message = message


def not_ready() -> BluezError:
    return BluezError('org.bluez.Error.NotReady', 'Resource Not Ready')


def in_progress() -> BluezError:
    return BluezError('org.bluez.Error.InProgress', 'Operation already in progress')


def invalid_args() -> BluezError:
    return BluezError('org.bluez.Error.InvalidArguments', 'Invalid arguments in method call')


def failed(message: str) -> BluezError:
    return BluezError('org.bluez.Error.Failed', message)
