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
# The device libraries: what answers the library's vendor calls. The bench's
# virtual devices, or PC/SC readers (the tool's --devices bench|pcsc).
DEVICES = ("bench", "pcsc")
_DEVICE_NAMES = {"bench": "libkestrane_bench.so", "pcsc": "libkestrane_pcsc.so"}
# Where a folder of libraries keeps them: beside the library (the build
# tree), lib/kestrane/bench (the install tree's bench) or the folder itself.
_DEVICE_SUBDIRS = (".", "kestrane/bench")
# A vendor function both device libraries define: whose it is in the global
# scope is whose every vendor call of libkestrane.so is.
_PROBE_SYMBOL = b"RC500_232_init"
# Windows: the PC/SC DLLs in bin/pcsc, the bench's facades in bench/.
_WINDOWS_DEVICE_DIRS = {"bench": ("bench", "../bench"), "pcsc": ("pcsc",)}

# The library keeps one encoder state and its calls must not overlap.
call_lock = threading.RLock()
_lib = None
# The device library the loaded library is bound to: "bench", "pcsc",
# "vendor" (Windows: the vendor's own DLLs), None (not known in this
# process: the 64-bit bridge's host binds them).
bound_devices = None
# The encoder that holds the library's encoder state (the last EncodeInit).
current_encoder = None


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


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]


def _posix_bound_devices():
    """Which device library answers the vendor calls, as the dynamic linker
    binds them for the whole process (the first of the global scope)."""
    libc = ctypes.CDLL(None)
    dlsym, dladdr = libc.dlsym, libc.dladdr
    dlsym.restype, dlsym.argtypes = ctypes.c_void_p, (ctypes.c_void_p, ctypes.c_char_p)
    dladdr.argtypes = (ctypes.c_void_p, ctypes.POINTER(_DlInfo))
    address = dlsym(None, _PROBE_SYMBOL)  # RTLD_DEFAULT
    info = _DlInfo()
    if not address or not dladdr(address, ctypes.byref(info)) or not info.dli_fname:
        return None, None
    path = os.fsdecode(info.dli_fname)
    for devices, name in _DEVICE_NAMES.items():
        if Path(path).name.startswith(name):
            return devices, path
    return None, path


def _load_posix(dirs, search_system, devices):
    devices = devices or "bench"
    name = _DEVICE_NAMES[devices]
    found = _first_file([d / s for d in dirs for s in _DEVICE_SUBDIRS], (name,))
    library = _first_file(dirs, _LIBRARY_NAMES)
    if search_system:
        found = found or _first_file([d / s for d in _system_dirs() for s in _DEVICE_SUBDIRS], (name,))
    # libkestrane.so leaves the vendor functions undefined: the device
    # library must be in the global scope first, or loading the library fails.
    try:
        ctypes.CDLL(str(found) if found else name, mode=ctypes.RTLD_GLOBAL)
    except OSError as e:
        raise OSError(f"kestrane: devices={devices!r}: {name} not found ({e})") from None
    lib = None
    if library is not None:
        lib = ctypes.CDLL(str(library), mode=ctypes.RTLD_GLOBAL)
    elif search_system:
        for n in _LIBRARY_NAMES:
            try:
                lib = ctypes.CDLL(n, mode=ctypes.RTLD_GLOBAL)
                break
            except OSError:
                pass
    if lib is None:
        return None, None
    # The device library loaded first in this process wins, whichever this
    # call loaded: a program meant for PC/SC readers must not be told KS_OK
    # by virtual devices.
    bound, path = _posix_bound_devices()
    if bound != devices:
        raise OSError(f"kestrane: devices={devices!r} was asked for, but the vendor functions are "
                      f"{path or 'nowhere'}'s in this process")
    return lib, bound


def _load_windows(dirs, search_system, devices):
    library = _first_file(dirs, _LIBRARY_NAMES)
    if library is not None:
        # The bench's facade DLLs and the PC/SC DLLs have the vendor DLLs'
        # names: the folder added here is the one Kestrane.dll's imports find.
        wanted = devices or ("bench" if os.environ.get("KESTRANE_BENCH") else None)
        for sub in _WINDOWS_DEVICE_DIRS.get(wanted, ()):
            folder = (library.parent / sub).resolve()
            if folder.is_dir():
                os.add_dll_directory(str(folder))
                break
        else:
            if devices is not None:
                raise OSError(f"kestrane: devices={devices!r}: no {devices} folder beside {library}")
        lib = ctypes.WinDLL(str(library))
        bound = _windows_bound_devices()
        if devices is not None and bound not in (devices, None):
            raise OSError(f"kestrane: devices={devices!r} was asked for, but MWIC_32.dll is the {bound} one")
        return lib, bound
    if search_system:
        try:
            return ctypes.WinDLL(_LIBRARY_NAMES[0]), _windows_bound_devices()
        except OSError:
            pass
    return None, None


def _windows_bound_devices():
    """Whose MWIC_32.dll this process loaded: "pcsc" or "bench" by its
    folder, else "vendor"; None when it is not in this process (the 64-bit
    bridge's host loads it)."""
    kernel32 = ctypes.WinDLL("kernel32")
    kernel32.GetModuleHandleW.restype = ctypes.c_void_p
    kernel32.GetModuleHandleW.argtypes = (ctypes.c_wchar_p,)
    handle = kernel32.GetModuleHandleW("MWIC_32.dll")
    if not handle:
        return None
    buffer = ctypes.create_unicode_buffer(1024)
    kernel32.GetModuleFileNameW(ctypes.c_void_p(handle), buffer, len(buffer))
    folder = Path(buffer.value).parent.name.lower()
    return folder if folder in DEVICES else "vendor"


def library(devices=None):
    """The bound library, loaded at the first call with the device library
    `devices` names (None: the bench natively; on Windows the bench when a
    bench folder is in use, else the vendor DLLs). A process binds one:
    asking for another later raises OSError."""
    global _lib, bound_devices
    with call_lock:
        if devices is not None and devices not in DEVICES:
            raise ValueError(f"devices: {devices!r} is not one of {', '.join(DEVICES)}")
        if _lib is not None:
            if devices is not None and devices != bound_devices:
                raise OSError(f"kestrane: devices={devices!r} was asked for, but this process is bound "
                              f"to {bound_devices!r}")
            return _lib
        env = os.environ.get("KESTRANE_LIBRARY_DIR")
        dirs = [Path(env)] if env else _install_tree_dirs()
        load = _load_windows if WINDOWS else _load_posix
        lib, bound = load(dirs, not env, devices)
        if lib is None:
            where = f"KESTRANE_LIBRARY_DIR={env}" if env else "the install tree and the system's library path"
            raise OSError(f"kestrane: {' or '.join(_LIBRARY_NAMES)} not found in {where}")
        for name, args in PROTOTYPES.items():
            fn = getattr(lib, name)
            fn.argtypes = args
            fn.restype = RESULT_TYPE
        _lib, bound_devices = lib, bound
        return lib
