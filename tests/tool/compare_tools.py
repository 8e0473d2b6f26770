#!/usr/bin/env python3
"""Two ways of running the kestrane tool must print the same, command line by
command line, on their own copies of one bench folder per medium: every card
kind issued, read and cleared, collect, pda, serial, des, and failures with
their codes. Compared: JSON on stdout, messages on stderr, the exit code;
and at the end the bench folders, card files included.

A side is either "process" (one program start per command line) or "worker"
(one `kestrane worker` for them all). Uses:
  native:  the tool as processes against the tool's worker (the worker must
           behave as separate processes do);
  win64:   the 32-bit tool's worker (over Kestrane.dll) against the 64-bit
           tool's worker (over Kestrane64.dll and its 32-bit host).

usage: compare_tools.py WORK [--ignore FILE]... MODE_A TOOL_A... -- MODE_B TOOL_B...
  (TOOL is a command prefix, e.g. `wine kestrane.exe`; --ignore leaves a
  file of the bench folders out of their comparison)
"""
import filecmp
import json
import os
import select
import shutil
import subprocess
import sys

PERIOD = ["--start", "2026-03-01T14:00", "--end", "2026-03-03T12:00"]
KINDS = [
    ["guest", *PERIOD, "--rooms", "101,102", "--ext-values", "7,300", "--ext-bytes", "1,2,3,4", "--option"],
    ["time", "--time", "2026-05-06T07:08:09"],
    ["emergency", *PERIOD],
    ["floor", *PERIOD, "--number", "9", "--floors", "1,2,3", "--list-c", "4,5", "--ext-bytes", "9"],
    ["clean-district", *PERIOD, "--districts", "6,7", "--list-c", "1"],
    ["building", *PERIOD, "--buildings", "2,4", "--list-c", "12,99"],
    ["long-open", *PERIOD, "--ext-bytes", "0,0,0,1"],
    ["chief", *PERIOD, "--option"],
    ["install", *PERIOD, "--number", "3", "--room", "301", "--list-a", "1", "--list-b", "2"],
    ["lost", *PERIOD, "--lost-type", "16", "--values", "1,2,3,4"],
    ["data", *PERIOD],
    ["guest-leave", *PERIOD],
]
# (must succeed, command line): a step that must succeed keeps two sides
# failing alike from passing for agreement.
STEPS = []
for kind in KINDS:
    STEPS += [(True, ["issue", *kind]), (True, ["read"]), (True, ["clear"]), (True, ["read"])]
STEPS += [(False, s.split()) for s in [
    "issue guest --rooms 5 " + " ".join(PERIOD), "issue chief " + " ".join(PERIOD),  # refused: not cleared
    "password", "clear",
    "bench card remove", "read", "issue guest --rooms 5 " + " ".join(PERIOD), "clear", "bench card insert card-1",
    "bench card new --system-password --insert --name pw", "password", "clear", "bench card insert card-1",
    "bench collector add --kind 3 --time 2026-03-01T10:15 --card 0A0B0C0D",
    "bench collector add --kind 10 --time 2026-12-31T23:59 --card 01020304",
]]
STEPS += [(True, ["collect"]), (False, ["collect"]),
          (True, ["pda", "time", "2026-03-04T05:06:07"]), (True, ["pda", "room", "1", "2", "3"]),
          (False, ["bench", "collector", "show"]),
          (False, ["serial", "mifare", "--port", "3"]), (False, ["serial", "mifare", "--port", "4"]),
          (True, ["serial", "ibutton", "--port", "1"]), (False, ["serial", "ibutton", "--port", "9"]),
          (True, ["des", "encrypt", "0123456789ABCDEF"]), (True, ["des", "decrypt", "0FA27F578FB6BB2E"]),
          (True, ["des", "encrypt", "3132333435"]), (True, ["codes"])]
# The bench's text form of a command differs only by the folder it names.
ANSWER_TIMEOUT = 120  # seconds: a stalled side fails the run, it does not hang it


