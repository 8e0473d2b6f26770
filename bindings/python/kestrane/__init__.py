"""Kestrane door-lock card encoder library for Python.

    import kestrane
    with kestrane.Encoder("/path/to/config.ini") as enc:
        serial = enc.issue("guest", rooms=[101, 102], start=..., end=...)
        card = enc.read()
        enc.clear()

Card kinds, field names and record attributes are the `kestrane` tool's.
The library's quirks stay inside: every call gets private arrays, so nothing
the caller passes is changed (the exports reduce years by 2000 in place and
EncodeInit writes into its path buffer).
"""
import ctypes
import datetime as _dt
import enum
import operator
import os
from dataclasses import dataclass, field
from typing import List, Optional

from . import _native
from ._codes import RESULT_CODES, KestraneError, check, NO_RECORD

__all__ = [
    "Encoder", "CardKind", "KestraneError", "RESULT_CODES",
    "Card", "ClearedCard", "PeriodCard", "TimeCard", "GuestCard", "FloorCard", "CleanDistrictCard",
    "BuildingCard", "InstallCard", "SystemPassword", "OpenDoorRecord", "IButtonRom",
    "des_encrypt", "des_decrypt", "mifare_serial", "ibutton_rom", "set_collector_time", "set_collector_rooms",
]


class CardKind(str, enum.Enum):
    """A card kind by the tool's name; `type_code` is the code on the card."""

    def __new__(cls, name, type_code, export=None):
        obj = str.__new__(cls, name)
        obj._value_ = name
        obj.type_code = type_code
        obj.export = export
        return obj

    SYSTEM_PASSWORD = ("system-password", 1)
    TIME = ("time", 2, "MakeTimeCard")
    EMERGENCY = ("emergency", 3, "MakeEmergentCard")
    GUEST = ("guest", 4, "MakeGuestCard")
    FLOOR = ("floor", 5, "MakeFloorCard")
    CLEAN_DISTRICT = ("clean-district", 6, "MakeCleanDistrictCard")
    BUILDING = ("building", 8, "MakeBuildingCard")
    LONG_OPEN = ("long-open", 9, "MakeLongOpenCard")
    CHIEF = ("chief", 10, "MakeChiefCard")
    INSTALL = ("install", 11, "MakeInstallCard")
    LOST = ("lost", 12, "MakeLostCard")
    DATA = ("data", 14, "MakeDataCard")
    GUEST_LEAVE = ("guest-leave", 15, "MakeGuestLeaveCard")
    CLEARED = ("cleared", 20)

    @classmethod
    def from_type_code(cls, code):
        for kind in cls:
            if kind.type_code == code:
                return kind
        raise ValueError(f"no card kind has type code {code}")

    def __str__(self):
        return self.value


# ---- the card family's slots ----------------------------------------------
# Element counts of the arrays the card exports take.
_SERIAL, _LIST, _WIDE, _TIME = 8, 4, 12, 6
_FIRST_YEAR, _LAST_YEAR, _LAST_COLLECTOR_YEAR = 2000, 2255, 2099
_WIDE_MAX = 32767

# Issuing field -> (array slot, first element, entries (None: one value), lowest, highest).
_FIELDS = {
    "rooms": ("wide", 0, 4, 0, _WIDE_MAX),
    "ext_values": ("wide", 4, 4, 0, _WIDE_MAX),   # Mifare extension block
    "ext_bytes": ("wide", 8, 4, 0, 255),          # Mifare extension block
    "lock": ("wide", 8, None, 1, 32),              # install: lock number in the first extension byte
    "room": ("wide", 0, None, 0, _WIDE_MAX),
    "values": ("wide", 0, 4, 0, 255),              # lost card, with a lost type above 15
    "number": ("number", 0, None, 0, 255),
    "floors": ("list_a", 0, 4, 0, 255),
    "buildings": ("list_a", 0, 4, 0, 255),
    "list_a": ("list_a", 0, None, 0, 255),
    "districts": ("list_b", 0, 4, 0, 255),
    "list_b": ("list_b", 0, None, 0, 255),
    "list_c": ("list_c", 0, 4, 0, 255),
    "lost_type": ("type_code", 0, None, 0, 255),
}
_PERIOD = ("start", "end", "option")

