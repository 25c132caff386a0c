"""The peripheral side of the test VM, on hci1, through BlueZ's own D-Bus API.

Commands arrive as JSON lines on stdin and each is answered with one JSON line
on stdout ({"ok": true} or {"ok": false, "error": ...}); {"event": "read"} is
written, unasked, when a read of the characteristic arrives:

  {"cmd": "gatt", "gatt": null | {"service": "180A", "characteristic": "2A25",
                                  "value_hex": "..."}}
      registers a GATT application with one primary service holding one
      readable characteristic (null: no application at all)
  {"cmd": "advertise", "adv": {"service_data": {"1523": "<hex>"},
                               "service_uuids": ["1523"]}}
      registers the advertisement the first time, and afterwards changes it in
      place through PropertiesChanged, which bluetoothd applies at once;
      "adv": null withdraws it: the peripheral falls silent
  {"cmd": "read_delay", "seconds": 20}
      answers later reads of the characteristic only after that delay
  {"cmd": "read_error", "error": "org.bluez.Error.NotPermitted"}
      answers later reads with that error, which bluetoothd turns into an
      ATT error (null: the value again)
  {"cmd": "repeat", "seconds": 1.0}
      from now on, advertises again every so often, as a radio repeats its
      advertisement: the virtual controller reports an advertiser to a
      scanner only when the scan or the advertising starts, so the
      advertisement is withdrawn and registered again (0: stop)
"""

import json
import os
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

from bluez_paths import uuid128

BLUEZ = "org.bluez"
PROPS = "org.freedesktop.DBus.Properties"
ROOT = "/org/bleprobe/e2e"
# seconds before a read is answered, to hold a reader in the middle of a read
READ_DELAY = {"s": 0.0}
# the D-Bus error that reads are answered with instead of the value
READ_ERROR = {"name": None}


def reply(**kw):
    sys.stdout.write(json.dumps(kw) + "\n")
    sys.stdout.flush()


