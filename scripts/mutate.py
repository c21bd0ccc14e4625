#!/usr/bin/env python3
"""Mutation sampler: how many small faults in the core do the fast tests catch?

Copies the source tree to a scratch folder (the checkout itself is never written to), builds it
there once without the OBS module, then applies one small fault at a time to a core source file:

  cmp     a comparison loses or gains its boundary (< <=, > >=) or is negated (== !=)
  bool    true <-> false, or a `!` dropped
  logic   && <-> ||
  int     an integer literal (chrono literals included) one up (0) or one down (others)
  call    a call statement deleted

For each mutant it rebuilds incrementally and runs the tests of the mutated file's folder only
(tests mirror src/: src/runtime/x.cpp -> the gtest executables registered in tests/runtime/*.cmake;
tools/ryvo-send/x.cpp -> tests/tools/), building only those targets. That keeps a mutant to one
compile, a few links and one folder's tests on a busy machine. A mutant no test of its folder
exercises survives, whatever other folders' tests would have said; --tests all runs every fast
test executable for every mutant instead, and --confirm-survivors does so for survivors only.

The fast tests are the gtest executables (run directly, each once, with its registered wrapper
such as the private keyring session) and the script tests matching --script-tests. Real OBS, the
soaks, the sanitizer builds and the benchmarks never run; tests that need libobs or Qt are not
built (the module is off). Every test executable runs once unmutated first; one that fails then
is left out of the run and reported.

A mutant is killed when a test fails, timed out when the tests overrun the per-mutant timeout
(counted as caught), uncompilable when the build fails (not counted). Score =
(killed + timed out) / (killed + timed out + survived). The survivors' diffs are printed.

Only sources of ryvo_core (src/*/*.cpp without _obs/_qt) and of ryvo-send are mutated, not
headers (a header fault rebuilds half the tree). Comments, string literals and preprocessor
lines are never mutated.
"""

import argparse
import dataclasses
import difflib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

CORE_FOLDERS = ("api", "capture", "config", "diagnostics", "dock", "link", "platform", "runtime")
TOOL_FOLDERS = {"tools/ryvo-send": "tools"}


@dataclasses.dataclass(frozen=True)
class Mutant:
    path: str  # relative to the tree
    start: int
    end: int
    replacement: str
    kind: str

    def describe(self, text):
        line = text.count("\n", 0, self.start) + 1
        original = text[self.start : self.end].strip() or "(empty)"
        replacement = self.replacement.strip() or "(deleted)"
        if len(original) > 60:
            original = original[:57] + "..."
        return f"{self.path}:{line} {self.kind}: {original} -> {replacement}"


@dataclasses.dataclass
class TestExe:
    name: str
    folder: str
    wrapper: str | None


# --- finding the mutants -------------------------------------------------------------------------