# Kind -> (fields it takes, fields it needs).
_ISSUING = {
    CardKind.GUEST: (_PERIOD + ("rooms", "ext_values", "ext_bytes"), ("rooms",)),
    CardKind.TIME: (("time", "option"), ()),
    CardKind.EMERGENCY: (_PERIOD, ()),
    CardKind.FLOOR: (_PERIOD + ("number", "floors", "list_c", "ext_bytes"), ("floors",)),
    CardKind.CLEAN_DISTRICT: (_PERIOD + ("districts", "list_c", "ext_bytes"), ("districts",)),
    CardKind.BUILDING: (_PERIOD + ("buildings", "list_c", "ext_values", "ext_bytes"), ("buildings",)),
    CardKind.LONG_OPEN: (_PERIOD + ("ext_bytes",), ()),
    CardKind.CHIEF: (_PERIOD, ()),
    CardKind.INSTALL: (_PERIOD + ("number", "room", "list_a", "list_b", "lock", "ext_bytes"), ()),
    CardKind.LOST: (_PERIOD + ("lost_type", "values"), ()),
    CardKind.DATA: (_PERIOD, ()),
    CardKind.GUEST_LEAVE: (_PERIOD, ()),
}
# The building card keeps its list C as packed decimal.
_LIMIT_OVERRIDES = {(CardKind.BUILDING, "list_c"): 99}


def _array(n, values=()):
    a = (ctypes.c_int16 * n)()
    for i, v in enumerate(values):
        a[i] = v
    return a


def _hex(values):
    return bytes(v & 0xFF for v in values).hex().upper()


def _time_fields(t, seconds):
    fields = [t.year, t.month, t.day, t.hour, t.minute]
    return fields + [t.second] if seconds else fields


def _datetime(values, seconds=False):
    """A time the card or a lock wrote; None when it names no real date."""
    try:
        return _dt.datetime(*[int(v) for v in values[:6 if seconds else 5]])
    except ValueError:
        return None


def _check_year(name, t, last=_LAST_YEAR):
    if not isinstance(t, _dt.datetime):
        raise TypeError(f"{name}: a datetime.datetime is needed, not {type(t).__name__}")
    if not _FIRST_YEAR <= t.year <= last:
        raise ValueError(f"{name}: the year must be {_FIRST_YEAR} to {last} (cards keep it as one byte)")
    return t


def _integer(name, value, lo, hi):
    try:
        v = operator.index(value)
    except TypeError:
        raise TypeError(f"{name}: an integer is needed, not {type(value).__name__}") from None
    if not lo <= v <= hi:
        raise ValueError(f"{name}: {v} is outside {lo}-{hi}")
    return v


class _CardArgs:
    """The eleven arguments of a card export, private to one call."""

    def __init__(self):
        self.serial = _array(_SERIAL)
        self.number = 0
        self.list_a, self.list_b, self.list_c = _array(_LIST), _array(_LIST), _array(_LIST)
        self.wide = _array(_WIDE)
        self.option = 0
        self.type_code = _array(1)
        self.start, self.end = _array(_TIME), _array(_TIME)

    def put(self, name, value, kind):
        slot, first, entries, lo, hi = _FIELDS[name]
        hi = _LIMIT_OVERRIDES.get((kind, name), hi)
        if entries is None:
            v = _integer(name, value, lo, hi)
            if slot == "number":
                self.number = v
            else:
                getattr(self, slot)[first] = v
            return
        if isinstance(value, (str, bytes)) or not hasattr(value, "__iter__"):
            raise TypeError(f"{name}: a list of up to {entries} integers is needed")
        values = [_integer(name, v, lo, hi) for v in value]
        if len(values) > entries:
            raise ValueError(f"{name}: at most {entries} values, not {len(values)}")
        for i, v in enumerate(values):
            getattr(self, slot)[first + i] = v


