"""The runner's own connection to the guest's system bus (dbus-python on
a GLib main loop), the loop that every wait turns, BlueZ's properties, and
D-Bus values as the JSON of the result."""

import os
import time
from typing import Any

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

# the runner's main connection, once dbus-daemon is up
conn: Any = None
_ctx: Any = None


def connect():
    global conn, _ctx
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    conn = dbus.SystemBus()
    _ctx = GLib.MainContext.default()
    # keeps iteration(True) from blocking for long, so deadlines are checked
    GLib.timeout_add(50, lambda: True)
    return conn


def pump(seconds=0.0):
    """Runs the main loop for a while (at least one pass)."""
    deadline = time.monotonic() + seconds
    while True:
        while _ctx.pending():
            _ctx.iteration(False)
        if time.monotonic() >= deadline:
            return
        _ctx.iteration(True)


def wait_until(pred, timeout):
    deadline = time.monotonic() + timeout
    while True:
        while _ctx.pending():
            _ctx.iteration(False)
        if pred():
            return True
        if time.monotonic() >= deadline:
            return False
        _ctx.iteration(True)


def polled(pred, interval=0.25):
    """pred evaluated at most every interval: bus round trips are not free
    on an emulated CPU that the tool under test shares."""
    state = {"next": 0.0, "value": False}

    def check():
        t = time.monotonic()
        if t >= state["next"]:
            state["value"] = pred()
            state["next"] = t + interval
        return state["value"]

    return check


def object_props(path, interface):
    """Properties of one BlueZ object, or None while it does not exist."""
    try:
        props = dbus.Interface(conn.get_object("org.bluez", path, introspect=False),
                               "org.freedesktop.DBus.Properties")
        return props.GetAll(interface)
    except dbus.DBusException:
        return None


def adapter_props(path):
    return object_props(path, "org.bluez.Adapter1")


def set_powered(path, on):
    props = dbus.Interface(conn.get_object("org.bluez", path), "org.freedesktop.DBus.Properties")
    props.Set("org.bluez.Adapter1", "Powered", dbus.Boolean(on))


def watch_pipe(fd, on_data, on_end):
    """Hands what arrives on fd to on_data as the main loop turns; on_end
    once it ends. Returns the watch's source id."""
    def readable(fd, cond):
        try:
            data = os.read(fd, 65536)
        except OSError:
            data = b""
        if not data:
            on_end()
            return False
        on_data(data)
        return True

    return GLib.io_add_watch(fd, GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR, readable)


def to_json(v):
    if isinstance(v, (bytes, bytearray)):
        return v.hex()
    if isinstance(v, dbus.Array):
        if v.signature == "y":
            return bytes(int(b) for b in v).hex()
        return [to_json(x) for x in v]
    if isinstance(v, (dbus.Dictionary, dict)):
        return {str(k): to_json(x) for k, x in v.items()}
    if isinstance(v, (list, tuple, dbus.Struct)):
        return [to_json(x) for x in v]
    if isinstance(v, dbus.Boolean):
        return bool(v)
    if isinstance(v, (dbus.Byte, dbus.Int16, dbus.UInt16, dbus.Int32, dbus.UInt32,
                      dbus.Int64, dbus.UInt64)):
        return int(v)
    if isinstance(v, dbus.Double):
        return float(v)
    if isinstance(v, (dbus.String, dbus.ObjectPath, str)):
        return str(v)
    return repr(v)


def type_tag(v):
    """D-Bus signature of a variant's value, kept in the log for property types."""
    try:
        if isinstance(v, dbus.Array):
            return "a" + (v.signature or "?")
        if isinstance(v, dbus.Dictionary):
            return "a{" + (v.signature or "?") + "}"
        return {dbus.Boolean: "b", dbus.Byte: "y", dbus.Int16: "n", dbus.UInt16: "q",
                dbus.Int32: "i", dbus.UInt32: "u", dbus.Int64: "x", dbus.UInt64: "t",
                dbus.Double: "d", dbus.String: "s", dbus.ObjectPath: "o"}.get(type(v), "?")
    except Exception:
        return "?"
