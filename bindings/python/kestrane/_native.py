"""Finding the native library and declaring its 25 exports for ctypes.

The prototypes below are the header's, slot for slot: a wrong width or a
missing slot corrupts the stack of a __stdcall callee on 32-bit Windows, so a
test compares this table with include/kestrane.h.
"""
import ctypes
import os
import struct
import sys
import sysconfig
import threading
from pathlib import Path

I16P = ctypes.POINTER(ctypes.c_int16)
I32 = ctypes.c_int32

# The eleven slots every Make...Card export takes.
CARD_FAMILY = (I16P, I32, I32, I16P, I16P, I16P, I32, I16P, I16P, I16P, I16P)

# Export name -> argument types. Every export returns a signed 16-bit code.
PROTOTYPES = {
    "EncodeInit": (ctypes.c_char_p,),
    "EncodeExit": (),
    "MakeTimeCard": CARD_FAMILY,
    "MakeEmergentCard": CARD_FAMILY,
    "MakeGuestCard": CARD_FAMILY,
    "MakeFloorCard": CARD_FAMILY,
    "MakeCleanDistrictCard": CARD_FAMILY,
    "MakeBuildingCard": CARD_FAMILY,
    "MakeLongOpenCard": CARD_FAMILY,
    "MakeChiefCard": CARD_FAMILY,
    "MakeInstallCard": CARD_FAMILY,
    "MakeLostCard": CARD_FAMILY,
    "MakeDataCard": CARD_FAMILY,
    "MakeGuestLeaveCard": CARD_FAMILY,
    "MakeSealCard": CARD_FAMILY,
    "ReadCard": (I16P, I32, I16P, I16P, I16P, I16P, I16P, I16P, I16P, I16P, I16P),
    "ReadSystemPas": (I16P,),
    "ClearCardData": (I16P,),
    "M1_ReadSn": (I16P,),
    "TM_ReadSn": (I16P,),
    "Des2": (I16P, I32, I32),
    "ReadDataCard": (I32,),
    "ReadOneOpenDoorRecord": (I16P,) * 8,
    "PDA_SetTime": (I16P,),
    "PDA_SetRoomNumber": (I16P,),
}
RESULT_TYPE = ctypes.c_int16

WINDOWS = sys.platform == "win32"
_LIBRARY_NAMES = (
    ("Kestrane64.dll",) if WINDOWS and struct.calcsize("P") == 8
    else ("Kestrane.dll",) if WINDOWS
    else ("libkestrane.so.1", "libkestrane.so"))
_BENCH_NAME = "libkestrane_bench.so"
# Where a folder of libraries keeps the bench: beside the library (the build
# tree) or in lib/kestrane/bench (the install tree).
_BENCH_SUBDIRS = (".", "kestrane/bench")

# The library keeps one encoder state and its calls must not overlap.
call_lock = threading.RLock()
_lib = None


def _install_tree_dirs():
    """Library folders of the install tree this package sits in
    (<prefix>/share/kestrane/python/kestrane)."""
    parents = Path(__file__).resolve().parents
    if len(parents) < 5:
        return []
    prefix = parents[4]
    multiarch = sysconfig.get_config_var("MULTIARCH") or ""
    names = ["bin", "lib", "lib64"] + ([f"lib/{multiarch}"] if multiarch else [])
    return [prefix / n for n in names]


def _system_dirs():
    multiarch = sysconfig.get_config_var("MULTIARCH") or ""
    dirs = [Path("/usr/local/lib"), Path("/usr/lib")]
    if multiarch:
        dirs += [Path("/usr/local/lib") / multiarch, Path("/usr/lib") / multiarch]
    return dirs


def _first_file(dirs, names):
    for d in dirs:
        for n in names:
            if (d / n).is_file():
                return d / n
    return None


def _load_posix(dirs, search_system):
    bench = _first_file([d / s for d in dirs for s in _BENCH_SUBDIRS], (_BENCH_NAME,))
    library = _first_file(dirs, _LIBRARY_NAMES)
    if search_system:
        bench = bench or _first_file([d / s for d in _system_dirs() for s in _BENCH_SUBDIRS], (_BENCH_NAME,))
    # libkestrane.so leaves the vendor functions undefined: the bench must be
    # in the global scope first, or loading the library fails.
    if bench is not None:
        ctypes.CDLL(str(bench), mode=ctypes.RTLD_GLOBAL)
    if library is not None:
        return ctypes.CDLL(str(library), mode=ctypes.RTLD_GLOBAL)
    if search_system:
        for name in _LIBRARY_NAMES:
            try:
                return ctypes.CDLL(name, mode=ctypes.RTLD_GLOBAL)
            except OSError:
                pass
    return None


def _load_windows(dirs, search_system):
    library = _first_file(dirs, _LIBRARY_NAMES)
    if library is not None:
        # The bench's facade DLLs stand in for the vendor DLLs when a bench
        # folder is in use; they live in a bench folder beside the library.
        if os.environ.get("KESTRANE_BENCH"):
            for b in (library.parent / "bench", library.parent.parent / "bench"):
                if b.is_dir():
                    os.add_dll_directory(str(b))
                    break
        return ctypes.WinDLL(str(library))
    if search_system:
        try:
            return ctypes.WinDLL(_LIBRARY_NAMES[0])
        except OSError:
            pass
    return None


def library():
    """The bound library, loaded at the first call."""
    global _lib
    with call_lock:
        if _lib is not None:
            return _lib
        env = os.environ.get("KESTRANE_LIBRARY_DIR")
        dirs = [Path(env)] if env else _install_tree_dirs()
        load = _load_windows if WINDOWS else _load_posix
        lib = load(dirs, search_system=not env)
        if lib is None:
            where = f"KESTRANE_LIBRARY_DIR={env}" if env else "the install tree and the system's library path"
            raise OSError(f"kestrane: {' or '.join(_LIBRARY_NAMES)} not found in {where}")
        for name, args in PROTOTYPES.items():
            fn = getattr(lib, name)
            fn.argtypes = args
            fn.restype = RESULT_TYPE
        _lib = lib
        return lib