def _build_issue(kind, fields):
    fields = {name: v for name, v in fields.items() if v is not None}  # None: not given
    takes, needs = _ISSUING[kind]
    for name in fields:
        if name not in takes:
            raise TypeError(f"a {kind} card takes no field {name!r} (it takes {', '.join(takes)})")
    for name in needs:
        if not fields.get(name):
            raise ValueError(f"{name}: a {kind} card needs at least one")
    if "lock" in fields and "ext_bytes" in fields:
        raise ValueError("lock: give either lock or ext_bytes, not both")
    if "values" in fields and fields.get("lost_type", 0) <= 15:
        raise ValueError("values: the card carries them only with a lost_type above 15")
    a = _CardArgs()
    a.option = 1 if fields.get("option") else 0
    if kind is CardKind.TIME:
        t = _check_year("time", fields.get("time") or _dt.datetime.now())
        a.start = _array(_TIME, _time_fields(t, seconds=True))
    else:
        start = _check_year("start", fields.get("start") or _dt.datetime.now()).replace(second=0, microsecond=0)
        end = _check_year("end", fields.get("end") or start + _dt.timedelta(days=1)).replace(second=0, microsecond=0)
        if end < start:
            raise ValueError(f"end: {end:%Y-%m-%d %H:%M} is before the start {start:%Y-%m-%d %H:%M}")
        a.start = _array(_TIME, _time_fields(start, seconds=False))
        a.end = _array(_TIME, _time_fields(end, seconds=False))
    for name, value in fields.items():
        if name in _FIELDS:
            a.put(name, value, kind)
    return a


# ---- records --------------------------------------------------------------

@dataclass
class Card:
    """A card as ReadCard decodes it. Attributes are the tool's JSON keys."""
    kind: CardKind
    type_code: int
    serial: str


@dataclass
class ClearedCard(Card):
    """A cleared card: ready to be issued."""


@dataclass
class TimeCard(Card):
    time: Optional[_dt.datetime]
    option: bool
    ext_bytes: List[int]


@dataclass
class PeriodCard(Card):
    """Every card valid from `start` to `end` (emergency, long-open, chief,
    lost, data, guest-leave, system-password, and the kinds below)."""
    start: Optional[_dt.datetime]
    end: Optional[_dt.datetime]
    option: bool
    ext_bytes: List[int]


@dataclass
class GuestCard(PeriodCard):
    rooms: List[int] = field(default_factory=list)
    ext_values: List[int] = field(default_factory=list)


@dataclass
class FloorCard(PeriodCard):
    number: int = 0
    floors: List[int] = field(default_factory=list)


@dataclass
class CleanDistrictCard(PeriodCard):
    districts: List[int] = field(default_factory=list)


@dataclass
class BuildingCard(PeriodCard):
    buildings: List[int] = field(default_factory=list)


@dataclass
class InstallCard(PeriodCard):
    number: int = 0
    room: int = 0
    list_a: int = 0
    list_b: int = 0


@dataclass
class SystemPassword:
    """`pass_` is the password as `[SystemInfo] Pass` writes it (the tool's `pass`)."""
    pass_: str
    password_bytes: List[int]
    extra_byte: int


@dataclass
class OpenDoorRecord:
    """One open-door record. `time` is None when the lock wrote a date that
    does not exist (`raw_time` keeps the five values)."""
    n: int
    kind: int
    time: Optional[_dt.datetime]
    card: str
    header: int
    header_list: List[int]
    raw_time: List[int]


@dataclass
class IButtonRom:
    rom_id: str
    family: int
    serial: str
    crc: int


def _decode(serial, number, list_a, list_b, wide, option, type_code, start, end):
    kind = CardKind.from_type_code(type_code[0])
    head = dict(kind=kind, type_code=kind.type_code, serial=_hex(serial[:4]))
    if kind is CardKind.CLEARED:
        return ClearedCard(**head)
    ext_bytes = list(wide[8:12])
    if kind is CardKind.TIME:
        return TimeCard(**head, time=_datetime(start, seconds=True), option=bool(option[0]), ext_bytes=ext_bytes)
    period = dict(head, start=_datetime(start), end=_datetime(end), option=bool(option[0]), ext_bytes=ext_bytes)
    if kind is CardKind.GUEST:
        return GuestCard(**period, rooms=list(wide[0:4]), ext_values=list(wide[4:8]))
    if kind is CardKind.FLOOR:
        return FloorCard(**period, number=number[0], floors=list(list_a))
    if kind is CardKind.CLEAN_DISTRICT:
        return CleanDistrictCard(**period, districts=list(list_b))
    if kind is CardKind.BUILDING:
        return BuildingCard(**period, buildings=list(list_a))
    if kind is CardKind.INSTALL:
        return InstallCard(**period, number=number[0], room=wide[0], list_a=list_a[0], list_b=list_b[0])
    return PeriodCard(**period)


