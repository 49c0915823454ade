#!/usr/bin/env python3
"""Mutation run: does the test suite notice realistic faults?

    tools/mutants/run.py BUILD_DIR [--check] [--unit-only] [NAME_PART ...]

Each *.mutant file beside this script names one product file, an exact snippet that occurs there once, and its
replacement: a fault a developer could plausibly make. For each mutant in turn the script applies it to the
checkout the build directory was configured from, rebuilds, runs the unit tests and then the end-to-end tests
(each stopping at the first failure), records the verdict and restores the file, whatever happened. It first
checks that the suite passes unmutated, since a failing suite would "catch" everything.

Verdicts: caught (a test failed; the first failing test is named), missed (the whole suite passed), no-build
(the mutant does not compile, which says nothing about the tests). --check only verifies that every snippet
still occurs exactly once. A developer tool: it takes a while (a build and a suite run per mutant) and is not
part of CI. Root is needed for the end-to-end tests; without them pass --unit-only.
"""

import pathlib
import re
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent


def parse(path):
    text = path.read_text()
    head, rest = text.split("--- find\n", 1)
    find, replace = rest.split("--- replace\n", 1)
    fields = dict(line.split(": ", 1) for line in head.strip().splitlines())
    # The newline that ends each block belongs to the format, so a snippet may end inside a line.
    return {"name": path.stem, "file": fields["file"], "subsystem": fields["subsystem"], "fault": fields["fault"],
            "find": find[:-1], "replace": replace[:-1]}


def source_dir(build):
    cache = (build / "CMakeCache.txt").read_text()
    return pathlib.Path(re.search(r"^CMAKE_HOME_DIRECTORY:INTERNAL=(.*)$", cache, re.M).group(1))


def run(cmd, log):
    with open(log, "ab") as out:
        return subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT).returncode


def first_failure(log):
    found = re.findall(r"\d+ - (\S+) \((?:Failed|Timeout|SEGFAULT|Subprocess aborted|Child aborted|Exception)",
                       pathlib.Path(log).read_text(errors="replace"))
    return found[0] if found else "?"


def suite(build, log, unit_only):
    """Returns None when every test passed, else the first failing test."""
    phases = [["-LE", "e2e"]] if unit_only else [["-LE", "e2e"], ["-L", "e2e"]]
    for phase in phases:
        if run(["ctest", "--test-dir", str(build), "-j2", "--stop-on-failure", *phase], log) != 0:
            return first_failure(log)
    return None


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    if not args:
        print(__doc__)
        return 2
    build = pathlib.Path(args[0]).resolve()
    wanted = args[1:]
    check_only = "--check" in sys.argv
    unit_only = "--unit-only" in sys.argv
    src = source_dir(build)
    mutants = [parse(p) for p in sorted(HERE.glob("*.mutant"))]
    mutants = [m for m in mutants if not wanted or any(w in m["name"] for w in wanted)]

    broken = [m["name"] for m in mutants if (src / m["file"]).read_text().count(m["find"]) != 1]
    for name in broken:
        print(f"{name}: its snippet does not occur exactly once in {src}")
    if check_only or broken:
        print(f"{len(mutants) - len(broken)} of {len(mutants)} mutants apply")
        return 1 if broken else 0

    logs = build / "mutants"
    logs.mkdir(exist_ok=True)
    print(f"building and running the unmutated suite in {build} ...", flush=True)
    if run(["cmake", "--build", str(build)], logs / "baseline.log") != 0:
        print("the unmutated checkout does not build; see", logs / "baseline.log")
        return 1
    failing = suite(build, logs / "baseline.log", unit_only)
    if failing:
        print(f"the unmutated suite fails ({failing}); fix that first")
        return 1

    results = []
    for m in mutants:
        target = src / m["file"]
        original = target.read_text()
        log = logs / f"{m['name']}.log"
        log.unlink(missing_ok=True)
        started = time.monotonic()
        try:
            target.write_text(original.replace(m["find"], m["replace"], 1))
            if run(["cmake", "--build", str(build)], log) != 0:
                verdict, by = "no-build", ""
            else:
                failing = suite(build, log, unit_only)
                verdict, by = ("caught", failing) if failing else ("missed", "")
        finally:
            target.write_text(original)
        seconds = int(time.monotonic() - started)
        results.append((m, verdict, by))
        print(f"{m['name']:<34} {verdict:<8} {by:<26} {seconds:>4} s", flush=True)

    run(["cmake", "--build", str(build)], logs / "restore.log")
    print()
    print("| mutant | subsystem | fault | verdict | first failing test |")
    print("|---|---|---|---|---|")
    for m, verdict, by in results:
        print(f"| {m['name']} | {m['subsystem']} | {m['fault']} | {verdict} | {by} |")
    caught = sum(1 for _, v, _ in results if v == "caught")
    counted = sum(1 for _, v, _ in results if v != "no-build")
    print(f"\ncaught {caught} of {counted}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
