"""The Python binding against libkestrane.so and a bench folder."""
import copy
import json
import subprocess
import sys
from datetime import datetime

import pytest

import kestrane
import rig
from conftest import COLLECTOR_RECORDS

START, END = datetime(2026, 3, 1, 14, 0), datetime(2026, 3, 3, 12, 0)
PERIOD = dict(start=START, end=END)

# Every kind the encoder issues, with fields of its own.
ISSUES = [
    ("guest", dict(PERIOD, rooms=[101, 102], ext_values=[7, 32767], ext_bytes=[1, 2, 3, 255], option=True)),
    ("time", dict(time=datetime(2026, 3, 1, 9, 30, 45))),
    ("emergency", dict(PERIOD)),
    ("floor", dict(PERIOD, number=9, floors=[1, 2, 3], list_c=[4], ext_bytes=[5])),
    ("clean-district", dict(PERIOD, districts=[8, 9], list_c=[1, 2, 3, 4])),
    ("building", dict(PERIOD, buildings=[2], list_c=[99, 12], ext_values=[300])),
    ("long-open", dict(PERIOD, ext_bytes=[9, 8])),
    ("chief", dict(PERIOD, option=True)),
    ("install", dict(PERIOD, number=3, room=305, list_a=6, list_b=7)),
    ("lost", dict(PERIOD, lost_type=20, values=[1, 2, 3, 4])),
    ("data", dict(PERIOD)),
    ("guest-leave", dict(PERIOD)),
]


def padded(value):
    return value + [0] * (4 - len(value)) if isinstance(value, list) else value


@pytest.mark.parametrize("kind,fields", ISSUES, ids=[k for k, _ in ISSUES])
def test_every_kind_reads_back_as_issued_and_clears(encoder, kind, fields):
    before = copy.deepcopy(fields)
    serial = encoder.issue(kind, **fields)
    assert fields == before  # nothing the caller passed was changed
    card = encoder.read()
    assert (card.kind, card.type_code, card.serial) == (kind, kestrane.CardKind(kind).type_code, serial)
    # Every issued field the card carries back (list_c, lost values and
    # building extension values are not returned by the library).
    carried = {name: padded(v) for name, v in fields.items() if hasattr(card, name)}
    assert {name: getattr(card, name) for name in carried} == carried
    assert encoder.clear() == serial
    assert isinstance(encoder.read(), kestrane.ClearedCard)


def test_a_card_not_cleared_is_refused_with_its_code(encoder):
    encoder.issue("chief", **PERIOD)
    with pytest.raises(kestrane.KestraneError) as failure:
        encoder.issue(kestrane.CardKind.GUEST, rooms=[1], **PERIOD)
    e = failure.value
    assert (e.code, e.name, e.function) == (-13, "KS_ERR_NOT_CLEARED", "MakeGuestCard")
    assert e.meaning == kestrane.RESULT_CODES[-13][1] and "0xFFF3" in str(e)
    encoder.clear()


@pytest.mark.parametrize("kind,fields,complaint", [
    ("guest", dict(PERIOD), "rooms"),
    ("guest", dict(PERIOD, rooms=[1, 2, 3, 4, 5]), "rooms"),
    ("guest", dict(PERIOD, rooms=[40000]), "rooms"),
    ("chief", dict(start=END, end=START), "end"),
    ("chief", dict(start=datetime(1999, 1, 1)), "start"),
    ("chief", dict(PERIOD, rooms=[1]), "rooms"),
    ("lost", dict(PERIOD, values=[1]), "values"),
    ("building", dict(PERIOD, buildings=[1], list_c=[100]), "list_c"),
])
def test_bad_fields_are_refused_before_the_library_runs(encoder, kind, fields, complaint):
    with pytest.raises((ValueError, TypeError), match=complaint):
        encoder.issue(kind, **fields)
    assert isinstance(encoder.read(), kestrane.ClearedCard)


