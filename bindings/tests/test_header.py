"""The bindings' declarations against include/kestrane.h: every export by
name, its argument count and each slot's width, the 16-bit result, and the
result-code table. A changed signature in the header fails here."""
import ctypes
import re
import sys

import pytest

import rig

sys.path.insert(0, str(rig.REPO / "bindings/python"))
from kestrane import _codes, _native  # noqa: E402

HEADER = (rig.REPO / "include/kestrane.h").read_text()
INTEROP = (rig.REPO / "bindings/dotnet/Kestrane.Interop.cs").read_text()
TYPED = (rig.REPO / "bindings/dotnet/Kestrane.cs").read_text()

# Slot widths by the type each language writes: "p16" an array of 16-bit
# elements, "p8" a byte buffer, "i32" a 32-bit scalar, "i16" a 16-bit result.
C_WIDTHS = {"int16_t*": "p16", "char*": "p8", "int32_t": "i32", "int16_t": "i16"}
CS_WIDTHS = {"short[]": "p16", "byte[]": "p8", "int": "i32", "short": "i16"}
CTYPES_WIDTHS = {_native.I16P: "p16", ctypes.c_char_p: "p8", ctypes.c_int32: "i32", ctypes.c_int16: "i16"}


def c_type(param):
    """'int16_t *cardSerial' -> 'int16_t*'."""
    param = re.sub(r"\s+", " ", param.strip())
    if param == "void":
        return None
    return re.sub(r"\s*\w+$", "", param).replace(" *", "*").replace(" ", "")


def header_exports():
    family = re.search(r"#define KS_CARD_FAMILY_ARGS(.*?)\n\n", HEADER, re.S).group(1).replace("\\", " ")
    text = HEADER.replace("KS_CARD_FAMILY_ARGS)", family + ")")
    exports = {}
    for ret, name, params in re.findall(r"KS_API\s+(\w+)\s+KS_STDCALL\s+(\w+)\(([^)]*)\);", text):
        slots = [c_type(p) for p in params.split(",")]
        exports[name] = (C_WIDTHS[ret], [C_WIDTHS[s] for s in slots if s])
    return exports


def cs_exports(cls):
    body = re.search(rf"class {cls}\b(.*?)\n    }}", INTEROP, re.S).group(1)
    assert re.search(r"Conv = CallingConvention\.StdCall;", body)
    exports = {}
    for ret, name, params in re.findall(
            r"\[DllImport\(Lib, CallingConvention = Conv\)\] public static extern (\w+) (\w+)\(([^)]*)\);", body):
        slots = [p.strip().rsplit(" ", 1)[0] for p in params.split(",") if p.strip()]
        exports[name] = (CS_WIDTHS[ret], [CS_WIDTHS[s] for s in slots])
    return exports


def ctypes_exports():
    return {name: (CTYPES_WIDTHS[_native.RESULT_TYPE], [CTYPES_WIDTHS[a] for a in args])
            for name, args in _native.PROTOTYPES.items()}


def test_header_has_the_25_exports():
    assert len(header_exports()) == 25


@pytest.mark.parametrize("binding", ["Exports32", "Exports64", "ctypes"])
def test_binding_declares_the_headers_exports(binding):
    ours = ctypes_exports() if binding == "ctypes" else cs_exports(binding)
    assert ours == header_exports()


def test_result_codes_match_the_header_in_both_bindings():
    header = {int(v): n for n, v in re.findall(r"#define (KS_\w+) \(\(int16_t\)(-?\d+)\)", HEADER)}
    cs = {int(code): (name, meaning)
          for code, name, meaning in re.findall(r'\{ (-?\d+), Entry\("(\w+)", "([^"]*)"\) \}', TYPED)}
    assert {code: name for code, (name, _) in _codes.RESULT_CODES.items()} == header
    assert cs == _codes.RESULT_CODES
