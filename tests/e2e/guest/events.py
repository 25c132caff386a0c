"""The boot's log of events, which the result carries to the tests: every
org.bluez signal, org.bluez's owner changes, the method calls other
programs made to org.bluez and its replies, the runner's own calls' replies,
processes' ends, marks, and what the peripheral program saw. Each is a dict
{"t", "member", ...}; the matching rules of a scenario's waits and hooks are
here, and need no bus, so the host's tests use them as they are."""

from typing import Callable, List

from bluez_paths import CENTRAL, uuid128
from share import log

events: List[dict] = []
# {"on": match, "fire": action}: actions taken the moment a matching event
# arrives, with no round trip of the runner's own in between
hooks: List[dict] = []


def record(entry):
    events.append(entry)
    for hook in list(hooks):
        if matches(entry, hook["on"]):
            hooks.remove(hook)
            log(f"hook {hook['on']} fired by {entry}")
            hook["fire"]()


def add_hook(match, fire: Callable[[], None]):
    hooks.append({"on": match, "fire": fire})


def matches(e, m):
    """m: member, path, interface, arg0 (first argument), prop/value (a
    property in PropertiesChanged), iface_added/iface_removed (an interface
    name in InterfacesAdded/InterfacesRemoved), id (a call or process id),
    device_state ({property: value} of a Device1 under path_prefix, whether
    the object is new, in InterfacesAdded, or changed, in PropertiesChanged:
    BlueZ 5.82 may add the peripheral's view of the central already
    connected, where 5.66 added it and then signalled Connected)."""
    if "device_state" in m:
        return _device_state_matches(e, m)
    for key in ("member", "path", "interface", "id"):
        if key in m and e.get(key) != m[key]:
            return False
    args = e.get("args") or []
    if "arg0" in m and (not args or args[0] != m["arg0"]):
        return False
    if "path_prefix" in m and not str(e.get("path", "")).startswith(m["path_prefix"]):
        return False
    return _property_matches(e, args, m) and _interfaces_match(e, args, m)


def _property_matches(e, args, m):
    if "prop" not in m:
        return True
    if e.get("member") != "PropertiesChanged" or len(args) < 2:
        return False
    props = args[1]
    return m["prop"] in props and ("value" not in m or props[m["prop"]] == m["value"])


def _interfaces_match(e, args, m):
    if "iface_added" in m:
        if e.get("member") != "InterfacesAdded" or m["iface_added"] not in args[1]:
            return False
        if "object_prefix" in m and not args[0].startswith(m["object_prefix"]):
            return False
    if "iface_removed" in m:
        if e.get("member") != "InterfacesRemoved" or m["iface_removed"] not in args[1]:
            return False
        if "object" in m and args[0] != m["object"]:
            return False
    return True


def _device_state_matches(e, m):
    args = e.get("args") or []
    if e.get("member") == "PropertiesChanged" and len(args) >= 2 and args[0] == "org.bluez.Device1":
        path, props = str(e.get("path", "")), args[1]
    elif e.get("member") == "InterfacesAdded" and len(args) >= 2:
        path, props = str(args[0]), args[1].get("org.bluez.Device1")
        if props is None:
            return False
    else:
        return False
    if not path.startswith(m.get("path_prefix", "")):
        return False
    return all(k in props and props[k] == v for k, v in m["device_state"].items())


def since(t, m):
    return [e for e in events if e["t"] >= t and matches(e, m)]


def service_data_seen(uuid, hexvalue, t, count=1):
    """Whether BlueZ signalled this service data to hci0's clients count
    times since t, for a device it added or changed."""
    key = uuid128(uuid)
    seen = 0
    for e in events:
        if e["t"] < t:
            continue
        sd = None
        if e["member"] == "PropertiesChanged" and e["args"][0] == "org.bluez.Device1":
            path = e["path"]
            sd = e["args"][1].get("ServiceData")
        elif e["member"] == "InterfacesAdded":
            path = e["args"][0]
            sd = e["args"][1].get("org.bluez.Device1", {}).get("ServiceData")
        if sd is None or not path.startswith(CENTRAL + "/dev_"):
            continue
        if sd and sd.get(key) == hexvalue.lower():
            seen += 1
    return seen >= count
