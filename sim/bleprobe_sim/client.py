"""SimClient: a test's handle on a running simulation, over the control
interface's own connection.

Each method of org.bleprobe.Simulator1 (interface.py) is a method of the
client under its snake_case name, made from the table: configure_device for
ConfigureDevice.  Its arguments have their D-Bus names and order, except
that those with a default (the adapter /org/bluez/hci0, no options, emit
true) come after the others; the entries of its options or properties may
be given as keyword arguments, and a closing av as the remaining positional
arguments.  Values are typed as the table says (Interval a double, Lose an
au, ServiceData a{sv} of ay) and results come back as plain Python, JSON
decoded.  The methods written in the class are helpers, not methods of the
interface."""

import inspect
import json
import warnings
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Mapping

import dbus
import dbus.bus

from .checks import Dictionary, ServiceData, Variants
from .dbus_values import to_dbus, typed
from .interface import METHODS, REQUIRED, Arg, Method
from .names import ADAPTER, BLUEZ_NAME, CONTROL_IFACE, CONTROL_NAME, CONTROL_PATH, PROPERTIES
from .waiting import poll_until

# The names of earlier releases, each kept as an alias that warns: old name
# -> the method's name.
OLD_NAMES = {'configure': 'configure_device', 'remove': 'remove_object',
             'discovery_log': 'get_discovery_log', 'bluez_unique_name': 'get_bluez_unique_name'}
# Their keyword arguments, each now the options it sets: method -> old
# keyword -> the options (None left out, as it was then).
OLD_KEYWORDS = {
    'add_adapter': {'powered': ['Powered'], 'controller': ['Controller']},
    'add_device': {'data': ['ServiceData'], 'connected': ['Connected', 'ServicesResolved']},
    'add_peripheral_in_range': {'interval': ['Interval'], 'phase': ['Phase'], 'lose': ['Lose']},
    'add_service': {'primary': ['Primary']},
    'add_characteristic': {'value': ['Value'], 'flags': ['Flags'], 'read': ['ReadBehaviour'],
                           'error': ['ReadError'], 'error_message': ['ReadErrorMessage']},
}
ENTRIES = 'entries'


def deprecated(old: str, new: str) -> None:
    warnings.warn('SimClient: %s is now %s' % (old, new), DeprecationWarning, stacklevel=3)


def dbus_argument(arg: Arg, value: Any) -> Any:
    """value typed as the table types it; the rest the call's signature does."""
    check = arg.check
    if isinstance(check, Dictionary) and isinstance(value, Mapping) and not typed(value):
        return dbus.Dictionary({k: to_dbus(k, v, check.entry_signature(k))
                                for k, v in value.items()}, signature='sv')
    if isinstance(check, Variants) and isinstance(value, (list, tuple)):
        return dbus.Array(value, signature='v')
    return value


def plain(method: Method, reply: Any) -> Any:
    if not method.returns:
        return None
    if method.json:
        return json.loads(reply)
    return bool(reply) if method.returns == 'b' else str(reply)


def keyword_argument(method: Method) -> List[Arg]:
    """The argument of options or properties whose entries keyword arguments
    give, if any (service data is keyed by UUIDs, not names)."""
    return [arg for arg in method.args if isinstance(arg.check, Dictionary)
            and not isinstance(arg.check, ServiceData)][-1:]


def python_signature(method: Method) -> inspect.Signature:
    """The arguments without a default; those with one (the options or
    properties among them, empty by default) and their entries; or a
    closing av's values."""
    kind = inspect.Parameter.POSITIONAL_OR_KEYWORD
    options = keyword_argument(method)
    rest = [a for a in method.args[-1:] if isinstance(a.check, Variants)]
    defaults = {a.name: None if a in options else a.default for a in method.args
                if a in options or a.default is not REQUIRED}
    params = [inspect.Parameter('self', kind)]
    params += [inspect.Parameter(a.name, kind) for a in method.args
               if a.name not in defaults and a not in rest]
    params += [inspect.Parameter(name, kind, default=value) for name, value in defaults.items()]
    params += [inspect.Parameter(a.name, inspect.Parameter.VAR_POSITIONAL) for a in rest]
    params += [inspect.Parameter(ENTRIES, inspect.Parameter.VAR_KEYWORD) for a in options]
    return inspect.Signature(params)


