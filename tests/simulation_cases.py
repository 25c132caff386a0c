"""Cases that the simulation's model tests (tests/sim/test_model.py) play on
a Controller in virtual time and the integration suite
(tests/integration/test_simulated_bluez.py) plays over the bus: discovery
rounds, and the control interface's refusals, partly derived from its
table (sim/bleprobe_sim/interface.py)."""

from typing import Any, Iterator, List, Tuple

from bleprobe_sim.checks import Exists, InvalidArguments, NotSupported, Options, Path, UnknownObject
from bleprobe_sim.interface import METHODS
from bleprobe_sim.names import uuid16

HCI0 = '/org/bluez/hci0'
ADDRESS = 'D0:00:00:00:00:01'
DEV = HCI0 + '/dev_D0_00_00_00_00_01'
SERVICE = DEV + '/service0001'
CHARACTERISTIC = SERVICE + '/char0002'
NAN = float('nan')
# A method, its arguments and the error that refuses them.
Refusal = Tuple[str, Tuple[Any, ...], type]

PLAIN = {'Transport': 'le', 'DuplicateData': False}
DUPLICATES = {'Transport': 'le', 'DuplicateData': True}
LOSSY = {'Interval': 0.05, 'Phase': 0.15, 'Lose': [1, 2]}

# profile, controller, filter, the peripheral's own radio -> the first report
# lost, the rounds after the first paused, the advertisement the first report
# heard (with a radio of its own).
ROUNDS = {
    # 5.66 takes any filter as asking more than the scan type.
    '5.66-le-plain': ('5.66', 'le', PLAIN, None, False, False, None),
    '5.66-le-duplicates': ('5.66', 'le', DUPLICATES, None, False, False, None),
    '5.82-le-plain': ('5.82', 'le', PLAIN, None, True, True, None),
    '5.82-le-no-filter': ('5.82', 'le', None, None, True, True, None),
    '5.82-le-auto-transport': ('5.82', 'le', {'Transport': 'auto'}, None, True, True, None),
    '5.82-le-duplicates': ('5.82', 'le', DUPLICATES, None, True, False, None),
    '5.82-le-rssi': ('5.82', 'le', {'RSSI': -90}, None, True, False, None),
    '5.82-le-pattern': ('5.82', 'le', {'Pattern': ''}, None, True, False, None),
    '5.82-dual-le-plain': ('5.82', 'dual', PLAIN, None, True, False, None),
    '5.82-dual-auto-transport': ('5.82', 'dual', {'Transport': 'auto'}, None, True, True, None),
    '5.87-le-plain': ('5.87', 'le', PLAIN, None, True, True, None),
    # Lost in the air on any release; an advertisement that comes after the
    # discovery's start is not the kernel's to lose.
    '5.66-le-lossy-radio': ('5.66', 'le', PLAIN, LOSSY, False, False, 3),
    '5.82-le-lossy-radio': ('5.82', 'le', DUPLICATES, LOSSY, False, False, 3),
}

# One delivery rule for peripherals BlueZ lists and those it does not: the
# advertisements of the test (ms, data), heard by a discovery of 1 s rounds
# restarted 0.1 s after each ends and stopped before the last, reach bluetoothd
# 50 ms later as the duplicate filter lets them through (each round resets
# it), or at once as heard.  The adapter's setting (None: the release's)
# and whether it plays as heard -> when bluetoothd gets a report.
ADVERTISEMENTS = [(100, 'A'), (200, 'A'), (300, 'B'), (400, 'B'), (500, 'A'), (1050, 'A'),
                  (1200, 'A'), (1300, 'A'), (1500, 'B')]
DELIVERY = {
    'off': ('off', False, [150, 250, 350, 450, 550, 1250, 1350]),
    'address': ('address', False, [150, 1250]),
    'address-and-data': ('addressAndData', False, [150, 350, 550, 1250]),
    'release-default': (None, False, [150, 350, 550, 1250]),
    # No round gap, no filter, no delay; nothing once discovery has stopped.
    'as-heard': ('address', True, [100, 200, 300, 400, 500, 1050, 1200, 1300]),
}

# The world the refusals start from, as control calls.
START = [('AddAdapter', ('hci0', {})), ('AddDevice', (HCI0, ADDRESS, {})),
         ('AddService', (DEV, uuid16('180a'), {})),
         ('AddCharacteristic', (SERVICE, uuid16('2a25'), {'Value': b'0123456789ABCDEF'}))]