def test_collect_returns_the_collectors_log(encoder):
    records = encoder.collect()
    assert [(r.kind, "%04d-%02d-%02d %02d:%02d" % tuple(r.raw_time), r.card) for r in records] == COLLECTOR_RECORDS
    assert [r.time and f"{r.time:%Y-%m-%d %H:%M}" for r in records] == [
        when if rig.real_date(when) else None for _, when, _ in COLLECTOR_RECORDS]
    assert [r.n for r in records] == [1, 2, 3]


def test_serials_match_the_tools(encoder, bench):
    serial = encoder.issue("guest", rooms=[1], **PERIOD)
    encoder.clear()
    assert kestrane.mifare_serial(3) == serial == rig.tool("serial", "mifare", "--port", "3", bench=bench)["serial"]
    rom = rig.tool("serial", "ibutton", "--port", "1", bench=bench)
    ours = kestrane.ibutton_rom(1)
    assert (ours.rom_id, ours.family, ours.serial, ours.crc) == (rom["rom_id"], rom["family"], rom["serial"], rom["crc"])


@pytest.mark.parametrize("data,result", rig.des2_vectors())
def test_des_known_answers(data, result):
    assert kestrane.des_encrypt(data) == result
    if len(data) % 8 == 0:
        assert kestrane.des_decrypt(result) == data


def test_collector_takes_time_and_rooms(bench):
    kestrane.set_collector_time(datetime(2026, 4, 5, 6, 7, 8))
    kestrane.set_collector_rooms([1, 0, 1])
    shown = rig.tool("bench", "collector", "show", bench=bench)
    assert (shown["clock"], shown["room"]) == ("2026-04-05 06:07:08", "01 00 01 00 00 00 00 00 00 00")


def in_own_process(code, folder):
    """Runs `code` with the bench folder's config.ini as argv[1]: a process
    loads one bench folder, so another card or medium needs another process."""
    env = dict(rig.os.environ, KESTRANE_BENCH=str(folder), PYTHONPATH=str(rig.REPO / "bindings/python"))
    return subprocess.run([sys.executable, "-c", code, str(folder / "config.ini")], check=True, text=True,
                          capture_output=True, env=env).stdout


def test_system_password_card(tmp_path):
    # Another card in the encoder: another bench, so another process.
    folder = rig.make_bench(tmp_path / "pw")
    rig.tool("bench", "card", "new", "--system-password", "--insert", bench=folder)
    out = in_own_process("import kestrane, sys; enc = kestrane.Encoder(sys.argv[1]); p = enc.system_password(); "
                         "print(p.pass_, p.password_bytes)", folder)
    pass_ = rig.tool("bench", "show", bench=folder)["pass"]
    assert out.split()[0] == pass_


@pytest.mark.parametrize("medium", ["ic", "temic"])
def test_other_media_issue_read_and_clear(tmp_path, medium):
    # Each medium is a bench of its own, so a process of its own.
    folder = tmp_path / medium
    rig.tool("bench", "init", "--medium", medium, str(folder))
    code = ("import json, sys, datetime as d, kestrane\n"
            "with kestrane.Encoder(sys.argv[1]) as enc:\n"
            "    serial = enc.issue('guest', rooms=[101, 102], start=d.datetime(2026, 3, 1, 14), end=d.datetime(2026, 3, 3, 12))\n"
            "    card = enc.read()\n"
            "    print(json.dumps([serial, card.serial, card.rooms, enc.clear()]))\n")
    issued, read, rooms, cleared = json.loads(in_own_process(code, folder))
    after = rig.tool("read", bench=folder)
    assert (after["kind"], issued, read, rooms) == ("cleared", after["serial"], after["serial"], [101, 102, 0, 0])
    # The TEMIC driver reports no serial when clearing.
    assert cleared == (None if medium == "temic" else issued)