def mask_non_code(text):
    """The text with comments, string and character literals and preprocessor lines blanked
    (same length, newlines kept), so that the patterns below only ever see code."""
    out = list(text)
    i, n = 0, len(text)

    def blank(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    at_line_start = True
    while i < n:
        c = text[i]
        if at_line_start and text[i:].lstrip(" \t").startswith("#"):
            j = i
            while True:
                e = text.find("\n", j)
                e = n if e < 0 else e
                if e > 0 and text[e - 1] == "\\":
                    j = e + 1
                    continue
                break
            blank(i, e)
            i = e
            continue
        at_line_start = c == "\n"
        if text.startswith("//", i):
            e = text.find("\n", i)
            e = n if e < 0 else e
            blank(i, e)
            i = e
        elif text.startswith("/*", i):
            e = text.find("*/", i + 2)
            e = n if e < 0 else e + 2
            blank(i, e)
            i = e
        elif c == "R" and text.startswith('"', i + 1) and (i == 0 or not text[i - 1].isalnum()):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            if not m:
                i += 1
                continue
            end_marker = ")" + m.group(1) + '"'
            e = text.find(end_marker, i + m.end())
            e = n if e < 0 else e + len(end_marker)
            blank(i, e)
            i = e
        elif c == '"' or (c == "'" and not (i > 0 and text[i - 1].isalnum())):
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            blank(i, j + 1)
            i = j + 1
        else:
            i += 1
    return "".join(out)


CMP_SWAPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
CONTROL_WORDS = {"if", "for", "while", "switch", "return", "catch", "sizeof", "co_return",
                 "static_assert", "delete", "throw", "case", "else", "do"}


def find_mutants(rel_path, text):
    code = mask_non_code(text)
    mutants = []

    def add(start, end, replacement, kind):
        mutants.append(Mutant(rel_path, start, end, replacement, kind))

    # Binary operators are spaced by clang-format; template brackets, `->` and `<<` are not
    # matched because of that.
    for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", code):
        add(m.start(), m.end(), CMP_SWAPS[m.group(1)], "cmp")
    for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", code):
        add(m.start(), m.end(), "||" if m.group(1) == "&&" else "&&", "logic")
    for m in re.finditer(r"\b(true|false)\b", code):
        add(m.start(), m.end(), "false" if m.group(1) == "true" else "true", "bool")
    for m in re.finditer(r"(?<![\w)\]!])!(?=[\w(])", code):
        add(m.start(), m.end(), "", "bool")
    for m in re.finditer(r"(?<![\w.'])(\d+)((?:[uUlL]{1,3})|ms|us|ns|s|min|h)?(?![\w.'])", code):
        value = int(m.group(1))
        add(m.start(1), m.end(1), str(value + 1 if value == 0 else value - 1), "int")
    for m in re.finditer(r"(?m)^[ \t]*((?:[A-Za-z_][\w]*(?:::|\.|->))*[A-Za-z_]\w*)\(", code):
        words = re.split(r"::|\.|->", m.group(1))
        if words[0] in CONTROL_WORDS or words[-1] in CONTROL_WORDS:
            continue
        depth, j = 0, m.end() - 1
        while j < len(code):
            if code[j] == "(":
                depth += 1
            elif code[j] == ")":
                depth -= 1
                if depth == 0:
                    break
            j += 1
        rest = code[j + 1 :]
        if depth == 0 and rest.lstrip(" \t").startswith(";"):
            end = j + 1 + (len(rest) - len(rest.lstrip(" \t"))) + 1
            add(m.start(1), end, ";", "call")
    return mutants


def core_sources(tree, with_tools):
    files = []
    for folder in CORE_FOLDERS:
        for path in sorted((tree / "src" / folder).glob("*.cpp")):
            if not re.search(r"_(obs|qt)\.cpp$", path.name):
                files.append(path)
    if with_tools:
        for folder in TOOL_FOLDERS:
            files += [p for p in sorted((tree / folder).glob("*.cpp")) if p.name != "main.cpp"]
    return files


def test_folder_of(rel_path):
    for folder, tests in TOOL_FOLDERS.items():
        if rel_path.startswith(folder + "/"):
            return tests
    return rel_path.split("/")[1]


# --- the scratch tree and its build --------------------------------------------------------------


def source_files(repo, rev):
    if rev:
        listing = subprocess.run(["git", "-C", repo, "ls-tree", "-r", "-z", "--name-only", rev],
                                 check=True, capture_output=True).stdout
    else:
        listing = subprocess.run(["git", "-C", repo, "ls-files", "-z", "--cached", "--others",
                                  "--exclude-standard"], check=True, capture_output=True).stdout
    return [name for name in listing.decode().split("\0") if name]


def sync_tree(repo, rev, tree):
    """Makes the scratch tree equal to the checkout (or to rev), writing only files that differ so
    that the scratch build stays incremental; a mutant left behind by a crash is undone here."""
    names = source_files(repo, rev)
    wanted = set(names)
    for name in names:
        if rev:
            data = subprocess.run(["git", "-C", repo, "show", f"{rev}:{name}"], check=True,
                                  capture_output=True).stdout
            mode_exec = b"100755" in subprocess.run(
                ["git", "-C", repo, "ls-tree", rev, "--", name], check=True,
                capture_output=True).stdout
        else:
            source = Path(repo) / name
            if not source.is_file():
                continue
            data = source.read_bytes()
            mode_exec = os.access(source, os.X_OK)
        target = tree / name
        if not target.exists() or target.read_bytes() != data:
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)
        if mode_exec:
            target.chmod(0o755)
    for path in sorted(tree.rglob("*"), reverse=True):
        rel = path.relative_to(tree).as_posix()
        if path.is_file() and rel not in wanted:
            path.unlink()