# Good arguments for each method that takes any, on START.
GOOD = {
    'AddAdapter': ('hci1', {'Powered': False}),
    'AddDevice': (HCI0, 'D0:00:00:00:00:02', {}),
    'AddPeripheralInRange': (HCI0, 'D0:00:00:00:00:02', {'Interval': 0.1, 'Lose': [1]}),
    'Advertise': (DEV, {uuid16('fe59'): b'1'}),
    'ConfigureDevice': (DEV, {'ConnectDelay': 0.1}),
    'AddService': (DEV, uuid16('1800'), {'Primary': True}),
    'AddCharacteristic': (SERVICE, uuid16('2a29'), {'Flags': ['read'], 'Value': b'1'}),
    'ConfigureCharacteristic': (CHARACTERISTIC, {'Attempt': 2, 'ReadBehaviour': 'error'}),
    'HaltDiscovery': (HCI0,),
    'RestartDiscovery': (HCI0,),
    'SetProperties': (HCI0, 'org.bluez.Adapter1', {'Powered': False}, True),
    'RemoveObject': (DEV,),
    'ForgetDevice': (DEV,),
    'DropLink': (DEV,),
    'LinkUsable': (DEV,),
    'FailAdapterMethod': (HCI0, 'StartDiscovery', 'org.bluez.Error.Failed'),
    'SetTiming': ({'RoundTime': 1.0},),
    'GetDiscoveryLog': (HCI0,),
}

# Each call is refused with the error that the table lists for it, and
# changes nothing; the table's paths and options add theirs below.
REFUSALS: List[Refusal] = [
    ('AddAdapter', ('hci0', {}), Exists),
    ('AddAdapter', ('usb0', {}), InvalidArguments),
    ('AddAdapter', ('hci1', {'Controller': 'bredr'}), NotSupported),
    ('AddAdapter', ('hci1', {'Powered': 'yes'}), InvalidArguments),
    ('AddAdapter', ('hci1', {'Address': 'nonsense'}), InvalidArguments),
    ('AddAdapter', ('hci1', {'Colour': 'blue'}), InvalidArguments),
    ('AddAdapter', ('hci1', {'DuplicateFilter': 'sometimes'}), InvalidArguments),
    ('AddDevice', (HCI0, ADDRESS, {}), Exists),
    ('AddDevice', (HCI0, 'nonsense', {}), InvalidArguments),
    ('AddPeripheralInRange', (HCI0, ADDRESS, {'Interval': 0.0}), InvalidArguments),
    ('AddPeripheralInRange', (HCI0, ADDRESS, {'Interval': 1e999}), InvalidArguments),
    ('AddPeripheralInRange', (HCI0, ADDRESS, {'Lose': [1]}), InvalidArguments),
    ('AddPeripheralInRange', (HCI0, ADDRESS, {'Interval': 0.1, 'Lose': [0]}), InvalidArguments),
    ('Advertise', (DEV, {'180a': b'1'}), InvalidArguments),
    ('ConfigureDevice', (DEV, {'ConnectDelay': NAN}), InvalidArguments),
    ('ConfigureDevice', (DEV, {'ConnectDelay': -1.0}), InvalidArguments),
    ('ConfigureDevice', (DEV, {'ConnectError': 'not an error name'}), InvalidArguments),
    ('ConfigureDevice', (DEV, {'ConnectBehaviour': 'sideways'}), InvalidArguments),
    ('ConfigureDevice', (DEV, {'Attempt': 0}), InvalidArguments),
    ('ConfigureCharacteristic', (SERVICE, {}), UnknownObject),
    ('AddService', (DEV, 'not-a-uuid', {}), InvalidArguments),
    ('AddCharacteristic', (SERVICE, uuid16('2a25'), {'ReadBehaviour': 'slowly'}), InvalidArguments),
    ('AddCharacteristic', (SERVICE, uuid16('2a25'), {'Value': 'text'}), InvalidArguments),
    ('SetProperties', (DEV, 'org.bluez.Nothing1', {}, True), InvalidArguments),
    ('SetProperties', (HCI0, 'org.bluez.Adapter1', {'Powered': 1}, True), InvalidArguments),
    ('RemoveObject', ('/org/bluez', ), NotSupported),
    ('DropLink', (HCI0, ), UnknownObject),
    ('FailAdapterMethod', (HCI0, 'StartDiscovery', 'no name'), InvalidArguments),
    ('FailAdapterMethod', (HCI0, 'Connect', 'org.bluez.Error.Failed'), NotSupported),
    ('SetTiming', ({'RoundTime': 0.0}, ), InvalidArguments),
    ('SetTiming', ({'RoundTime': NAN}, ), InvalidArguments),
]
NOWHERE = '/org/bluez/hci9/dev_D0_00_00_00_00_09/service00ff'


def derived_refusals() -> Iterator[Refusal]:
    """A path that names nothing, an option that the table does not know:
    one case for each argument of the table that takes either."""
    for name, method in METHODS.items():
        for n, arg in enumerate(method.args):
            wrong: Any
            error: type
            if isinstance(arg.check, Path):
                wrong, error = NOWHERE, UnknownObject
            elif isinstance(arg.check, Options) and not arg.check.others:
                wrong, error = {'Colour': 'blue'}, InvalidArguments
            else:
                continue
            yield name, GOOD[name][:n] + (wrong,) + GOOD[name][n + 1:], error


REFUSALS += list(derived_refusals())

# Refused on the bus only: a simulation without one has no signal to send.
ON_BUS: List[Refusal] = [
    ('EmitRaw', ('/', 'org.bluez.Device1', 'Nothing', 's', [1]), InvalidArguments),
]