def test_a_replaced_encoder_leaves_the_newer_ones_state_alone(tmp_path):
    # A contact encoder, whose port EncodeExit closes: a process of its own.
    folder = tmp_path / "ic"
    rig.tool("bench", "init", "--medium", "ic", str(folder))
    code = ("import sys, kestrane\n"
            "enc = kestrane.Encoder(sys.argv[1])\n"
            "older = enc\n"
            "enc = kestrane.Encoder(sys.argv[1])\n"
            "older.close()\n"
            "del older\n"  # dropping it closes nothing either
            "print(enc.clear() is not None, repr(enc).endswith(' open>'))\n"
            "stale, enc = enc, kestrane.Encoder(sys.argv[1])\n"
            "try:\n"
            "    stale.clear()\n"  # it would run on the newer encoder's configuration
            "except ValueError as e:\n"
            "    print('replaced' in str(e))\n")
    assert in_own_process(code, folder).split() == ["True", "True", "True"]


def test_records_taken_before_a_failure_come_with_the_error(tmp_path):
    # A collector of its own (collecting drains it): another process. From
    # its third call ReadOneOpenDoorRecord answers KS_ERR_HOST, as a bridge
    # whose host died mid-drain does.
    folder = rig.make_bench(tmp_path / "c", COLLECTOR_RECORDS)
    code = ("import sys, kestrane\n"
            "real, calls = kestrane._native.library(), []\n"
            "class Failing:\n"
            "    def __getattr__(self, name): return getattr(real, name)\n"
            "    def ReadOneOpenDoorRecord(self, *a):\n"
            "        calls.append(1)\n"
            "        return -15 if len(calls) >= 3 else real.ReadOneOpenDoorRecord(*a)\n"
            "kestrane._native.library = lambda devices=None: Failing()\n"
            "try:\n"
            "    kestrane.Encoder(sys.argv[1]).collect()\n"
            "except kestrane.KestraneError as e:\n"
            "    print(e.name, *[f'{r.n}:{r.kind}:{r.card}' for r in e.records])\n")
    assert in_own_process(code, folder).split() == ["KS_ERR_HOST"] + [
        f"{n}:{kind}:{card}" for n, (kind, _, card) in enumerate(COLLECTOR_RECORDS[:2], 1)]


# What a process asks for (code run before and with the Encoder) -> what it gets.
DEVICE_CHOICES = [
    ("", "bench", "bench"),
    ("", "pcsc", "pcsc"),  # no card in a PC/SC reader: the bench's card stays blank
    ("kestrane.Encoder(sys.argv[1])", "pcsc", "OSError"),  # a process binds one device library
    ("ctypes.CDLL(os.environ['KESTRANE_LIBRARY_DIR'] + '/libkestrane_pcsc.so', mode=ctypes.RTLD_GLOBAL)",
     "bench", "OSError"),  # the PC/SC library took the vendor functions first
]


@pytest.mark.parametrize("before,devices,outcome", DEVICE_CHOICES)
def test_the_device_library_asked_for_is_the_one_bound(tmp_path, before, devices, outcome):
    folder = rig.make_bench(tmp_path / "d")
    code = ("import ctypes, os, sys, datetime as d, kestrane\n"
            f"{before}\n"
            "try:\n"
            f"    enc = kestrane.Encoder(sys.argv[1], devices={devices!r})\n"
            "except OSError:\n"
            "    print('OSError'); sys.exit()\n"
            "try:\n"
            "    enc.issue('guest', rooms=[1], start=d.datetime(2026, 3, 1), end=d.datetime(2026, 3, 2))\n"
            "    issued = 'issued'\n"
            "except kestrane.KestraneError as e:\n"
            "    issued = e.name\n"
            "print(enc.devices, issued, repr(enc))\n")
    out = in_own_process(code, folder).split()
    assert out[0] == outcome
    if outcome in kestrane._native.DEVICES:
        assert out[1] == ("issued" if outcome == "bench" else "KS_ERR_COMM") and f"devices='{outcome}'" in out[-2]
        assert rig.tool("read", bench=folder)["kind"] == ("guest" if outcome == "bench" else "cleared")