class ProcessSide:
    def __init__(self, tool, bench):
        self.tool, self.bench = tool, bench

    def run(self, args):
        p = subprocess.run([*self.tool, "--bench", self.bench, "--json", *args], capture_output=True,
                           timeout=ANSWER_TIMEOUT)
        # Windows programs end lines with CR LF; the worker's answer holds the
        # text as the program wrote it, before the console's conversion.
        return p.returncode, p.stdout.decode().replace("\r\n", "\n"), p.stderr.decode().replace("\r\n", "\n")

    def close(self):
        pass


class WorkerSide:
    def __init__(self, tool, bench, log):
        self.log = open(log, "wb")
        self.proc = subprocess.Popen([*tool, "--bench", bench, "--json", "worker"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.log)
        self.buffer = b""

    def run(self, args):
        self.proc.stdin.write((json.dumps(args) + "\n").encode())
        self.proc.stdin.flush()
        while b"\n" not in self.buffer:
            ready, _, _ = select.select([self.proc.stdout], [], [], ANSWER_TIMEOUT)
            if not ready:
                raise RuntimeError(f"no answer within {ANSWER_TIMEOUT} s to {args}")
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                raise RuntimeError(f"the worker ended (exit {self.proc.wait()}) before answering {args}")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        answer = json.loads(line.decode().rstrip("\r"))
        return answer["exit"], answer["stdout"], answer["stderr"]

    def close(self):
        self.proc.stdin.close()
        if self.proc.wait(timeout=ANSWER_TIMEOUT) != 0:
            raise RuntimeError(f"the worker ended with exit {self.proc.returncode}")
        self.log.close()


def make_side(mode, tool, bench, work, name):
    if mode == "process":
        return ProcessSide(tool, bench)
    if mode == "worker":
        return WorkerSide(tool, bench, os.path.join(work, name + ".stderr"))
    raise SystemExit(f"unknown side mode {mode}")


def folders_differ(a, b, ignore):
    cmp = filecmp.dircmp(a, b, ignore=ignore)
    stack, found = [cmp], []
    while stack:
        c = stack.pop()
        found += [os.path.join(c.left, f) for f in c.left_only + c.right_only + c.diff_files + c.funny_files]
        # dircmp compares by size and time; compare contents.
        found += [os.path.join(c.left, f) for f in c.same_files
                  if not filecmp.cmp(os.path.join(c.left, f), os.path.join(c.right, f), shallow=False)]
        stack += c.subdirs.values()
    return found


def main():
    argv = sys.argv[1:]
    work, rest = argv[0], argv[1:]
    ignore = []
    while rest[0] == "--ignore":
        ignore.append(rest[1])
        rest = rest[2:]
    split = rest.index("--")
    side_a, side_b = rest[:split], rest[split + 1:]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    runs = differ = 0
    for medium in ["ic", "temic", "mifare"]:
        origin = os.path.join(work, medium + "-0")
        subprocess.run([*side_a[1:], "--bench", origin, "bench", "init", "--medium", medium, "--collector"],
                       check=True, capture_output=True, timeout=ANSWER_TIMEOUT)
        dirs = {s: os.path.join(work, f"{medium}-{s}") for s in "AB"}
        for d in dirs.values():
            shutil.copytree(origin, d)
        sides = {"A": make_side(side_a[0], side_a[1:], dirs["A"], work, medium + "-A"),
                 "B": make_side(side_b[0], side_b[1:], dirs["B"], work, medium + "-B")}
        for must_succeed, args in STEPS:
            answers = {}
            for s in "AB":
                code, out, err = sides[s].run(args)
                answers[s] = (code, out.replace(dirs[s], "BENCH"), err.replace(dirs[s], "BENCH"))
            runs += 1
            step = " ".join(args)
            if must_succeed and answers["B"][0] != 0:
                print(f"== {medium}: {step} failed on side B (exit {answers['B'][0]}): {answers['B'][2]}")
                differ += 1
            if answers["A"] != answers["B"]:
                print(f"== {medium}: {step}\n   A: {answers['A']}\n   B: {answers['B']}")
                differ += 1
        for side in sides.values():
            side.close()
        for f in folders_differ(dirs["A"], dirs["B"], ignore):
            print(f"== {medium}: the bench folders differ at {f}")
            differ += 1
    print(f"{runs} command lines compared, {differ} differences or failures")
    return 0 if differ == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