class Advertisement(dbus.service.Object):
    IFACE = "org.bluez.LEAdvertisement1"

    def __init__(self, bus, path, adv):
        super().__init__(bus, path)
        self.adv = adv

    def props(self):
        p = {
            "Type": dbus.String("peripheral"),
            "Discoverable": dbus.Boolean(True),
            "ServiceData": dbus.Dictionary(
                {k: dbus.Array(bytes.fromhex(v), signature="y")
                 for k, v in self.adv.get("service_data", {}).items()}, signature="sv"),
        }
        if self.adv.get("service_uuids"):
            p["ServiceUUIDs"] = dbus.Array(self.adv["service_uuids"], signature="s")
        return p

    def update(self, adv):
        old = self.props()
        self.adv = adv
        new = self.props()
        changed = {k: v for k, v in new.items() if old.get(k) != v}
        removed = [k for k in old if k not in new]
        if changed or removed:
            self.PropertiesChanged(self.IFACE, changed, removed)

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != self.IFACE:
            raise dbus.exceptions.DBusException("org.freedesktop.DBus.Error.InvalidArgs",
                                                "no such interface")
        return self.props()

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.signal(PROPS, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    @dbus.service.method(IFACE, in_signature="", out_signature="")
    def Release(self):
        pass


class Application(dbus.service.Object):
    def __init__(self, bus, gatt):
        super().__init__(bus, ROOT + "/app")
        self.service_path = ROOT + "/app/service0"
        self.char_path = self.service_path + "/char0"
        self.gatt = gatt
        self.service = GattObject(bus, self.service_path, "org.bluez.GattService1", {
            "UUID": dbus.String(uuid128(gatt["service"])),
            "Primary": dbus.Boolean(True),
        })
        self.characteristic = Characteristic(bus, self.char_path, {
            "UUID": dbus.String(uuid128(gatt["characteristic"])),
            "Service": dbus.ObjectPath(self.service_path),
            "Flags": dbus.Array(["read"], signature="s"),
        }, bytes.fromhex(gatt.get("value_hex", "")))

    @dbus.service.method("org.freedesktop.DBus.ObjectManager", out_signature="a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        return {
            dbus.ObjectPath(self.service_path): {"org.bluez.GattService1": self.service.props},
            dbus.ObjectPath(self.char_path): {"org.bluez.GattCharacteristic1": self.characteristic.props},
        }


class GattObject(dbus.service.Object):
    def __init__(self, bus, path, iface, props):
        super().__init__(bus, path)
        self.iface = iface
        self.props = props

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.props if interface == self.iface else {}

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.props[name]


class Characteristic(GattObject):
    def __init__(self, bus, path, props, value):
        super().__init__(bus, path, "org.bluez.GattCharacteristic1", props)
        self.value = value
        self.reads = 0

    @dbus.service.method("org.bluez.GattCharacteristic1", in_signature="a{sv}", out_signature="ay",
                         async_callbacks=("ok", "fail"))
    def ReadValue(self, options, ok, fail):
        self.reads += 1
        sys.stderr.write(f"ReadValue #{self.reads} options={dict(options)}\n")
        reply(event="read")
        value = dbus.Array(self.value, signature="y")
        error = READ_ERROR["name"]

        def answer():
            if error:
                fail(dbus.exceptions.DBusException("refused by the e2e peripheral", name=error))
            else:
                ok(value)
            return False

        if READ_DELAY["s"] > 0:
            GLib.timeout_add(int(READ_DELAY["s"] * 1000), answer)
        else:
            answer()


class Peripheral:
    def __init__(self, adapter_path):
        self.bus = dbus.SystemBus()
        self.adapter_path = adapter_path
        self.adv = None
        self.app = None
        self.pending = None
        self.repeat = None

    def ad_manager(self):
        return dbus.Interface(self.bus.get_object(BLUEZ, self.adapter_path),
                              "org.bluez.LEAdvertisingManager1")

    def gatt_manager(self):
        return dbus.Interface(self.bus.get_object(BLUEZ, self.adapter_path),
                              "org.bluez.GattManager1")

    def handle(self, msg):
        cmd = msg.get("cmd")
        if cmd == "gatt":
            if msg.get("gatt") is None:
                reply(ok=True)
                return
            self.app = Application(self.bus, msg["gatt"])
            self.gatt_manager().RegisterApplication(
                self.app, {}, reply_handler=lambda: reply(ok=True),
                error_handler=lambda e: reply(ok=False, error=str(e)))
        elif cmd == "advertise" and msg["adv"] is None:
            self.withdraw()
        elif cmd == "advertise":
            if self.adv is None:
                self.adv = Advertisement(self.bus, ROOT + "/adv0", msg["adv"])
                self.ad_manager().RegisterAdvertisement(
                    self.adv, {}, reply_handler=lambda: reply(ok=True),
                    error_handler=lambda e: reply(ok=False, error=str(e)))
            else:
                self.adv.update(msg["adv"])
                reply(ok=True)
        elif cmd == "read_delay":
            READ_DELAY["s"] = float(msg["seconds"])
            reply(ok=True)
        elif cmd == "read_error":
            READ_ERROR["name"] = msg["error"]
            reply(ok=True)
        elif cmd == "repeat":
            if self.repeat is not None:
                GLib.source_remove(self.repeat)
                self.repeat = None
            if float(msg["seconds"]) > 0:
                self.repeat = GLib.timeout_add(int(float(msg["seconds"]) * 1000), self.readvertise)
            reply(ok=True)
        else:
            reply(ok=False, error=f"unknown command {cmd}")

    def withdraw(self):
        """No advertisement any more, nor repetitions of one."""
        adv, self.adv = self.adv, None
        if adv is None:
            reply(ok=True)
            return

        def done(*error):
            adv.remove_from_connection()
            if error:
                reply(ok=False, error=str(error[0]))
            else:
                reply(ok=True)

        self.ad_manager().UnregisterAdvertisement(adv, reply_handler=done, error_handler=done)

    def readvertise(self):
        # Failures (the adapter switched off by the scenario, say) only skip
        # one repetition.
        if self.adv is None:
            return True
        manager = self.ad_manager()

        def register():
            manager.RegisterAdvertisement(self.adv, {}, reply_handler=lambda: None,
                                          error_handler=lambda e: None)

        manager.UnregisterAdvertisement(self.adv, reply_handler=register,
                                        error_handler=lambda e: register())
        return True


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    p = Peripheral(sys.argv[1])
    loop = GLib.MainLoop()
    buf = b""

    def on_stdin(fd, cond):
        nonlocal buf
        data = os.read(fd, 65536)
        if not data:
            loop.quit()
            return False
        buf += data
        while b"\n" in buf:
            line, buf = buf.split(b"\n", 1)
            try:
                p.handle(json.loads(line))
            except Exception as e:  # reported to the runner, which fails the harness
                reply(ok=False, error=repr(e))
        return True

    GLib.io_add_watch(0, GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP, on_stdin)
    loop.run()


if __name__ == "__main__":
    main()
