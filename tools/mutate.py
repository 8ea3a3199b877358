#!/usr/bin/env python3
"""Mutation check: do the tests catch the faults they exist for?

Reads a list of planted faults (tools/mutants.txt), applies each one alone to a copy of the
tree, rebuilds, runs the unit, Octave and MATLAB-route tests, and prints the faults no test
caught and the share caught. Faults marked equivalent (no behaviour a test could see changes)
are listed but not run.

  tools/mutate.py [--list FILE] [--work DIR] [--tests-from REV] [--only N ...]

--tests-from REV takes tests/ from a git revision instead, to see what older tests caught.
"""
import argparse
import filecmp
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TESTS = r"_test\.|^octave\.test_|^matlab\."


class Fault:
    def __init__(self, number, path, what):
        self.number, self.path, self.what = number, path, what
        self.hunks, self.equivalent = [], None  # [(text to replace, replacement)] as line lists

    def plant(self, text):
        """The text with the fault planted, or None when a hunk is not in it exactly once."""
        for before, after in self.hunks:
            before, after = "\n".join(before), "\n".join(after)
            if not before or text.count(before) != 1:
                return None
            text = text.replace(before, after)
        return text


def read_faults(list_file):
    """Entries: '== <file> : <fault it plants>', then '- ' lines (the text to replace) and '+ '
    lines (its replacement), again for each further place the fault changes, and optionally
    'equivalent: <reason>'."""
    faults = []
    with open(list_file, encoding="utf-8") as stream:
        for line in stream.read().splitlines():
            if line.startswith("== "):
                path, _, what = line[3:].partition(" : ")
                faults.append(Fault(len(faults) + 1, path.strip(), what.strip()))
            elif line.startswith("- "):
                hunks = faults[-1].hunks
                if not hunks or hunks[-1][1]:
                    hunks.append(([], []))
                hunks[-1][0].append(line[2:])
            elif line.startswith("+ ") or line == "+":
                faults[-1].hunks[-1][1].append(line[2:])
            elif line.startswith("equivalent: "):
                faults[-1].equivalent = line[len("equivalent: "):]
    return faults


def run(command, cwd, log, timeout=None, env=None):
    with open(log, "w", encoding="utf-8") as out:
        try:
            return subprocess.run(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=timeout, env=env).returncode
        except subprocess.TimeoutExpired:
            return -1


def copy_tree(work, tests_from):
    """The tree as it is into work/src. A file is written only where its text differs, with
    the time of writing: a fault an interrupted run left in the copy is replaced and rebuilt,
    while what did not change is not rebuilt."""
    source = os.path.join(work, "src")
    files = subprocess.run(["git", "ls-files", "-z", "--cached", "--others",
                            "--exclude-standard"], cwd=ROOT, check=True,
                           capture_output=True).stdout.decode().split("\0")
    wanted = {name: os.path.join(ROOT, name) for name in filter(None, files)
              if os.path.isfile(os.path.join(ROOT, name))}
    if tests_from:
        wanted = {name: path for name, path in wanted.items() if not name.startswith("tests/")}
        with tempfile.TemporaryDirectory(dir=work) as old:
            archive = subprocess.run(["git", "archive", tests_from, "tests"], cwd=ROOT,
                                     check=True, capture_output=True).stdout
            subprocess.run(["tar", "-x", "-C", old], input=archive, check=True)
            sync(source, wanted, old)
    else:
        sync(source, wanted, None)
    return source


