"""What the runner records of the bus: org.bluez's signals and owner
changes on its main connection, and, on a second connection that is a bus
monitor, every method call other programs (the tool, the peripheral) make
to org.bluez with the caller's process id, and org.bluez's replies to them,
so that tests can tell what the tool asked BlueZ, what it was answered, and
when."""

from typing import Dict, Optional, Set

import dbus
import dbus.bus
import dbus.lowlevel

import bus
import events
from share import now

# the runner's own bus connections, left out of the call log
own_names: Set[str] = set()
# a caller's unique name -> its process id, once the bus has told it
sender_pids: Dict[str, Optional[int]] = {}
_monitor: dict = {}


def start():
    own_names.add(bus.conn.get_unique_name())
    bus.conn.add_signal_receiver(_on_bluez_signal, bus_name="org.bluez", path_keyword="path",
                                 interface_keyword="interface", member_keyword="member")
    bus.conn.add_signal_receiver(_on_name_owner_changed, signal_name="NameOwnerChanged",
                                 dbus_interface="org.freedesktop.DBus", bus_name="org.freedesktop.DBus",
                                 arg0="org.bluez")
    mon = dbus.bus.BusConnection(dbus.bus.BusConnection.TYPE_SYSTEM)
    mon.add_message_filter(_on_monitored)
    mon.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus",
                      "org.freedesktop.DBus.Monitoring", "BecomeMonitor", "asu",
                      (["type='method_call',destination='org.bluez'",
                        "type='method_return',sender='org.bluez'",
                        "type='error',sender='org.bluez'"], dbus.UInt32(0)))
    _monitor["conn"] = mon


def _on_bluez_signal(*args, **kw):
    entry = {"t": now(), "path": str(kw.get("path")), "interface": str(kw.get("interface")),
             "member": str(kw.get("member")), "args": bus.to_json(list(args))}
    if entry["member"] == "PropertiesChanged" and len(args) >= 2:
        entry["types"] = {str(k): bus.type_tag(v) for k, v in args[1].items()}
    events.record(entry)


def _on_name_owner_changed(name, old, new):
    events.record({"t": now(), "path": "/org/freedesktop/DBus", "interface": "org.freedesktop.DBus",
                   "member": "NameOwnerChanged", "args": [str(name), str(old), str(new)]})


def _on_monitored(conn, msg):
    """Calls become events {"kind": "call", "sender", "pid", "serial",
    "member", ...}, replies {"kind": "reply", "destination", "reply_serial",
    "error"}."""
    kind = msg.get_type()
    if kind in (dbus.lowlevel.MESSAGE_TYPE_METHOD_RETURN, dbus.lowlevel.MESSAGE_TYPE_ERROR):
        if msg.get_destination() not in own_names:
            events.record({"t": now(), "kind": "reply", "member": "_bus_reply",
                           "destination": msg.get_destination(),
                           "reply_serial": msg.get_reply_serial(),
                           "error": msg.get_error_name()
                           if kind == dbus.lowlevel.MESSAGE_TYPE_ERROR else None})
    elif kind == dbus.lowlevel.MESSAGE_TYPE_METHOD_CALL and msg.get_sender() not in own_names:
        _record_call(msg)
    # a monitor must never answer: unhandled calls would get an error reply
    return dbus.lowlevel.HANDLER_RESULT_HANDLED


def _record_call(msg):
    sender = msg.get_sender()
    entry = {"t": now(), "kind": "call", "sender": sender, "pid": sender_pids.get(sender),
             "serial": msg.get_serial(), "path": msg.get_path(),
             "interface": msg.get_interface(), "member": msg.get_member(),
             "args": bus.to_json(msg.get_args_list())}
    if sender not in sender_pids:
        sender_pids[sender] = None

        def got(pid):
            sender_pids[sender] = int(pid)
            for e in events.events:
                if e.get("kind") == "call" and e["sender"] == sender:
                    e["pid"] = int(pid)

        bus.conn.call_async("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                            "GetConnectionUnixProcessID", "s", (sender,), got, lambda e: None)
    events.record(entry)
