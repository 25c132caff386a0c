"""What every object bluetoothd exports has: a path and interfaces with
their properties."""

from typing import Any, Dict


class ModelObject:
    """One object at `path`; interfaces maps an interface name to its
    properties.  Values are plain Python (the view gives them their D-Bus
    types) or whatever a test handed in through the control interface."""

    def __init__(self, world: Any, path: str, interfaces: Dict[str, Dict[str, Any]]) -> None:
        self.world = world
        self.path = path
        self.interfaces = interfaces

    @property
    def listed(self) -> bool:
        """Whether bluetoothd lists the object (an exported path)."""
        return self.world.objects.get(self.path) is self

    def prop(self, iface: str, name: str, default: Any = None) -> Any:
        return self.interfaces.get(iface, {}).get(name, default)

    def change(self, iface: str, changed: Dict[str, Any], emit: bool = True) -> None:
        """Stores new property values and, for a listed object, announces
        them in one signal."""
        self.interfaces.setdefault(iface, {}).update(changed)
        if emit and changed and self.listed:
            self.world.view.changed(self, iface, dict(changed))

    def set_property(self, iface: str, name: str, value: Any) -> None:
        """A client's Properties.Set of a writable property."""
        self.change(iface, {name: value})

    def removed(self) -> None:
        """The object is no longer listed: its timers have nothing to do."""


class Manager(ModelObject):
    """/org/bluez: bluetoothd's agent and profile managers (no properties)."""

    def __init__(self, world: Any) -> None:
        super().__init__(world, '/org/bluez', {'org.bluez.AgentManager1': {},
                                               'org.bluez.ProfileManager1': {}})
