#!/usr/bin/env python3
"""Mutation sampler: how many small faults in the core do the fast tests catch?

Copies the source tree to a scratch folder (the checkout itself is never written to), builds it
there once without the OBS module, then applies one small fault at a time to a core source file:

  cmp     a comparison loses or gains its boundary (< <=, > >=) or is negated (== !=)
  bool    true <-> false, or a `!` dropped
  logic   && <-> ||
  int     an integer literal (chrono literals included) one up (0) or one down (others)
  call    a call statement deleted

For each mutant it rebuilds incrementally and runs only the tests of the mutated file: the gtest
executables registered in the tests folder that mirrors its source folder (src/runtime/x.cpp ->
tests/runtime/*.cmake; tools/ryvo-send/x.cpp -> tests/tools/), and any executable built from
x_test.cpp wherever it is registered; only those targets are built. That keeps a mutant to one
compile, a few links and a few test programs on a busy machine. A mutant those tests do not
exercise survives, whatever other tests would have said: --tests all runs every fast test for
every mutant instead, and --confirm-survivors does so for survivors only.

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
import fcntl
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
    """{path: (content, executable)} of rev, or of the checkout's tracked and new files."""
    files = {}
    if rev:
        listing = subprocess.run(["git", "-C", repo, "ls-tree", "-r", "-z", rev], check=True,
                                 capture_output=True).stdout.decode()
        entries = [entry.split("\t", 1) for entry in listing.split("\0") if entry]
        entries = [(meta.split(), name) for meta, name in entries]
        entries = [(mode, sha, name) for (mode, kind, sha), name in entries if kind == "blob"]
        blobs = subprocess.run(["git", "-C", repo, "cat-file", "--batch"], check=True,
                               capture_output=True,
                               input="".join(sha + "\n" for _, sha, _ in entries).encode()).stdout
        at = 0
        for mode, _, name in entries:
            header_end = blobs.index(b"\n", at)
            size = int(blobs[at:header_end].split()[2])
            files[name] = (blobs[header_end + 1 : header_end + 1 + size], mode == "100755")
            at = header_end + 1 + size + 1
        return files
    listing = subprocess.run(["git", "-C", repo, "ls-files", "-z", "--cached", "--others",
                              "--exclude-standard"], check=True, capture_output=True).stdout
    for name in listing.decode().split("\0"):
        source = Path(repo) / name
        if name and source.is_file():
            files[name] = (source.read_bytes(), os.access(source, os.X_OK))
    return files


def sync_tree(repo, rev, tree):
    """Makes the scratch tree equal to the checkout (or to rev), writing only files that differ so
    that the scratch build stays incremental; a mutant left behind by a crash is undone here."""
    files = source_files(repo, rev)
    for name, (data, executable) in files.items():
        target = tree / name
        if not target.exists() or target.read_bytes() != data:
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)
        if executable:
            target.chmod(0o755)
    for path in sorted(tree.rglob("*"), reverse=True):
        if path.is_file() and path.relative_to(tree).as_posix() not in files:
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


KEYWORDS = {"SOURCES", "LIBS", "WRAPPER", "LABELS", "MODULE", "SANITIZED_CASES", "COMMAND",
            "COST", "DEPENDS"}


@dataclasses.dataclass
class Test:
    kind: str  # "exe": a gtest executable, run directly; "script": a script test, run by ctest
    name: str
    folder: str
    wrapper: str | None = None
    sources: tuple = ()


def registered_tests(tree):
    """The gtest executables and script tests that tests/<folder>/*.cmake register, without
    those that need libobs or Qt."""
    tests = []
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
            name, *rest = text[call.end() : j].split()
            if "MODULE" in rest:
                continue
            values, keyword = {}, None
            for word in rest:
                if word in KEYWORDS:
                    keyword = word
                    values.setdefault(word, [])
                elif keyword:
                    values[keyword].append(word)
            if call.group(1) == "ryvo_add_script_test":
                tests.append(Test("script", name, folder))
                continue
            wrapper = values.get("WRAPPER", [None])[0]
            if wrapper:
                wrapper = (wrapper.replace("${RYVO_TEST_SUPPORT_DIR}", str(tree / "tests/support"))
                           .replace("${CMAKE_CURRENT_LIST_DIR}", str(cmake_file.parent))
                           .replace("${PROJECT_SOURCE_DIR}", str(tree)))
            sources = tuple(Path(source).name for source in values.get("SOURCES", []))
            tests.append(Test("exe", name, folder, wrapper, sources))
    return tests


# What a script test runs besides the tree's sources.
SCRIPT_TARGETS = {"ryvo_send_tests": {"ryvo-send"}}


