"""Between plain Python values and dbus-python's typed ones: the types
bluetoothd gives its properties, and the plain JSON form of what arrives."""

from typing import Any, Dict, Mapping, Optional

import dbus

# The D-Bus type of each property the model sets itself.  A value that
# arrives typed (from the control interface) keeps its type, right or wrong.
SIGNATURES = {
    'Address': 's', 'AddressType': 's', 'Name': 's', 'Alias': 's', 'Class': 'u',
    'Powered': 'b', 'Discoverable': 'b', 'DiscoverableTimeout': 'u', 'Pairable': 'b',
    'PairableTimeout': 'u', 'Discovering': 'b', 'UUIDs': 'as', 'Modalias': 's', 'Roles': 'as',
    'ActiveInstances': 'y', 'SupportedInstances': 'y', 'SupportedIncludes': 'as',
    'Paired': 'b', 'Bonded': 'b', 'Trusted': 'b', 'Blocked': 'b', 'LegacyPairing': 'b',
    'RSSI': 'n', 'Connected': 'b', 'Adapter': 'o', 'ServicesResolved': 'b',
    'UUID': 's', 'Device': 'o', 'Primary': 'b', 'Includes': 'ao', 'Service': 'o', 'Flags': 'as',
}
SCALARS = {'s': dbus.String, 'b': dbus.Boolean, 'u': dbus.UInt32, 'y': dbus.Byte,
           'n': dbus.Int16, 'o': dbus.ObjectPath, 'd': dbus.Double}
# The plain values that each of them takes.
FITS: Dict[str, Any] = {'s': str, 'o': str, 'b': bool, 'u': int, 'y': int, 'n': int, 'd': (int, float)}


def byte_array(data: Any) -> dbus.Array:
    return dbus.Array([dbus.Byte(b) for b in bytes(data)], signature='y')


def service_data(entries: Any) -> dbus.Dictionary:
    """ServiceData as bluetoothd sends it: a{sv} with each value an ay."""
    return dbus.Dictionary({dbus.String(k): to_dbus(k, v, 'ay') for k, v in entries.items()},
                           signature='sv')


def typed(value: Any) -> bool:
    return hasattr(value, 'variant_level')


def fits(signature: str, value: Any) -> bool:
    return isinstance(value, FITS[signature]) and (signature == 'b' or not isinstance(value, bool))


def to_dbus(name: str, value: Any, signature: Optional[str] = None) -> Any:
    """The property or option `name` as bluetoothd or the control interface
    types it (signature, when given, else the property's own).  A value that
    does not fit goes as it is, for the other side to refuse."""
    if typed(value):
        return value
    if name == 'ServiceData' and isinstance(value, Mapping):
        return service_data(value)
    signature = signature or SIGNATURES.get(name)
    try:
        if signature in SCALARS and fits(signature, value):
            return SCALARS[signature](value)
        if signature == 'ay' and isinstance(value, (bytes, bytearray, list, tuple)):
            return byte_array(value)
        if (signature in ('as', 'ao', 'au') and isinstance(value, (list, tuple))
                and all(fits(signature[1], v) for v in value)):
            return dbus.Array([SCALARS[signature[1]](v) for v in value], signature=signature[1])
    except (TypeError, ValueError, OverflowError):
        return value
    if isinstance(value, bool):
        return dbus.Boolean(value)
    if isinstance(value, (bytes, bytearray)):
        return byte_array(value)
    return value


def properties(props: Dict[str, Any]) -> dbus.Dictionary:
    return dbus.Dictionary({k: to_dbus(k, v) for k, v in props.items()}, signature='sv')


def to_json(value: Any) -> Any:
    """Plain JSON form of an unmarshalled D-Bus value (for the call log)."""
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.Array, list)):
        if isinstance(value, dbus.Array) and value.signature == 'y':
            return [int(b) for b in value]
        return [to_json(v) for v in value]
    if isinstance(value, dbus.ByteArray):
        return list(bytes(value))
    if isinstance(value, (dbus.Dictionary, dict)):
        return {str(k): to_json(v) for k, v in value.items()}
    if isinstance(value, (dbus.Struct, tuple)):
        return [to_json(v) for v in value]
    if isinstance(value, (dbus.Double, float)):
        return float(value)
    if isinstance(value, int):
        return int(value)
    return str(value)


def unwrap_variant(value: Any) -> Any:
    """A copy of an unmarshalled variant's content at variant level 0, so
    that dbus-python marshals it as its own type instead of as a variant.
    Members of containers keep their level: an a{sv} value is a variant."""
    if isinstance(value, (dbus.Array, dbus.Dictionary, dbus.Struct)):
        return type(value)(value, signature=value.signature)
    for kind in (dbus.Boolean, dbus.Byte, dbus.Int16, dbus.UInt16, dbus.Int32, dbus.UInt32,
                 dbus.Int64, dbus.UInt64, dbus.Double, dbus.ObjectPath, dbus.Signature,
                 dbus.String):
        if isinstance(value, kind):
            return kind(value)
    return value
