"""The shared rig of the binding tests: where the build put the tool and the
libraries, bench folders made with `kestrane bench ...`, the DES known answers
and the examples in docs/."""
import json
import os
import re
import subprocess
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
    for kind, when, card in collector_records:
        tool("bench", "collector", "add", "--kind", str(kind), "--time", when, "--card", card, bench=folder)
    return Path(folder)


def des2_vectors():
    """(data, result) pairs of des2.txt."""
    pairs = []
    for line in (Path(__file__).parent / "des2.txt").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            data, result = line.split("|")
            pairs.append((bytes.fromhex(data), bytes.fromhex(result)))
    return pairs


def doc_example(doc, language):
    """The first fenced `language` block of docs/<doc>."""
    text = (REPO / "docs" / doc).read_text()
    return re.search(rf"```{language}\n(.*?)```", text, re.S).group(1)