class Runner:
    def __init__(self, args, tree, build):
        self.args, self.build = args, build
        pattern = re.compile(args.script_tests) if args.script_tests else None
        self.all = [t for t in registered_tests(tree)
                    if t.kind == "exe" or (pattern and pattern.search(t.name))]
        self.left_out = set()
        self.took = {}
        self.headers_of = {}  # test program or core source -> the tree's headers it includes

    def build_all(self):
        ok, out = build_targets(self.build, self.targets(self.all), self.args.jobs, 7200)
        if not ok:
            sys.exit(f"mutate: the unmutated tree does not build:\n{out[-4000:]}")
        deps = subprocess.run(["ninja", "-C", str(self.build), "-t", "deps"], check=True,
                              capture_output=True, text=True).stdout
        target = None
        for line in deps.splitlines():
            if line and not line.startswith(" "):
                obj = line.split(":")[0]
                m = (re.match(r"tests/CMakeFiles/([\w-]+)\.dir/", obj)
                     or re.match(r"(?:.*/)?CMakeFiles/(?:ryvo_core|ryvo_send_lib)\.dir/(.*)\.cpp\.o$",
                                 obj))
                target = m and (m.group(1) if obj.startswith("tests/") else
                                self.source_of(m.group(1), obj))
            elif target and "/tree/" in line:
                header = line.strip().split("/tree/", 1)[1]
                self.headers_of.setdefault(target, set()).add(header)

    @staticmethod
    def source_of(stem, obj):
        return f"tools/ryvo-send/{stem}.cpp" if "ryvo_send_lib" in obj else f"{stem}.cpp"

    def tests_for(self, rel_path):
        """The tests that run for a mutant of rel_path (None: every fast test): those of its
        folder, those built from <its name>_test.cpp, and those that include its header or the
        header of a core file that includes it (from the build's dependency records)."""
        if rel_path is None or self.args.tests == "all":
            chosen = self.all
        else:
            folder = test_folder_of(rel_path)
            own_test = Path(rel_path).stem + "_test.cpp"
            header = rel_path[: -len(".cpp")] + ".h"
            users = {header} | {source[: -len(".cpp")] + ".h"
                                for source, headers in self.headers_of.items()
                                if source.endswith(".cpp") and header in headers}
            chosen = [t for t in self.all
                      if t.folder == folder or own_test in t.sources
                      or users & self.headers_of.get(t.name, set())]
        return [t for t in chosen if t.name not in self.left_out]

    @staticmethod
    def targets(tests):
        targets = set()
        for test in tests:
            targets |= {test.name} if test.kind == "exe" else SCRIPT_TARGETS.get(test.name, set())
        return targets

    def run_one(self, test, timeout):
        if test.kind == "exe":
            cmd = ([test.wrapper] if test.wrapper else []) + [
                str(self.build / "tests" / test.name), "--gtest_fail_fast", "--gtest_brief=1"]
            return run_bounded(cmd, timeout, cwd=self.build / "tests")
        return run_bounded(["ctest", "--test-dir", str(self.build), "-R", f"^{test.name}$",
                            "--output-on-failure"], timeout)

    def run_tests(self, tests, timeout):
        """('killed', failing test), ('timed out', test) or ('survived', None)."""
        deadline = time.monotonic() + timeout
        for test in tests:
            code, _ = self.run_one(test, max(1.0, deadline - time.monotonic()))
            if code is None:
                return "timed out", test.name
            if code != 0:
                return "killed", test.name
        return "survived", None

    def timeout_for(self, tests):
        """--timeout, else three times the tests' unmutated time and a minute."""
        return self.args.timeout or 3 * sum(self.took.get(t.name, 0) for t in tests) + 60

    def check_unmutated(self, tests):
        """Runs tests once unmutated, timing each; one that fails is left out."""
        for test in tests:
            started = time.monotonic()
            code, out = self.run_one(test, 900)
            self.took[test.name] = time.monotonic() - started
            if code != 0:
                print(f"mutate: {test.name} fails unmutated; left out\n{out[-3000:]}")
                self.left_out.add(test.name)
        print(f"mutate: {len(tests)} test programs, {sum(self.took.values()):.0f} s unmutated",
              flush=True)


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
                        help="per-mutant test timeout in seconds (default: 3x its tests' "
                             "unmutated time + 60)")
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
    lock = open(work / "lock", "w")  # noqa: SIM115 # held until the process ends
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        sys.exit(f"mutate: another run is using {work}; give this one --work-dir")
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
    runner.build_all()
    needed = {}
    for k in order:
        for test in runner.tests_for(None if args.confirm_survivors else sample[k].path):
            needed[test.name] = test
    runner.check_unmutated(list(needed.values()))
    print(f"mutate: set up in {time.monotonic() - started:.0f} s", flush=True)

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
        tests = runner.tests_for(mutant.path)
        mutant_started = time.monotonic()
        try:
            target.write_text(mutated)
            ok, _ = build_targets(build, runner.targets(tests), args.jobs, 1800)
            if not ok:
                verdict, by = "uncompilable", None
            else:
                verdict, by = runner.run_tests(tests, runner.timeout_for(tests))
                if verdict == "survived" and args.confirm_survivors and args.tests == "folder":
                    everything = runner.tests_for(None)
                    ok, _ = build_targets(build, runner.targets(everything), args.jobs, 1800)
                    if ok:
                        verdict, by = runner.run_tests(everything, runner.timeout_for(everything))
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
