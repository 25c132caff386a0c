"""org.bleprobe.Simulator1 on the bus, made from the table (interface.py):
each method hands its arguments to the Controller's method of the same name
and answers what it answers."""

import inspect
import types
from typing import Any, Callable

import dbus
import dbus.service

from .checks import ControlError
from .control import Controller
from .interface import METHODS, Method
from .names import CONTROL_IFACE, CONTROL_PATH


class ControlBase(dbus.service.Object):
    def __init__(self, connection: Any, controller: Controller,
                 fault: Callable[[BaseException], Any]) -> None:
        self.controller = controller
        self.on_fault = fault
        super().__init__(connection, CONTROL_PATH)

    def call(self, name: str, *args: Any) -> Any:
        """A ControlError is the caller's to hear; anything else is a fault
        of the simulation, which ends the run."""
        try:
            return getattr(self.controller, name)(*args)
        except ControlError as e:
            raise dbus.DBusException(str(e), name=e.name) from None
        except Exception as exc:
            self.on_fault(exc)
            raise dbus.DBusException('internal fault of the simulation',
                                     name='org.freedesktop.DBus.Error.Failed') from None


def exported(method: Method) -> Any:
    """The D-Bus method: dbus-python reads its arguments' names, which the
    introspection data then shows, from its signature."""
    def call(self: ControlBase, *args: Any) -> Any:
        return self.call(method.name, *args)
    call.__name__ = call.__qualname__ = method.name
    call.__doc__ = method.doc
    setattr(call, '__signature__', inspect.Signature(
        [inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD)
         for name in ['self'] + [arg.name for arg in method.args]]))
    return dbus.service.method(CONTROL_IFACE, in_signature=method.in_signature,
                               out_signature=method.returns)(call)


# dbus-python collects the methods as the class is made, so they are in
# its namespace from the start.
ControlObject: Any = types.new_class(
    'ControlObject', (ControlBase,), exec_body=lambda namespace: namespace.update(
        {'__module__': __name__, **{name: exported(m) for name, m in METHODS.items()}}))
