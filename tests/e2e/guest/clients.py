"""The runner's own BlueZ clients: other programs on the bus, as a caller's
machine has them. Each name is its own bus connection ("main" is the
runner's), so BlueZ sees separate discovery sessions; closing one is that
program exiting. Their calls are asynchronous, their replies events."""

from typing import Any, Dict, List

import dbus
import dbus.lowlevel
from gi.repository import GLib

import bus
import events
import monitor
import bluez_paths
from bluez_paths import CENTRAL, PERIPHERAL_ADAPTER, device_path
from share import now, timeline

_clients: Dict[str, Any] = {}
# every call made, by id: {"id", "client", "method", "path", "sent", "replied", "ok", ...}
calls: Dict[str, dict] = {}
_pollers: List[dict] = []


def client_bus(name):
    if not name or name == "main":
        return bus.conn
    if name not in _clients:
        _clients[name] = dbus.SystemBus(private=True)
        monitor.own_names.add(_clients[name].get_unique_name())
    return _clients[name]


def close_client(name):
    c = _clients.pop(name, None)
    if c is not None:
        c.close()
    events.record({"t": now(), "member": "_closed", "id": name})


def resolve_path(path):
    if path == "$device":
        return bluez_paths.PERIPHERAL_DEVICE
    if path == "$central_on_peripheral":
        return device_path(PERIPHERAL_ADAPTER, timeline["hci0_address"])
    return path


def start_call(request):
    """An asynchronous method call to org.bluez; its reply is recorded as an
    event {"member": "_reply", "id", "ok", "error", "message", "result"}."""
    cid = request.get("id") or f"{request['method']}#{len(calls)}"
    rec = {"id": cid, "client": request.get("client", "main"), "method": request["method"],
           "sent": now()}
    calls[cid] = rec
    path = resolve_path(request.get("path", CENTRAL))
    rec["path"] = path

    def on_reply(message):
        if isinstance(message, dbus.lowlevel.ErrorMessage):
            args = message.get_args_list()
            rec.update(ok=False, replied=now(), error=message.get_error_name(),
                       message=str(args[0]) if args else "")
            events.record({"t": rec["replied"], "member": "_reply", "id": cid, "ok": False,
                           "error": rec["error"], "message": rec["message"]})
        else:
            rec.update(ok=True, replied=now(), result=bus.to_json(list(message.get_args_list())))
            events.record({"t": rec["replied"], "member": "_reply", "id": cid, "ok": True,
                           "args": rec["result"]})

    # no auto-start: while bluetoothd is gone the bus must not try to
    # activate it through its service file
    msg = dbus.lowlevel.MethodCallMessage("org.bluez", path,
                                          request.get("interface", "org.bluez.Adapter1"),
                                          request["method"])
    msg.set_auto_start(False)
    if request.get("args"):
        msg.append(*request["args"], signature=request.get("signature"))
    client_bus(request.get("client")).send_message_with_reply(
        msg, on_reply, float(request.get("timeout", 120)), require_main_loop=True)
    return rec


def start_poller(interval_ms):
    """Another program (a desktop applet, say) reading the peripheral's
    properties every interval_ms."""
    state = {"busy": False}
    _pollers.append(state)
    applet = client_bus("applet")

    def done(*args):
        state["busy"] = False

    def tick():
        if state not in _pollers:
            return False
        if not state["busy"]:
            state["busy"] = True
            applet.call_async("org.bluez", bluez_paths.PERIPHERAL_DEVICE, "org.freedesktop.DBus.Properties",
                              "GetAll", "s", ("org.bluez.Device1",), done, done)
        return True

    GLib.timeout_add(interval_ms, tick)


def stop_pollers():
    _pollers.clear()