def _call(name, *args):
    with _native.call_lock:
        result = getattr(_native.library(), name)(*args)
    check(name, result)


# ---- the encoder ----------------------------------------------------------

# EncodeInit reads a buffer of 255 bytes and writes the chosen port into byte 1.
_PATH_BUFFER = 255
_PORT_BYTE = 1
# The open-door area has 200 slots: more answers than that mean a library fault.
_MAX_RECORDS = 200


class Encoder:
    """The encoder configured in an INI file (`[Config] CommProt, LockType,
    Sector`, `[SystemInfo] Pass`). `port` is the COM port EncodeInit chose.
    `devices` chooses the device library as the tool's --devices does:
    "bench" (virtual devices) or "pcsc" (PC/SC readers); the `devices`
    property says which one the library is bound to.
    One encoder at a time: the library keeps a single encoder state. A newer
    Encoder replaces an older one, which is closed from then on (closing or
    dropping it leaves the newer one's state alone)."""

    def __init__(self, config, devices=None):
        self._open = False
        self.config, self.port = os.fspath(config), None
        # The library opens the file with the system's narrow-character calls:
        # the ANSI code page on Windows.
        path = os.fspath(config).encode("mbcs") if _native.WINDOWS else os.fsencode(config)
        if len(path) >= _PATH_BUFFER:
            raise ValueError(f"config: the path is {len(path)} bytes long, at most {_PATH_BUFFER - 1} are accepted")
        buffer = ctypes.create_string_buffer(path, _PATH_BUFFER)
        with _native.call_lock:
            lib = _native.library(devices)
            result = lib.EncodeInit(buffer)
            # Whatever it answered, EncodeInit replaced the state any
            # earlier encoder held.
            _native.current_encoder = self
        self.port = buffer.raw[_PORT_BYTE]
        check("EncodeInit", result)
        self._open = True

    @property
    def devices(self):
        """The device library the library's vendor calls go to: "bench",
        "pcsc", "vendor" (Windows: the vendor's DLLs), or None where this
        process cannot tell (the 64-bit bridge's host binds them)."""
        return _native.bound_devices

    def _current(self):
        return self._open and _native.current_encoder is self

    def __repr__(self):
        state = "open" if self._current() else "closed"
        return f"<kestrane.Encoder {self.config!r} port={self.port} devices={self.devices!r} {state}>"

    def close(self):
        """EncodeExit, when this encoder still holds the library's state. A
        second close does nothing."""
        with _native.call_lock:
            if self._current():
                _native.current_encoder = None
                _native.library().EncodeExit()
            self._open = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:  # at interpreter exit the library may be gone already
            pass

    def _require_open(self):
        if not self._open:
            raise ValueError("the encoder is closed")
        if _native.current_encoder is not self:
            raise ValueError("the encoder was replaced by a newer Encoder (the library keeps one encoder state)")

    def issue(self, kind, **fields):
        """Issues a card of `kind` (a CardKind or the tool's name) on the card
        in the encoder; returns its serial (4 bytes as hex). Fields are the
        tool's: start, end (datetime), option, rooms, ext_values, ext_bytes,
        number, floors, districts, buildings, list_c, room, list_a, list_b,
        lock, lost_type, values; a time card takes `time` (with seconds)."""
        self._require_open()
        kind = CardKind(kind)
        if kind not in _ISSUING:
            raise ValueError(f"{kind} cards are not issued")
        a = _build_issue(kind, fields)
        _call(kind.export, a.serial, 0, a.number, a.list_a, a.list_b, a.wide, a.option, a.type_code,
              a.list_c, a.start, a.end)
        return _hex(a.serial[:4])

    def read(self):
        """Reads the card in the encoder: a ClearedCard, TimeCard, GuestCard,
        FloorCard, ... by its kind."""
        self._require_open()
        serial, wide = _array(_SERIAL), _array(_WIDE)
        number, option, type_code = _array(1), _array(1), _array(1)
        list_a, list_b, list_c = _array(_LIST), _array(_LIST), _array(_LIST)
        start, end = _array(_TIME), _array(_TIME)
        _call("ReadCard", serial, 0, number, list_a, list_b, wide, option, type_code, list_c, start, end)
        return _decode(serial, number, list_a, list_b, wide, option, type_code, start, end)

    def clear(self):
        """Clears the card in the encoder; returns its serial, or None where
        the driver reports none (TEMIC)."""
        self._require_open()
        untouched = -1
        serial = _array(_SERIAL, [untouched] * _SERIAL)
        _call("ClearCardData", serial)
        return None if all(v == untouched for v in serial[:4]) else _hex(serial[:4])

    def system_password(self):
        """Reads a system password card."""
        self._require_open()
        out = _array(5)
        _call("ReadSystemPas", out)
        # The INI's Pass lists the password bytes from last to first.
        return SystemPassword(pass_=_hex(reversed(out[:4])), password_bytes=list(out[:4]), extra_byte=out[4])

    def collect(self):
        """Fetches the open-door log (the hand-held collector first, else the
        configured data card) and returns every record in it. When a record
        call fails, the KestraneError carries the records already taken in
        `records`: the library hands each over once."""
        self._require_open()
        _call("ReadDataCard", 0)
        records = []
        lib = _native.library()
        for n in range(1, _MAX_RECORDS + 1):
            head, kind, unused = _array(1), _array(1), _array(8)
            header_list, time, card = _array(6), _array(5), _array(4)
            with _native.call_lock:
                result = lib.ReadOneOpenDoorRecord(head, unused, unused, unused, header_list, kind, time, card)
            if result == NO_RECORD:
                break
            try:
                check("ReadOneOpenDoorRecord", result)
            except KestraneError as e:
                e.records = records
                raise
            records.append(OpenDoorRecord(n=n, kind=kind[0], time=_datetime(time), card=_hex(card),
                                          header=head[0], header_list=list(header_list[:2]),
                                          raw_time=list(time)))
        return records


