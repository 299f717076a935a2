#!/usr/bin/env python3
"""Mutation run: removes each safety guard in turn and checks that a test fails.

Each tests/mutants/*.txt file lists mutants, blocks of this form ('#' lines
outside blocks are comments):

    mutant: <short-name>
    file: <path from the repository root>
    why: <one line: which guard this removes>
    find:
    <exact lines of the original>
    replace:
    <replacement lines, possibly none>
    end

The tree (the files git tracks plus untracked ones it does not ignore,
without build/ and dist/) is copied into build/mutants/src, which is
configured with the native preset (ASan and UBSan) and built there, in its
own build/ folder. Then each mutant alone is applied, the copy rebuilt
incrementally and the native suite run until its first failure. A mutant
that no test notices survived; one whose find text does not occur exactly
once, or that does not build, proves nothing and fails the run as well.

What it trades away: one mutant at a time, with the whole suite behind it,
is slow when a mutant survives (the suite runs to its end), but the copy
and its build are kept between runs, so a run rebuilds only the files that
changed; and the file a mutant touched is rebuilt once more after it is
restored, because its object was built from the mutant.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]  # the repository
MUTANT_FOLDER = ROOT / "tests" / "mutants"
WORK = ROOT / "build" / "mutants"
COPY = WORK / "src"  # the copied tree
BUILD = COPY / "build" / "native"  # the native preset's folder inside the copy
LOGS = WORK / "logs"  # one build and test log per mutant
EXCLUDED = ("build/", "dist/")  # never copied
BUILT_INPUTS = ("dist/qelvor-stub.exe",)  # copied all the same: the packer's tests stamp it


@dataclass
class Mutant:
    name: str
    file: str  # path from the repository root
    why: str
    find: str  # whole lines, each ending in a newline
    replace: str
    origin: str  # mutant file and line, for messages


def parse_mutants(path):
    """Reads one mutant file; raises ValueError naming the line at fault."""
    mutants = []
    lines = path.read_text().splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if not line.strip() or line.startswith("#"):
            continue
        origin = f"{path.relative_to(ROOT)}:{i}"
        if not line.startswith("mutant:"):
            raise ValueError(f"{origin}: expected 'mutant:', found {line!r}")
        fields = {"mutant": line[len("mutant:"):].strip()}
        for key in ("file", "why"):
            if i >= len(lines) or not lines[i].startswith(key + ":"):
                raise ValueError(f"{origin}: '{key}:' must follow")
            fields[key] = lines[i][len(key) + 1:].strip()
            i += 1
        sections = {}
        for key, stop in (("find", "replace:"), ("replace", "end")):
            if i >= len(lines) or lines[i] != key + ":":
                raise ValueError(f"{origin}: '{key}:' must follow")
            i += 1
            body = []
            while i < len(lines) and lines[i] != stop:
                body.append(lines[i] + "\n")
                i += 1
            if i == len(lines):
                raise ValueError(f"{origin}: no '{stop}' line")
            sections[key] = "".join(body)
        i += 1  # the 'end' line
        if not fields["mutant"] or not fields["file"] or not sections["find"]:
            raise ValueError(f"{origin}: empty name, file or find text")
        mutants.append(Mutant(fields["mutant"], fields["file"], fields["why"],
                              sections["find"], sections["replace"], origin))
    return mutants


def load_mutants():
    """Every mutant of tests/mutants/*.txt, file by file in name order."""
    mutants, names = [], set()
    for path in sorted(MUTANT_FOLDER.glob("*.txt")):
        for m in parse_mutants(path):
            if m.name in names:
                raise ValueError(f"{m.origin}: mutant name {m.name!r} used twice")
            names.add(m.name)
            mutants.append(m)
    return mutants


def selected(mutant, only):
    """True when --only names the mutant, its source file or its mutant file."""
    origin_file = mutant.origin.rsplit(":", 1)[0]
    return any(o in (mutant.name, mutant.file, origin_file, Path(origin_file).name) for o in only)


def tree_files():
    """Paths, from the root, of the files that make up the tree."""
    out = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z", "--cached", "--others",
                          "--exclude-standard"], check=True, capture_output=True).stdout
    names = {n for n in out.decode().split("\0") if n and not n.startswith(EXCLUDED)}
    names |= set(BUILT_INPUTS)  # what the native suite reads from dist/, when it has been built
    return sorted(n for n in names if (ROOT / n).is_file())  # deleted tracked files drop out


def sync_copy():
    """Brings the copy in line with the tree, writing only files that differ
    (a written file gets a new time, so the build redoes what depends on it)
    and removing files the tree no longer has. Returns the files written."""
    files = tree_files()
    written = 0
    for name in files:
        source, target = ROOT / name, COPY / name
        if target.is_file() and target.read_bytes() == source.read_bytes():
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, target)
        shutil.copymode(source, target)
        written += 1
    keep = set(files)
    for folder, subfolders, names in os.walk(COPY):
        relative = Path(folder).relative_to(COPY).as_posix()
        if relative == ".":
            subfolders[:] = [s for s in subfolders if s != "build"]
            relative = ""
        for n in names:
            name = f"{relative}/{n}" if relative else n
            if name not in keep:
                os.remove(Path(folder) / n)
    return written


def run(command, log, cwd=COPY):
    """Runs a command with its output appended to log; returns its exit code."""
    with open(log, "a") as out:
        out.write(f"$ {' '.join(command)}\n")
        out.flush()
        code = subprocess.run(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT).returncode
        out.write(f"(exit {code})\n")
        return code


def build(log, jobs):
    """Configures the copy on first use and builds it; True when it built."""
    if not (BUILD / "CMakeCache.txt").exists():
        if run(["cmake", "--preset", "native"], log) != 0:
            return False
    return run(["cmake", "--build", "--preset", "native", "-j", str(jobs)], log) == 0


FAILED_TEST = re.compile(r"^\s*\d+ - (\S+) \((.*)\)\s*$")
PASSED_TIME = re.compile(r"Passed\s+([0-9.]+) sec")


def run_suite(log, jobs, timeout):
    """Runs the native suite until its first failure. Returns None when every
    test passed, else the first failing test and how it failed."""
    start = log.stat().st_size if log.exists() else 0
    code = run(["ctest", "--test-dir", str(BUILD), "--stop-on-failure", "--output-on-failure",
                "-j", str(jobs), "--timeout", str(timeout)], log)
    if code == 0:
        return None
    with open(log, encoding="utf-8", errors="replace") as f:  # tests may print any bytes
        f.seek(start)
        text = f.read()
    after = text.split("The following tests FAILED:", 1)
    for line in (after[1].splitlines() if len(after) > 1 else []):
        match = FAILED_TEST.match(line)
        if match:
            return f"{match.group(1)}, {match.group(2).lower()}" if match.group(2) != "Failed" \
                else match.group(1)
    return f"ctest exit {code}, no test named: see {log.relative_to(ROOT)}"


def try_mutant(mutant, jobs, timeout):
    """Applies one mutant to the copy, builds and tests it, restores the file
    byte for byte. Returns (outcome, detail), outcome being 'killed',
    'survived' or 'not applicable'."""
    target = COPY / mutant.file
    if not target.is_file():
        return "not applicable", "no such file"
    original = target.read_bytes()
    text = "\n" + original.decode()  # so that every line starts after a newline
    found = text.count("\n" + mutant.find)  # whole lines only
    if found != 1:
        return "not applicable", f"find text occurs {found} times"
    log = LOGS / f"{mutant.name}.log"
    log.unlink(missing_ok=True)
    try:
        mutated = text.replace("\n" + mutant.find, "\n" + mutant.replace, 1)[1:]
        target.write_bytes(mutated.encode())
        if not build(log, jobs):
            return "not applicable", f"does not build (see {log.relative_to(ROOT)})"
        failed = run_suite(log, jobs, timeout)
        return ("survived", mutant.why) if failed is None else ("killed", failed)
    finally:
        target.write_bytes(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--only", action="append", default=[], metavar="NAME_OR_FILE",
                        help="run only this mutant, or the mutants of this source or "
                             "mutant file (repeatable)")
    parser.add_argument("--list", action="store_true", help="list the mutants and stop")
    parser.add_argument("--keep-going", action=argparse.BooleanOptionalAction, default=True,
                        help="try every mutant even after one survives (default)")
    parser.add_argument("--jobs", type=int, default=2, help="build and test jobs (default 2)")
    parser.add_argument("--timeout", type=int,
                        help="seconds a test may take before it counts as failed (default: "
                             "five times the slowest unmutated test, at least 60)")
    args = parser.parse_args()

    try:
        mutants = load_mutants()
    except ValueError as error:
        sys.exit(f"run_mutants: {error}")
    if args.only:
        mutants = [m for m in mutants if selected(m, args.only)]
        if not mutants:
            sys.exit(f"run_mutants: no mutant matches {', '.join(args.only)}")
    if args.list:
        for m in mutants:
            print(f"{m.name}  {m.file}: {m.why}")
        return 0

    LOGS.mkdir(parents=True, exist_ok=True)
    COPY.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    written = sync_copy()
    log = LOGS / "unmutated.log"
    log.unlink(missing_ok=True)
    print(f"copy: {written} files updated in {COPY.relative_to(ROOT)}; building", flush=True)
    if not build(log, args.jobs):
        sys.exit(f"run_mutants: the unmutated copy does not build: see {log.relative_to(ROOT)}")
    failed = run_suite(log, args.jobs, args.timeout or 1800)
    if failed is not None:
        sys.exit(f"run_mutants: the unmutated suite fails ({failed}): nothing can be learned")
    slowest = max((float(t) for t in PASSED_TIME.findall(log.read_text())), default=0.0)
    timeout = args.timeout or max(60, round(5 * slowest))  # a mutant may loop forever
    print(f"unmutated: built and passed in {time.monotonic() - started:.0f} s; "
          f"slowest test {slowest:.0f} s, timeout {timeout} s", flush=True)

    counts = {"killed": 0, "survived": 0, "not applicable": 0}
    for m in mutants:
        outcome, detail = try_mutant(m, args.jobs, timeout)
        counts[outcome] += 1
        if outcome == "killed":
            print(f"killed  {m.name}  ({detail})", flush=True)
        elif outcome == "survived":
            print(f"SURVIVED {m.name}  {m.file}: {detail}", flush=True)
        else:
            print(f"NOT APPLICABLE {m.name}  {m.file}: {detail}", flush=True)
        if outcome != "killed" and not args.keep_going:
            break

    summary = f"{counts['killed']} killed, {counts['survived']} survived"
    if counts["not applicable"]:
        summary += f", {counts['not applicable']} not applicable"
    print(summary)
    return 0 if counts["survived"] == counts["not applicable"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