def sync(source, wanted, tests_dir):
    """Makes source hold exactly the files wanted (name: path), and tests/ from tests_dir."""
    if tests_dir:
        for folder, _, names in os.walk(os.path.join(tests_dir, "tests")):
            for name in names:
                path = os.path.join(folder, name)
                wanted[os.path.relpath(path, tests_dir)] = path
    for folder, _, names in os.walk(source):
        for name in names:
            path = os.path.join(folder, name)
            if os.path.relpath(path, source) not in wanted:
                os.remove(path)
    for name, path in wanted.items():
        target = os.path.join(source, name)
        if os.path.isfile(target) and filecmp.cmp(path, target, shallow=False):
            continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(path, target)
        shutil.copymode(path, target)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--list", default=os.path.join(HERE, "mutants.txt"))
    parser.add_argument("--work", default=os.path.join(ROOT, "build-mutate"))
    parser.add_argument("--tests-from", default=None)
    parser.add_argument("--only", type=int, nargs="*", default=None)
    args = parser.parse_args()

    faults = read_faults(args.list)
    os.makedirs(args.work, exist_ok=True)
    source = copy_tree(args.work, args.tests_from)
    build = os.path.join(args.work, "build")
    jobs = str(os.cpu_count() or 2)
    logs = os.path.join(args.work, "logs")
    os.makedirs(logs, exist_ok=True)
    print(f"{len(faults)} planted faults; building the unmutated tree in {build}", flush=True)
    configure = ["cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                 "-DWARNINGS_AS_ERRORS=OFF", "-DBUILD_BENCHMARKS=OFF"]
    if run(configure, ROOT, os.path.join(logs, "configure.log")) != 0 or \
            run(["cmake", "--build", build, "-j", jobs], ROOT,
                os.path.join(logs, "build.log")) != 0:
        sys.exit(f"the unmutated tree does not build: see {logs}")
    tests = ["ctest", "--test-dir", build, "-R", TESTS, "-j", jobs, "--timeout", "300",
             "--stop-on-failure"]
    # The tests' temporary files go to a folder of the run's own, emptied before each run of
    # them: a planted fault that ends a test before its clean-up leaves nothing elsewhere.
    temporary = os.path.join(args.work, "tmp")
    test_env = dict(os.environ, TMPDIR=temporary)

    def run_tests(log):
        shutil.rmtree(temporary, ignore_errors=True)
        os.makedirs(temporary)
        return run(tests, ROOT, log, env=test_env)

    if run_tests(os.path.join(logs, "unmutated.log")) != 0:
        sys.exit(f"the tests fail without any fault: see {logs}/unmutated.log")

    uncaught, broken, caught, equivalent = [], [], 0, 0
    for fault in faults:
        if args.only and fault.number not in args.only:
            continue
        label = f"{fault.number:2d} {fault.path}: {fault.what}"
        if fault.equivalent:
            equivalent += 1
            print(f"equivalent  {label} ({fault.equivalent})", flush=True)
            continue
        path = os.path.join(source, fault.path)
        with open(path, encoding="utf-8") as stream:
            original = stream.read()
        planted = fault.plant(original)
        if planted is None:
            broken.append(label + " (its text is not in the file exactly once)")
            print(f"STALE       {label}", flush=True)
            continue
        started = time.time()
        try:
            with open(path, "w", encoding="utf-8") as stream:
                stream.write(planted)
            log = os.path.join(logs, f"fault-{fault.number}")
            if run(["cmake", "--build", build, "-j", jobs], ROOT, log + "-build.log") != 0:
                broken.append(label + " (does not build)")
                print(f"NO BUILD    {label}", flush=True)
                continue
            if run_tests(log + "-tests.log") != 0:
                caught += 1
                verdict = "caught"
            else:
                uncaught.append(label)
                verdict = "NOT CAUGHT"
            print(f"{verdict:11s} {label} [{time.time() - started:.0f} s]", flush=True)
        finally:
            with open(path, "w", encoding="utf-8") as stream:
                stream.write(original)

    run(["cmake", "--build", build, "-j", jobs], ROOT, os.path.join(logs, "restore.log"))
    shutil.rmtree(temporary, ignore_errors=True)
    tried = caught + len(uncaught)
    print()
    print(f"{caught} of {tried} planted faults caught ({100.0 * caught / max(tried, 1):.0f}%); "
          f"{equivalent} marked equivalent")
    for label in uncaught:
        print(f"  not caught: {label}")
    for label in broken:
        print(f"  list entry to mend: {label}")
    sys.exit(1 if uncaught or broken else 0)


if __name__ == "__main__":
    main()