# ---- calls that need no encoder -------------------------------------------

_DES_MAX = 255


def _des(data, mode):
    data = bytes(data)
    if len(data) > _DES_MAX:
        raise ValueError(f"data: at most {_DES_MAX} bytes, not {len(data)}")
    values = _array(max(len(data), 1), data)
    _call("Des2", values, len(data), mode)
    return bytes(v & 0xFF for v in values[:len(data)])


def des_encrypt(data):
    """Des2 with the library's fixed key, enciphering. Whole 8-byte blocks
    round-trip; a shorter last block comes back cut, so it cannot be
    deciphered again."""
    return _des(data, 0)


def des_decrypt(data):
    """Des2 with the library's fixed key, deciphering."""
    return _des(data, 1)


def mifare_serial(port):
    """Serial of the Mifare card on the reader at COM `port` (4 bytes as hex,
    least significant first)."""
    values = _array(8, [_integer("port", port, 1, 255)])
    _call("M1_ReadSn", values)
    return _hex(values[:4])


def ibutton_rom(port):
    """ROM ID of the iButton at TMEX `port`."""
    values = _array(8, [_integer("port", port, 0, 15)])
    _call("TM_ReadSn", values)
    return IButtonRom(rom_id=_hex(values), family=values[0], serial=_hex(values[1:7]), crc=values[7])


def set_collector_time(when):
    """Sets the hand-held collector's clock (years 2000 to 2099: it keeps two
    decimal digits)."""
    t = _check_year("when", when, _LAST_COLLECTOR_YEAR)
    _call("PDA_SetTime", _array(6, _time_fields(t, seconds=True)))


def set_collector_rooms(values):
    """Hands the collector its room number: up to ten bytes, the rest zero."""
    values = [_integer("values", v, 0, 255) for v in values]
    if len(values) > 10:
        raise ValueError(f"values: at most 10, not {len(values)}")
    _call("PDA_SetRoomNumber", _array(10, values))
