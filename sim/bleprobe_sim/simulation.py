"""A simulated bluetoothd on a bus: the model, its presentation as
org.bluez and the control interface, each on a connection of its own so
that a bus policy which denies send_destination="org.bluez" still lets a
test drive the simulation."""

from typing import Any, Callable, Optional

import dbus
import dbus.bus

from .bluez_service import BluezService
from .clock import GLibClock, raise_fault
from .control import Controller
from .control_object import ControlObject
from .model import World
from .names import BLUEZ_NAME, CONTROL_NAME
from .profiles import DEFAULT_PROFILE, PROFILES


class Simulation:
    """profile: the bluetoothd release to play (a key of PROFILES).
    A fault inside the simulation (a timer or a method that raises) goes to
    fail(), which hands it to on_fault: the program's, which ends the run
    (cli.Faults), or by default one that raises it again."""

    def __init__(self, address: str, profile: str = DEFAULT_PROFILE,
                 clock: Optional[Any] = None) -> None:
        if profile not in PROFILES:
            raise ValueError('no bluetoothd %s to play' % profile)
        from dbus.mainloop.glib import DBusGMainLoop
        loop = DBusGMainLoop()
        self.address = address
        self.on_fault: Callable[[BaseException], Any] = raise_fault
        self.clock = clock if clock is not None else GLibClock()
        self.clock.on_fault = self.fail
        self.bluez = BluezService(address, loop, self.fail)
        self.world = World(self.clock, profile, view=self.bluez)
        self.bluez.world = self.world
        self.controller = Controller(self.world, self.bluez)
        self.control_bus = dbus.bus.BusConnection(address, mainloop=loop)
        self.control = ControlObject(self.control_bus, self.controller, self.fail)

    @property
    def profile_name(self) -> str:
        return self.world.profile_name

    def own_names(self) -> None:
        for bus, name in ((self.bluez.connection, BLUEZ_NAME), (self.control_bus, CONTROL_NAME)):
            reply = bus.request_name(name, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
            if reply != dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER:
                raise RuntimeError('cannot own ' + name)

    def fail(self, exc: BaseException) -> None:
        self.on_fault(exc)