def client_method(method: Method) -> Callable[..., Any]:
    signature = python_signature(method)
    options = keyword_argument(method)
    old_keywords = OLD_KEYWORDS.get(method.python_name, {})

    def call(self: 'SimClient', *args: Any, **kwargs: Any) -> Any:
        for old in sorted(set(kwargs) & set(old_keywords)):
            deprecated('%s(%s=)' % (method.python_name, old),
                       ' and '.join('%s=' % key for key in old_keywords[old]))
            value = kwargs.pop(old)
            kwargs.update({key: value for key in old_keywords[old] if value is not None})
        bound = signature.bind(self, *args, **kwargs)
        bound.apply_defaults()
        given = bound.arguments
        return self.call(method.name, *[dict(given[a.name] or {}, **given[ENTRIES])
                                        if a in options else given[a.name]
                                        for a in method.args])
    call.__name__ = call.__qualname__ = method.python_name
    call.__doc__ = method.doc
    setattr(call, '__signature__', signature)
    return call


def old_name(old: str, new: str) -> Callable[..., Any]:
    def alias(self: 'SimClient', *args: Any, **kwargs: Any) -> Any:
        deprecated(old, new)
        return getattr(self, new)(*args, **kwargs)
    alias.__name__ = old
    alias.__doc__ = 'Deprecated: %s.' % new
    return alias


class SimClient:
    """Drives a running simulation over its control connection."""

    if TYPE_CHECKING:
        # The methods made from the table, below the class.
        def __getattr__(self, name: str) -> Callable[..., Any]: ...

    def __init__(self, address: str) -> None:
        self.bus = dbus.bus.BusConnection(address)
        obj = self.bus.get_object(CONTROL_NAME, CONTROL_PATH, introspect=False)
        self.ctl = dbus.Interface(obj, CONTROL_IFACE)

    def close(self) -> None:
        self.bus.close()

    def call(self, name: str, *args: Any) -> Any:
        """The method `name` with its D-Bus arguments in their order, typed
        as the table says; its result as plain Python."""
        method = METHODS[name]
        reply = self.bus.call_blocking(CONTROL_NAME, CONTROL_PATH, CONTROL_IFACE, name,
                                       method.in_signature,
                                       [dbus_argument(a, v) for a, v in zip(method.args, args)])
        return plain(method, reply)

    # -- helpers that are not methods of the interface -------------------------
    def set_powered(self, adapter: str, powered: bool) -> None:
        self.set_properties(adapter, ADAPTER, Powered=powered)

    def calls(self, member: Any = None, pid: Any = None) -> List[Dict[str, Any]]:
        """get_calls(), of `member` only, of the process `pid` only."""
        return [c for c in self.get_calls() if member in (None, c['member'])
                and pid in (None, c['pid'])]

    def wait_reports(self, count: int, adapter: str = '/org/bluez/hci0',
                     timeout: float = 20.0) -> Any:
        """Poll until the controller has made `count` advertisement reports
        (lost ones too); return the discovery log."""
        def enough() -> Any:
            log = self.get_discovery_log(adapter)
            return log if len(log['reports']) >= count else None
        return self.waiting(enough, timeout, lambda: '%d reports, not %d, within %.0f s' % (
            len(self.get_discovery_log(adapter)['reports']), count, timeout))

    @staticmethod
    def waiting(condition: Callable[[], Any], timeout: float, failure: Callable[[], str]) -> Any:
        """poll_until, failing the test with what failure() says."""
        try:
            return poll_until(condition, timeout)
        except TimeoutError:
            raise AssertionError(failure()) from None

    def get_property(self, path: str, iface: str, name: str) -> Any:
        """Read a property the way a client of bluetoothd does."""
        obj = self.bus.get_object(BLUEZ_NAME, path, introspect=False)
        return dbus.Interface(obj, PROPERTIES).Get(iface, name)

    def wait_property(self, path: str, iface: str, name: str, value: Any,
                      timeout: float = 20.0) -> None:
        self.waiting(lambda: self.get_property(path, iface, name) == value, timeout,
                     lambda: '%s %s never became %r' % (path, name, value))

    def wait_link_usable(self, path: str, timeout: float = 20.0) -> None:
        self.waiting(lambda: self.link_usable(path), timeout,
                     lambda: '%s: Connect never answered' % path)

    def wait_for_call(self, member: str, pid: Any = None, count: int = 1,
                      timeout: float = 20.0) -> List[Dict[str, Any]]:
        """Poll the call log until `member` has been called `count` times."""
        def called() -> Any:
            found = self.calls(member, pid)
            return found if len(found) >= count else None
        return self.waiting(called, timeout, lambda: '%s was not called within %.0f s; calls: %s'
                            % (member, timeout, [c['member'] for c in self.calls()]))


for _method in METHODS.values():
    setattr(SimClient, _method.python_name, client_method(_method))
for _old, _new in OLD_NAMES.items():
    setattr(SimClient, _old, old_name(_old, _new))
