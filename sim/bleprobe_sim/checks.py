"""What the control interface takes: the checks of its arguments, each with
its D-Bus type and the words that document it, and the four errors it
refuses with.  Plain Python: the model's Controller checks with them, and
the client types its values by them, without D-Bus here."""

import re
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence

from .names import CONTROL_ERROR, UUID

# The longest delay or interval the simulation plays: a week, well inside
# what a GLib timeout can count in milliseconds.
MAX_SECONDS = 7 * 24 * 3600.0
ERROR_NAME = re.compile(r'^[A-Za-z_][A-Za-z0-9_]*(\.[A-Za-z_][A-Za-z0-9_]*)+$')


class ControlError(Exception):
    """A refusal; its D-Bus name ends in its class name, its docstring says
    when it is answered (the documents print it)."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.name = CONTROL_ERROR + type(self).__name__


class UnknownObject(ControlError):
    """the path names no such adapter, device, service or object"""


class Exists(ControlError):
    """the object to be added is there already"""


class InvalidArguments(ControlError):
    """an argument or option is unknown, of the wrong type or out of range"""


class NotSupported(ControlError):
    """something the simulation does not do"""


ERRORS = (UnknownObject, Exists, InvalidArguments, NotSupported)


def is_bool(value: Any) -> bool:
    # dbus.Boolean is an int, not a bool.
    return isinstance(value, bool) or (isinstance(value, int)
                                       and type(value).__name__ == 'Boolean')


class Check:
    """Takes one argument or option: returns its value, checked, or raises
    InvalidArguments naming it.  signature is its D-Bus type."""

    signature = ''

    def __call__(self, key: str, value: Any) -> Any:
        return value

    def describe(self) -> str:
        """Its type and range, as the documents say them."""
        return self.signature


class Seconds(Check):
    signature = 'd'

    def __init__(self, low: float = 0.0) -> None:
        self.low = low

    def __call__(self, key: str, value: Any) -> float:
        # NaN and the infinities fall outside any range.
        if (is_bool(value) or not isinstance(value, (int, float))
                or not self.low <= value <= MAX_SECONDS):
            raise InvalidArguments('%s: a number of seconds from %g to %g'
                                   % (key, self.low, MAX_SECONDS))
        return float(value)

    def describe(self) -> str:
        # The documents give the common range once: 0, or -MAX for "never".
        return 'd' if self.low in (0.0, -MAX_SECONDS) else 'd, from %g' % self.low


class Text(Check):
    def __init__(self, pattern: Optional['re.Pattern[str]'] = None, what: str = '',
                 signature: str = 's') -> None:
        self.pattern = pattern
        self.what = what
        self.signature = signature

    def __call__(self, key: str, value: Any) -> str:
        if not isinstance(value, str) or (self.pattern is not None
                                          and not self.pattern.match(value)):
            raise InvalidArguments('%s: %r is not %s' % (key, value, self.what or 'text'))
        return str(value)

    def describe(self) -> str:
        return '%s, %s' % (self.signature, self.what) if self.what else self.signature


class Choice(Check):
    """One of choices; refuse names the error for anything else, and
    unsupported lists values that are NotSupported rather than invalid."""

    signature = 's'

    def __init__(self, choices: Sequence[str], refuse: type = InvalidArguments,
                 unsupported: Sequence[str] = ()) -> None:
        self.choices = choices
        self.refuse = refuse
        self.unsupported = unsupported

    def __call__(self, key: str, value: Any) -> str:
        if value in self.unsupported:
            raise NotSupported('%s: %s' % (key, value))
        if value not in self.choices:
            raise self.refuse('%s: %r is none of %s' % (key, value, ', '.join(self.choices)))
        return str(value)

    def describe(self) -> str:
        return 's: ' + ', '.join('`%s`' % c for c in self.choices)


class Boolean(Check):
    signature = 'b'

    def __call__(self, key: str, value: Any) -> bool:
        if not is_bool(value):
            raise InvalidArguments('%s: not a boolean' % key)
        return bool(value)


class Octets(Check):
    signature = 'ay'

    def __call__(self, key: str, value: Any) -> bytes:
        try:
            if isinstance(value, (bytes, bytearray)) or all(
                    isinstance(b, int) and not is_bool(b) for b in value):
                return bytes(value)
        except (TypeError, ValueError):
            pass
        raise InvalidArguments('%s: not bytes' % key)


class Texts(Check):
    signature = 'as'

    def __call__(self, key: str, value: Any) -> List[str]:
        if not isinstance(value, (list, tuple)) or not all(isinstance(v, str) for v in value):
            raise InvalidArguments('%s: not a list of text' % key)
        return [str(v) for v in value]


class Counts(Check):
    """Whole numbers from 1."""

    signature = 'au'

    def __call__(self, key: str, value: Any) -> List[int]:
        if not isinstance(value, (list, tuple)) or not all(
                isinstance(v, int) and not is_bool(v) and v >= 1 for v in value):
            raise InvalidArguments('%s: not a list of numbers from 1' % key)
        return [int(v) for v in value]

    def describe(self) -> str:
        return 'au, from 1'


class Number(Check):
    """A whole number from 1."""

    signature = 'u'

    def __call__(self, key: str, value: Any) -> int:
        if is_bool(value) or not isinstance(value, int) or not 1 <= value <= 0xFFFFFFFF:
            raise InvalidArguments('%s: not a whole number from 1' % key)
        return int(value)

    def describe(self) -> str:
        return 'u, from 1'


class Variants(Check):
    signature = 'av'

    def __call__(self, key: str, value: Any) -> List[Any]:
        if not isinstance(value, (list, tuple)):
            raise InvalidArguments('%s: not a list' % key)
        return list(value)


class Dictionary(Check):
    """a{sv} with text keys."""

    signature = 'a{sv}'

    def __call__(self, key: str, value: Any) -> Dict[str, Any]:
        if not isinstance(value, Mapping):
            raise InvalidArguments('%s: not a dictionary' % key)
        return {str(k): v for k, v in value.items()}

    def entry_signature(self, key: str) -> Optional[str]:
        """The D-Bus type of the entry `key`, where the table gives it."""
        return None


UUID_TEXT = Text(UUID, 'a 128-bit UUID')


class ServiceData(Dictionary):
    """Each key a 128-bit UUID as text, each value ay."""

    def __call__(self, key: str, value: Any) -> Dict[str, bytes]:
        return {UUID_TEXT('%s key' % key, k): Octets()('%s[%s]' % (key, k), v)
                for k, v in super().__call__(key, value).items()}

    def entry_signature(self, key: str) -> Optional[str]:
        return 'ay'


class Key:
    """One option of an a{sv} argument; note says what it does."""

    def __init__(self, name: str, check: Check, note: str = '') -> None:
        self.name = name
        self.check = check
        self.note = note


class Options(Dictionary):
    """Options by name, each checked; others (what the documents call the
    rest) lets any other option through as it is, else it is refused.
    needs: option -> the option it needs beside it when not empty."""

    def __init__(self, keys: Iterable[Key], others: str = '',
                 needs: Optional[Dict[str, str]] = None) -> None:
        self.keys = {k.name: k for k in keys}
        self.others = others
        self.needs = needs or {}

    def __call__(self, key: str, value: Any) -> Dict[str, Any]:
        given = super().__call__(key, value)
        unknown = sorted(set(given) - set(self.keys))
        if unknown and not self.others:
            raise InvalidArguments('%s: unknown %s' % (key, ', '.join(unknown)))
        for option, other in self.needs.items():
            if given.get(option) and other not in given:
                raise InvalidArguments('%s: %s needs %s' % (key, option, other))
        return {k: self.keys[k].check(k, v) if k in self.keys else v for k, v in given.items()}

    def entry_signature(self, key: str) -> Optional[str]:
        return self.keys[key].check.signature if key in self.keys else None


class Path(Check):
    """An object path that names an object of the model: the Controller is
    handed the object that find(world, path) gives, and UnknownObject is
    answered when it gives None.  in_range: it may be a peripheral that
    BlueZ does not list yet, or belong to one."""

    signature = 'o'

    def __init__(self, what: str, find: Callable[[Any, str], Any], in_range: bool = False) -> None:
        self.what = what
        self.find = find
        self.in_range = in_range

    def look_up(self, world: Any, key: str, value: Any) -> Any:
        found = self.find(world, str(value))
        if found is None:
            raise UnknownObject('%s: no %s %s' % (key, self.what, value))
        return found