def niced(cmd):
    return ["nice", "-n", "10"] + cmd


def run_bounded(cmd, timeout, cwd=None, env=None):
    """(exit code or None on timeout, output). The whole process group goes on timeout: wrappers
    start D-Bus sessions and X servers of their own."""
    proc = subprocess.Popen(niced(cmd), cwd=cwd, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out.decode(errors="replace")
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        return None, out.decode(errors="replace")


def configure(tree, build, jobs):
    if (build / "build.ninja").exists():
        return
    cmd = ["cmake", "-S", str(tree), "-B", str(build), "-G", "Ninja",
           "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS_DEBUG=-O0", "-DCMAKE_C_FLAGS_DEBUG=-O0",
           "-DRYVO_WERROR=OFF", "-DRYVO_BUILD_MODULE=OFF", f"-DCMAKE_JOB_POOLS=build={jobs}"]
    if shutil.which("ccache"):
        cmd += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    subprocess.run(niced(cmd), check=True, stdout=subprocess.DEVNULL)


def build_targets(build, targets, jobs, timeout):
    if not targets:  # ninja would build everything
        return True, ""
    code, out = run_bounded(["ninja", "-C", str(build), f"-j{jobs}"] + sorted(targets), timeout)
    return code == 0, out


CMAKE_CALL = re.compile(r"^\s*(ryvo_add_test|ryvo_add_script_test)\(\s*([\w-]+)(.*?)\)\s*$",
                        re.M | re.S)


def registered_tests(tree):
    """The gtest executables and script tests that tests/<folder>/*.cmake register, by folder."""
    exes, scripts = {}, {}
    for cmake_file in sorted((tree / "tests").glob("*/*.cmake")):
        folder = cmake_file.parent.name
        text = re.sub(r"#[^\n]*", "", cmake_file.read_text())
        for call in re.finditer(r"(ryvo_add_test|ryvo_add_script_test)\(", text):
            depth, j = 0, call.end() - 1
            while True:
                depth += {"(": 1, ")": -1}.get(text[j], 0)
                if depth == 0:
                    break
                j += 1
            args = text[call.end() : j].split()
            name, rest = args[0], args[1:]
            if "MODULE" in rest:
                continue
            if call.group(1) == "ryvo_add_test":
                wrapper = None
                if "WRAPPER" in rest:
                    wrapper = rest[rest.index("WRAPPER") + 1]
                    wrapper = (wrapper.replace("${RYVO_TEST_SUPPORT_DIR}", str(tree / "tests/support"))
                               .replace("${CMAKE_CURRENT_LIST_DIR}", str(cmake_file.parent))
                               .replace("${PROJECT_SOURCE_DIR}", str(tree)))
                exes.setdefault(folder, []).append(TestExe(name, folder, wrapper))
            else:
                scripts.setdefault(folder, []).append(name)
    return exes, scripts


# What a script test runs besides the tree's sources.
SCRIPT_TARGETS = {"ryvo_send_tests": {"ryvo-send"}}


class Runner:
    def __init__(self, args, tree, build):
        self.args, self.tree, self.build = args, tree, build
        self.exes, scripts = registered_tests(tree)
        pattern = re.compile(args.script_tests) if args.script_tests else None
        self.scripts = {folder: [s for s in names if pattern and pattern.search(s)]
                        for folder, names in scripts.items()}
        self.left_out = set()

    def folders(self, folder):
        return sorted(set(self.exes) | set(self.scripts)) if folder is None else [folder]

    def tests(self, folder):
        """(kind, name, wrapper) of every test that runs for a mutant in folder (None: all)."""
        tests = []
        for f in self.folders(folder):
            tests += [("exe", exe.name, exe.wrapper) for exe in self.exes.get(f, [])]
            tests += [("script", name, None) for name in self.scripts.get(f, [])]
        return [t for t in tests if t[1] not in self.left_out]

    def targets(self, folder):
        targets = set()
        for kind, name, _ in self.tests(folder):
            targets |= {name} if kind == "exe" else SCRIPT_TARGETS.get(name, set())
        return targets

    def run_one(self, test, timeout):
        kind, name, wrapper = test
        if kind == "exe":
            cmd = ([wrapper] if wrapper else []) + [
                str(self.build / "tests" / name), "--gtest_fail_fast", "--gtest_brief=1"]
            return run_bounded(cmd, timeout, cwd=self.build / "tests")
        return run_bounded(["ctest", "--test-dir", str(self.build), "-R", f"^{name}$",
                            "--output-on-failure"], timeout)

    def run_tests(self, folder, timeout):
        """('killed', failing test), ('timed out', test) or ('survived', None)."""
        deadline = time.monotonic() + timeout
        for test in self.tests(folder):
            code, _ = self.run_one(test, max(1.0, deadline - time.monotonic()))
            if code is None:
                return "timed out", test[1]
            if code != 0:
                return "killed", test[1]
        return "survived", None

    def check_unmutated(self, folders):
        """Runs the tests of folders (None: all) once unmutated; what fails is left out. Returns
        the slowest folder's time, the base of the per-mutant timeout."""
        folders = self.folders(None) if folders is None else sorted(folders)
        targets = set().union(*(self.targets(f) for f in folders))
        ok, out = build_targets(self.build, targets, self.args.jobs, 7200)
        if not ok:
            sys.exit(f"mutate: the unmutated tree does not build:\n{out[-4000:]}")
        slowest = 0.0
        for folder in folders:
            started = time.monotonic()
            for test in self.tests(folder):
                code, out = self.run_one(test, 900)
                if code != 0:
                    print(f"mutate: {test[1]} fails unmutated; left out\n{out[-3000:]}")
                    self.left_out.add(test[1])
            took = time.monotonic() - started
            print(f"mutate: tests/{folder}: {took:.0f} s unmutated", flush=True)
            slowest = max(slowest, took)
        return slowest


# --- the run -------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=1, help="sampling seed (default 1)")
    parser.add_argument("--sample", type=int, default=40,
                        help="mutants to try, drawn from all candidates (default 40; 0 = all)")
    parser.add_argument("--budget-minutes", type=float, default=60,
                        help="stop starting new mutants after this long (default 60)")
    parser.add_argument("--timeout", type=float, default=0,
                        help="per-mutant test timeout in seconds (default: 3x the slowest "
                             "folder's unmutated run + 60)")
    parser.add_argument("--rev", help="mutate this commit instead of the working tree")
    parser.add_argument("--work-dir", default="build/mutate",
                        help="scratch tree and its build (default build/mutate)")
    parser.add_argument("--tests", choices=("folder", "all"), default="folder",
                        help="run the mutated file's folder's tests (default) or all fast tests")
    parser.add_argument("--confirm-survivors", action="store_true",
                        help="run every fast test against each survivor of --tests folder")
    parser.add_argument("--script-tests", default=r"^ryvo_send_tests$",
                        help="regex of the script tests that count as fast (default: "
                             "ryvo_send_tests; the others start OBS, soak, or test tooling)")
    parser.add_argument("--no-tools", action="store_true", help="do not mutate tools/ryvo-send")
    parser.add_argument("--only", help="regex: of the sampled mutants, try only those in matching "
                                       "paths (the same mutants as in a whole run with the seed)")
    parser.add_argument("--list", action="store_true", help="print the sampled mutants and stop")
    parser.add_argument("--jobs", type=int, default=2, help="build jobs (default 2)")
    args = parser.parse_args()

    repo = Path(__file__).resolve().parent.parent
    work = (repo / args.work_dir).resolve()
    tree, build = work / "tree", work / "build"
    tree.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    sync_tree(str(repo), args.rev, tree)

    candidates = []
    texts = {}
    for path in core_sources(tree, not args.no_tools):
        rel = path.relative_to(tree).as_posix()
        texts[rel] = path.read_text()
        candidates += find_mutants(rel, texts[rel])
    rng = random.Random(args.seed)
    sample = candidates if args.sample <= 0 else rng.sample(candidates,
                                                            min(args.sample, len(candidates)))
    # Grouped by file, so that a file is restored once and each build compiles at most two files.
    order = sorted((k for k in range(len(sample))
                    if not args.only or re.search(args.only, sample[k].path)),
                   key=lambda k: (sample[k].path, k))
    print(f"mutate: {len(candidates)} candidate mutants in {len(texts)} files; "
          f"{len(sample)} sampled with seed {args.seed}")
    if args.list:
        for k in order:
            print("  " + sample[k].describe(texts[sample[k].path]))
        return 0

    configure(tree, build, args.jobs)
    runner = Runner(args, tree, build)
    whole = args.tests == "all" or args.confirm_survivors
    slowest = runner.check_unmutated(
        None if whole else {test_folder_of(sample[k].path) for k in order})
    timeout = args.timeout or 3 * slowest + 60
    print(f"mutate: per-mutant test timeout {timeout:.0f} s; set up in "
          f"{time.monotonic() - started:.0f} s")

    results = []
    budget_end = started + args.budget_minutes * 60
    for number, k in enumerate(order, 1):
        if time.monotonic() > budget_end:
            print(f"mutate: time budget spent; {len(order) - number + 1} mutants not tried")
            break
        mutant = sample[k]
        original = texts[mutant.path]
        mutated = original[: mutant.start] + mutant.replacement + original[mutant.end :]
        target = tree / mutant.path
        folder = test_folder_of(mutant.path)
        mutant_started = time.monotonic()
        try:
            target.write_text(mutated)
            ok, build_out = build_targets(build, runner.targets(None if args.tests == "all"
                                                                else folder),
                                          args.jobs, 1800)
            if not ok:
                verdict, by = "uncompilable", None
            else:
                verdict, by = runner.run_tests(None if args.tests == "all" else folder, timeout)
                if verdict == "survived" and args.confirm_survivors and args.tests == "folder":
                    ok, _ = build_targets(build, runner.targets(None), args.jobs, 1800)
                    if ok:
                        verdict, by = runner.run_tests(None, timeout * 4)
        finally:
            target.write_text(original)
        results.append((mutant, verdict, by, mutated))
        print(f"mutate: [{number}/{len(order)}] {verdict:12} "
              f"{mutant.describe(original)}{f'  (by {by})' if by else ''}"
              f"  {time.monotonic() - mutant_started:.0f} s", flush=True)

    counts = {v: sum(1 for r in results if r[1] == v)
              for v in ("killed", "timed out", "survived", "uncompilable")}
    caught = counts["killed"] + counts["timed out"]
    judged = caught + counts["survived"]
    score = 100.0 * caught / judged if judged else 0.0
    print()
    for mutant, verdict, _, mutated in results:
        if verdict != "survived":
            continue
        original = texts[mutant.path]
        print(f"survived: {mutant.describe(original)}")
        sys.stdout.writelines(difflib.unified_diff(
            original.splitlines(keepends=True), mutated.splitlines(keepends=True),
            f"a/{mutant.path}", f"b/{mutant.path}", n=2))
    if runner.left_out:
        print(f"\nleft out (failed unmutated): {', '.join(sorted(runner.left_out))}")
    print(f"\nmutate: seed {args.seed}, sample {len(sample)}, tried {len(results)}: "
          f"killed {counts['killed']}, timed out {counts['timed out']}, "
          f"survived {counts['survived']}, uncompilable {counts['uncompilable']}; "
          f"score {score:.1f}% ({caught}/{judged}); {(time.monotonic() - started) / 60:.1f} min")
    return 0


if __name__ == "__main__":
    sys.exit(main())
