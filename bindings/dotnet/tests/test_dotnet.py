"""Drives the .NET binding's tests under Mono: the suite (Tests.cs), the
system password card on a bench of its own, and the example of
docs/dotnet.md, each a program of its own (a process loads one bench)."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests"))
import rig  # noqa: E402

if not (shutil.which("mcs") and shutil.which("mono")):
    pytest.skip("Mono is not installed (apt-get install mono-mcs mono-runtime; scripts/setup.sh does)",
                allow_module_level=True)

SOURCES = [rig.REPO / "bindings/dotnet/Kestrane.Interop.cs", rig.REPO / "bindings/dotnet/Kestrane.cs"]


@pytest.fixture(scope="module")
def build(tmp_path_factory):
    """The assembly (the build's, or compiled here) and the test program beside it."""
    out = tmp_path_factory.mktemp("net")
    built = os.environ.get("KESTRANE_NET_ASSEMBLY")
    if built:
        shutil.copy(built, out / "Kestrane.Net.dll")
    else:
        subprocess.run(["mcs", "-target:library", "-out:" + str(out / "Kestrane.Net.dll")] + [str(s) for s in SOURCES],
                       check=True)
    subprocess.run(["mcs", "-r:" + str(out / "Kestrane.Net.dll"), "-out:" + str(out / "Tests.exe"),
                    str(rig.REPO / "bindings/dotnet/tests/Tests.cs")], check=True)
    return out


def mono(build, folder, *args, **env):
    env = dict(os.environ, KESTRANE_BENCH=str(folder), KESTRANE_TOOL=rig.TOOL, **env)
    return subprocess.run(["mono", str(build / "Tests.exe")] + list(args), capture_output=True, text=True, env=env)


def test_suite(build, tmp_path):
    # The second names no real time: the log must still come through whole.
    records = [(3, "2026-03-01 10:15", "0A0B0C0D"), (4, "2026-02-31 25:10", "01020304"), (7, "2026-03-02 23:59", "DEADBEEF")]
    folder = rig.make_bench(tmp_path / "b", records)
    expected = ";".join(f"{n} {k} {t} {c}" + ("" if rig.real_date(t) else " no-date")
                        for n, (k, t, c) in enumerate(records, 1))
    run = mono(build, folder, str(rig.REPO / "tests/vectors/des.txt"), KESTRANE_EXPECTED_RECORDS=expected)
    assert run.returncode == 0 and "all passed" in run.stdout, run.stdout + run.stderr


def test_encoder_state(build, tmp_path):
    # A contact encoder (EncodeExit closes its port), and the C locale: there
    # Mono's Encoding.Default is not UTF-8, as on Windows .NET's is not the
    # ANSI code page the library opens the path with.
    folder = tmp_path / "ic"
    rig.tool("bench", "init", "--medium", "ic", str(folder))
    run = mono(build, folder, "--encoder-state", LC_ALL="C")
    assert run.returncode == 0 and "all passed" in run.stdout, run.stdout + run.stderr


def test_system_password_card(build, tmp_path):
    folder = rig.make_bench(tmp_path / "pw")
    rig.tool("bench", "card", "new", "--system-password", "--insert", bench=folder)
    run = mono(build, folder, "--password")
    assert run.stdout.strip() == rig.tool("bench", "show", bench=folder)["pass"], run.stdout + run.stderr


def test_docs_example(build, tmp_path):
    source = tmp_path / "Example.cs"
    source.write_text(rig.doc_example("dotnet.md", "csharp"))
    subprocess.run(["mcs", "-r:" + str(build / "Kestrane.Net.dll"), "-out:" + str(build / "Example.exe"), str(source)],
                   check=True)
    rig.run_example(["mono", str(build / "Example.exe")], tmp_path / "bench")
