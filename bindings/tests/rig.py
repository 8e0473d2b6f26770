"""The shared rig of the binding tests: where the build put the tool and the
libraries, bench folders made with `kestrane bench ...`, the DES known answers
and the examples in docs/."""
import json
import os
import re
import subprocess
from datetime import datetime
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
TOOL = os.environ.get("KESTRANE_TOOL", str(REPO / "build/native/bin/kestrane"))
LIBRARY_DIR = os.environ.setdefault("KESTRANE_LIBRARY_DIR", str(REPO / "build/native/bin"))


def tool(*args, bench=None):
    """Runs the kestrane tool with --json and returns its report."""
    cmd = [TOOL, "--json"] + (["--bench", str(bench)] if bench else []) + list(args)
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    return json.loads(out)


def make_bench(folder, collector_records=()):
    """A Mifare bench with a collector holding `collector_records`
    ((kind, "YYYY-MM-DD HH:MM", card hex) each)."""
    tool("bench", "init", "--medium", "mifare", "--collector", str(folder))
    # Loaded as a log file, so a record may name a date that does not exist,
    # as a lock with a wrong clock writes one.
    log = Path(folder) / "records.log"
    log.write_text("header 00 00 00\n" + "".join(f"record {k} {w} {c}\n" for k, w, c in collector_records))
    tool("bench", "collector", "load", str(log), bench=folder)
    return Path(folder)


def real_date(when):
    """Whether "YYYY-MM-DD HH:MM" names a time that exists."""
    try:
        datetime.strptime(when, "%Y-%m-%d %H:%M")
        return True
    except ValueError:
        return False


def des2_vectors():
    """(data, result) pairs of Des2 in tests/vectors/des.txt: its "data | result"
    lines (the DES engine's lines have a key in front)."""
    pairs = []
    for line in (REPO / "tests/vectors/des.txt").read_text().splitlines():
        fields = line.split("|")
        if not line.startswith("#") and len(fields) == 2:
            pairs.append((bytes.fromhex(fields[0]), bytes.fromhex(fields[1])))
    assert pairs, "no Des2 lines in tests/vectors/des.txt"
    return pairs


def doc_example(doc, language):
    """The first fenced `language` block of docs/<doc>."""
    text = (REPO / "docs" / doc).read_text()
    return re.search(rf"```{language}\n(.*?)```", text, re.S).group(1)


EXAMPLE_RECORD = (3, "2026-03-01 10:15", "0A0B0C0D")


def run_example(cmd, folder, **env):
    """Runs a docs example on a fresh bench holding one collector record and
    checks what it printed against the tool's view of the same bench."""
    make_bench(folder, [EXAMPLE_RECORD])
    out = subprocess.run(cmd, capture_output=True, text=True, check=True, cwd=folder,
                         env=dict(os.environ, KESTRANE_BENCH=str(folder), **env)).stdout
    serial = tool("serial", "mifare", "--port", "3", bench=folder)["serial"]
    kind, when, card = EXAMPLE_RECORD
    for line in ("encoder on COM3", f"issued guest card {serial}", f"read: guest {serial}",
                 "after clearing: cleared", f"open-door record: 1 {kind} {when}"):
        assert line in out, f"{line!r} not in:\n{out}"
    assert card in out and tool("read", bench=folder)["kind"] == "cleared"
