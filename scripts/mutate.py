#!/usr/bin/env python3
"""Mutation measurement of the test suites.

Enumerates single-line mutants of the library and the program sources (flipped comparisons,
off-by-one constants, dropped statements, swapped arguments, && <-> ||), draws a fixed, seeded
sample per layer, and for each mutant: changes the one line in a private copy of the tree, rebuilds
only the test executables of the mutated module (one object recompiled, those executables relinked),
runs them with a time limit and records killed / survived / no-build. The line is put back after
every mutant, also when the run is interrupted (a backup beside the file is restored at the next
start).

    scripts/mutate.py --layer sys --count 100 --results before.jsonl --rev 1c2642d
    scripts/mutate.py --layer sys --count 100 --results after.jsonl          # working tree
    scripts/mutate.py --summary before.jsonl after.jsonl
    scripts/mutate.py --layer sys --count 100 --attribute --results kills.jsonl
    scripts/mutate.py --kills kills.jsonl     # which test cases kill which mutants

The copy lives in --work (one folder per job); reusing the same folder keeps the compiler cache
warm, so the second run of the same mutants recompiles nothing but the changed tests.
Python 3 standard library only.
"""

import argparse
import hashlib
import io
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import threading
import time

SEED = 38038  # fixed: the same sample on every machine and every run
LAYERS = ("base", "sys", "data", "net", "http", "posix", "app")
DEFAULT_COUNT = {"base": 90, "sys": 130, "data": 50, "posix": 30, "net": 60, "http": 60, "app": 60}
SLOW_SUITES = {"orv-zip64-test"}  # minutes per run: left out of mutant runs

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def layer_of(rel):
    parts = rel.split("/")
    if parts[0] == "portable" and len(parts) > 2:
        return parts[1]
    if parts[0] in ("posix", "app"):
        return parts[0]
    return None


def source_files(tree):
    out = []
    for top in ("portable", "posix", "app"):
        for d, _, files in os.walk(os.path.join(tree, top)):
            for f in files:
                if f.endswith(".cpp"):
                    rel = os.path.relpath(os.path.join(d, f), tree)
                    if layer_of(rel):
                        out.append(rel)
    return sorted(out)


# --- mutant enumeration -------------------------------------------------------------------------

def mask_literals(line):
    """The line with string and character literals and a trailing // comment blanked out."""
    out, i, n = [], 0, len(line)
    while i < n:
        c = line[i]
        if c in "\"'":
            j = i + 1
            while j < n and line[j] != c:
                j += 2 if line[j] == "\\" else 1
            out.append(c + " " * (min(j, n - 1) - i - 1) + c if j < n else " " * (n - i))
            i = j + 1
            continue
        if line.startswith("//", i):
            out.append(" " * (n - i))
            break
        out.append(c)
        i += 1
    return "".join(out)[:n].ljust(n)


SWAPS = [(" < ", " >= ", "cmp"), (" >= ", " < ", "cmp"), (" > ", " <= ", "cmp"),
         (" <= ", " > ", "cmp"), (" == ", " != ", "cmp"), (" != ", " == ", "cmp"),
         (" && ", " || ", "logic"), (" || ", " && ", "logic")]
NUMBER = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
ARGS2 = re.compile(r"\(([A-Za-z_][\w.]*(?:->\w+)*), ([A-Za-z_][\w.]*(?:->\w+)*)\)")
STATEMENT = re.compile(r"^\s*(?:\+\+|--)?[A-Za-z_][\w]*(?:(?:\.|->|::)\w+|\[[^\]]*\])*"
                       r"\s*(?:\(.*\)|[-+*/|&^]?=[^=].*|\+\+|--)\s*;\s*$")
KEYWORDS = ("return", "break", "continue", "goto", "case", "default", "static_assert", "using",
            "typedef", "delete", "throw", "co_return", "const", "auto", "static", "constexpr")
SKIP_LINE = re.compile(r"^\s*(#|//|\*|/\*)|static_assert|template\s*<|operator\s*[<>=!]")


def enumerate_mutants(tree, rel):
    with open(os.path.join(tree, rel), encoding="utf-8", errors="surrogateescape") as f:
        lines = f.read().split("\n")
    out = []
    in_block = False
    prev_end = ";"
    for no, line in enumerate(lines, 1):
        s = line.strip()
        if in_block:
            if "*/" in s:
                in_block = False
            continue
        if s.startswith("/*") and "*/" not in s:
            in_block = True
            continue
        if not s or SKIP_LINE.search(line):
            if s:
                prev_end = ";"
            continue
        m = mask_literals(line)
        cands = []
        for a, b, op in SWAPS:
            k = m.find(a)
            while k >= 0:
                cands.append((op, line[:k] + b + line[k + len(a):]))
                k = m.find(a, k + 1)
        if not s.startswith(("enum", "case")) and "[[" not in m:
            for mt in NUMBER.finditer(m):
                v = int(mt.group(1))
                nv = v + 1 if v in (0, 1) or (v + no) % 2 else v - 1
                cands.append(("const", line[:mt.start()] + str(nv) + line[mt.end():]))
        for mt in ARGS2.finditer(m):
            if mt.group(1) != mt.group(2):
                cands.append(("swap", line[:mt.start()] + "(" + line[mt.start(2):mt.end(2)] + ", " +
                              line[mt.start(1):mt.end(1)] + ")" + line[mt.end():]))
        first = s.split("(")[0].split(" ")[0]
        if (STATEMENT.match(m) and first not in KEYWORDS and m.count("(") == m.count(")")
                and prev_end in ";{}:" and not s.startswith("}")):
            indent = line[:len(line) - len(line.lstrip())]
            cands.append(("drop", indent + ";"))
        for k, (op, text) in enumerate(cands):
            if text != line:
                out.append({"id": "%s:%d:%s:%d" % (rel, no, op, k), "file": rel, "line": no,
                            "op": op, "layer": layer_of(rel), "orig": line, "text": text})
        prev_end = m.rstrip()[-1:] or prev_end
    return out


def sample(tree, layers, counts):
    every = []
    for rel in source_files(tree):
        if layer_of(rel) in layers:
            every.extend(enumerate_mutants(tree, rel))
    pools = []
    for layer in layers:
        pool = sorted((m for m in every if m["layer"] == layer), key=lambda m: m["id"])
        rng = random.Random("%d:%s" % (SEED, layer))
        rng.shuffle(pool)
        pools.append(pool[:counts[layer]])
    # Round robin over the layers: a run cut short still holds a share of every layer.
    out = []
    for k in range(max(map(len, pools), default=0)):
        out.extend(p[k] for p in pools if k < len(p))
    return out


# --- test map -----------------------------------------------------------------------------------

SUITE = re.compile(r"\b(orv_test|add_executable)\(\s*([\w-]+)([^()]*)\)")


def suites(tree):
    """{executable: [test source paths relative to tests/]}"""
    found = {}
    for name in sorted(os.listdir(os.path.join(tree, "tests"))):
        if not name.endswith(".cmake"):
            continue
        text = open(os.path.join(tree, "tests", name)).read()
        for m in SUITE.finditer(text):
            exe = m.group(2)
            srcs = [s for s in m.group(3).split() if s.endswith(".cpp")]
            # A plain executable is a suite when its tests are registered with ctest.
            is_suite = m.group(1) == "orv_test" or "gtest_discover_tests(%s " % exe in text
            if srcs and is_suite and exe not in SLOW_SUITES:
                found[exe] = srcs
    return found


def test_map(tree, rel):
    """The test executables that judge a mutant of source file rel."""
    layer = layer_of(rel)
    base = os.path.basename(rel)[:-4]
    module = re.sub(r"-(posix|os)$", "", base)
    all_suites = suites(tree)
    test_dir = {"posix": "posix", "app": "app"}.get(layer, layer)
    mine = {exe: srcs for exe, srcs in all_suites.items()
            if any(s.startswith(test_dir + "/") for s in srcs)}
    named = [exe for exe in mine if exe in (module + "-test", "orv-" + module + "-test")]
    if named:
        return named
    header = re.compile(r'#include\s+[<"](?:[\w/]*/)?%s\.h[>"]' % re.escape(module))
    including = []
    for exe, srcs in mine.items():
        for s in srcs:
            path = os.path.join(tree, "tests", s)
            if os.path.exists(path) and header.search(open(path, errors="replace").read()):
                including.append(exe)
                break
    return sorted(including or mine)


# --- the private tree ---------------------------------------------------------------------------

def tree_files(rev):
    """{relative path: bytes} of a revision (git archive) or of the working tree (rev None)."""
    if rev:
        data = subprocess.run(["git", "-C", ROOT, "archive", "--format=tar", rev], check=True,
                              capture_output=True).stdout
        out = {}
        with tarfile.open(fileobj=io.BytesIO(data)) as tar:
            for member in tar:
                if member.isfile():
                    out[member.name] = (tar.extractfile(member).read(),
                                        b"100755" if member.mode & 0o111 else b"100644")
        return out
    listing = subprocess.run(["git", "-C", ROOT, "ls-files", "-z", "--cached", "--others",
                              "--exclude-standard"], check=True, capture_output=True).stdout
    out = {}
    for path in filter(None, listing.decode().split("\0")):
        full = os.path.join(ROOT, path)
        if os.path.isfile(full):
            out[path] = (open(full, "rb").read(),
                         b"100755" if os.access(full, os.X_OK) else b"100644")
    return out


def sync_tree(files, dest):
    """Makes dest hold exactly files; unchanged files keep their time stamps (no rebuild)."""
    os.makedirs(dest, exist_ok=True)
    for d, _, names in os.walk(dest):
        for n in names:
            rel = os.path.relpath(os.path.join(d, n), dest)
            if rel not in files:
                os.remove(os.path.join(d, n))
    for rel, (data, mode) in files.items():
        path = os.path.join(dest, rel)
        if os.path.exists(path) and open(path, "rb").read() == data:
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, 0o755 if mode == b"100755" else 0o644)


def restore_backups(src):
    for d, _, names in os.walk(src):
        for n in names:
            if n.endswith(".mutate-orig"):
                path = os.path.join(d, n[:-len(".mutate-orig")])
                shutil.move(os.path.join(d, n), path)
                os.utime(path)  # newer than the mutant's object: the original is compiled again


def kill_session(sid):
    """Kills whatever is left of a session: a suite stopped at its time limit (or one that leaks)
    would otherwise leave its servers and commands running, and they slow every later run. The
    commands a pipe starts have process groups of their own, so the whole session goes."""
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[3]) == sid:
            try:
                os.kill(int(name), signal.SIGKILL)
            except OSError:
                pass


def run(cmd, cwd, limit, env=None, tail=2000):
    start = time.monotonic()
    p = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         start_new_session=True, env=env)
    try:
        out, _ = p.communicate(timeout=limit)
        rc = p.returncode
    except subprocess.TimeoutExpired:
        kill_session(p.pid)
        out, _ = p.communicate()
        rc = None
    kill_session(p.pid)
    return rc, time.monotonic() - start, (out or b"")[-tail:].decode(errors="replace")


FAILED_CASE = re.compile(r"^\[  FAILED  \] ([\w/]+\.[\w/]+)", re.M)
RUN_CASE = re.compile(r"^\[ RUN      \] ([\w/]+\.[\w/]+)", re.M)


def failed_cases(exe, out):
    """The test cases a gtest run names as failed (each once), as "exe:Suite.Case"; when the run
    died inside a case (a crash prints no FAILED line), the case it last started."""
    found = set(FAILED_CASE.findall(out))
    if not found:
        started = RUN_CASE.findall(out)
        found = set(started[-1:])
    return sorted("%s:%s" % (exe, c) for c in found)


class Worker:
    def __init__(self, work, index, build_type, attribute=False):
        self.attribute = attribute
        home = os.path.join(work, "t%d" % index) if index else work
        self.src = os.path.join(home, "src")
        self.build = os.path.join(home, "build")
        self.build_type = build_type
        self.baseline = {}

    def prepare(self, files):
        restore_backups(self.src) if os.path.isdir(self.src) else None
        sync_tree(files, self.src)
        if not os.path.exists(os.path.join(self.build, "build.ninja")):
            subprocess.run(["cmake", "-G", "Ninja", "-Wno-dev", "-S", self.src, "-B", self.build,
                            "-DCMAKE_BUILD_TYPE=" + self.build_type, "-DORV_BUILD_BENCH=OFF",
                            "-DORV_BUILD_FUZZ=OFF"], check=True, capture_output=True)

    def build_targets(self, exes, limit):
        # reg-child and similar helpers come along as dependencies of their suites.
        return run(["ninja", "-C", self.build] + exes, self.src, limit)

    def run_suite(self, exe, limit):
        path = os.path.join(self.build, "tests", exe)
        # Attribution needs the RUN lines: a case that crashes the suite prints no FAILED line.
        flags = [] if self.attribute else ["--gtest_brief=1"]
        return run([path] + flags, os.path.join(self.build, "tests"), limit,
                   dict(os.environ, QT_QPA_PLATFORM="offscreen"), tail=1 << 20)

    def ensure_baseline(self, exes):
        """Builds and runs the unmutated suites once; a suite failing unmutated judges nothing."""
        todo = [e for e in exes if e not in self.baseline]
        if not todo:
            return
        rc, _, log = self.build_targets(todo, 3600)
        for exe in todo:
            if rc != 0:
                self.baseline[exe] = None
                print("baseline build failed for %s:\n%s" % (exe, log), file=sys.stderr)
                continue
            rc2, secs, out = self.run_suite(exe, 900)
            self.baseline[exe] = secs if rc2 == 0 else None
            if rc2 != 0:
                print("baseline run of %s fails; its mutants are skipped:\n%s" % (exe, out),
                      file=sys.stderr)

    def judge(self, m, exes):
        path = os.path.join(self.src, m["file"])
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            lines = f.read().split("\n")
        if lines[m["line"] - 1] != m["orig"]:
            return {"status": "stale"}
        shutil.copy2(path, path + ".mutate-orig")
        try:
            lines[m["line"] - 1] = m["text"]
            with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
                f.write("\n".join(lines))
            rc, build_secs, log = self.build_targets(exes, 900)
            if rc != 0:
                return {"status": "no-build", "build_s": round(build_secs, 1)}
            verdict = None
            for exe in exes:
                limit = 3 * self.baseline[exe] + 15
                rc, secs, out = self.run_suite(exe, limit)
                if rc == 0:
                    continue
                if verdict is None:
                    verdict = {"status": "killed", "by": exe, "timeout": rc is None,
                               "build_s": round(build_secs, 1), "run_s": round(secs, 1),
                               "cases": []}
                # A timeout or a crash is put on the case that was running; a suite that printed
                # nothing is the killer as a whole.
                cases = failed_cases(exe, out)
                verdict["cases"].extend(cases or ["%s:*" % exe])
                if not self.attribute:
                    break
            return verdict or {"status": "survived", "build_s": round(build_secs, 1)}
        finally:
            shutil.move(path + ".mutate-orig", path)
            os.utime(path)  # newer than the mutant's object: the next build puts the original back


def summarize(paths):
    for path in paths:
        per = {}
        for line in open(path):
            r = json.loads(line)
            c = per.setdefault(r["layer"], {"killed": 0, "survived": 0, "no-build": 0, "other": 0})
            c[r["status"] if r["status"] in c else "other"] += 1
        print(path)
        for layer in sorted(per):
            c = per[layer]
            judged = c["killed"] + c["survived"]
            rate = 100.0 * c["killed"] / judged if judged else 0.0
            print("  %-6s killed %4d  survived %4d  no-build %4d  other %3d  kill rate %5.1f%%" %
                  (layer, c["killed"], c["survived"], c["no-build"], c["other"], rate))


def kills(paths):
    """Per test case: the mutants it kills and those no other case kills (attribution runs)."""
    by_case, mutants = {}, set()
    for path in paths:
        for line in open(path):
            r = json.loads(line)
            if r["status"] != "killed":
                continue
            mutants.add(r["id"])
            for c in r.get("cases", ["%s:*" % r["by"]]):
                by_case.setdefault(c, set()).add(r["id"])
    killers = {}
    for c, ms in by_case.items():
        for m in ms:
            killers.setdefault(m, set()).add(c)
    print("%d killed mutants, %d killing cases" % (len(mutants), len(by_case)))
    for c in sorted(by_case, key=lambda c: (-len(by_case[c]), c)):
        unique = sorted(m for m in by_case[c] if killers[m] == {c})
        print("%4d killed %3d alone  %s" % (len(by_case[c]), len(unique), c))
        for m in unique:
            print("         only: %s" % m)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--layer", action="append", choices=LAYERS,
                    help="layer to mutate (repeatable; default: all)")
    ap.add_argument("--count", type=int, help="mutants per layer (default: per-layer table)")
    ap.add_argument("--jobs", type=int, default=1, help="mutants judged at once (one tree each)")
    ap.add_argument("--resume", action="store_true", help="skip mutants already in --results")
    ap.add_argument("--results", default="mutants.jsonl", help="JSON lines, one per mutant")
    ap.add_argument("--rev", help="git revision to measure (default: the working tree)")
    ap.add_argument("--work", default="/tmp/orv-mutate", help="private trees and builds")
    ap.add_argument("--build-type", default="RelWithDebInfo")
    ap.add_argument("--same-as", metavar="RESULTS",
                    help="judge exactly the mutants of an earlier run (for a before/after pair)")
    ap.add_argument("--list", action="store_true", help="print the sample and stop")
    ap.add_argument("--summary", nargs="+", metavar="RESULTS", help="per-layer figures of runs")
    ap.add_argument("--attribute", action="store_true",
                    help="run every judging suite of a mutant and record each failing case")
    ap.add_argument("--kills", nargs="+", metavar="RESULTS",
                    help="per test case: mutants killed, and those killed by it alone")
    args = ap.parse_args()
    if args.summary:
        summarize(args.summary)
        return 0
    if args.kills:
        kills(args.kills)
        return 0

    layers = args.layer or list(LAYERS)
    counts = {l: 10**9 if args.same_as else args.count or DEFAULT_COUNT[l] for l in layers}
    files = tree_files(args.rev)
    workers = [Worker(args.work, i, args.build_type, args.attribute)
               for i in range(max(1, args.jobs))]
    for w in workers:
        w.prepare(files)
    mutants = sample(workers[0].src, layers, counts)
    if args.same_as:
        wanted = [json.loads(l)["id"] for l in open(args.same_as) if l.strip()]
        by_id = {m["id"]: m for m in mutants}
        mutants = [by_id[i] for i in wanted if i in by_id]
    if args.list:
        for m in mutants:
            print("%s\n    - %s\n    + %s" % (m["id"], m["orig"].strip(), m["text"].strip()))
        print("%d mutants" % len(mutants))
        return 0

    done = set()
    if args.resume and os.path.exists(args.results):
        done = {json.loads(l)["id"] for l in open(args.results) if l.strip()}
    elif os.path.exists(args.results):
        os.remove(args.results)
    todo = [m for m in mutants if m["id"] not in done]
    lock = threading.Lock()
    queue = list(todo)
    total = len(todo)

    def loop(w):
        while True:
            with lock:
                if not queue:
                    return
                m = queue.pop(0)
            exes = test_map(w.src, m["file"])
            w.ensure_baseline(exes)
            exes = [e for e in exes if w.baseline.get(e) is not None]
            start = time.monotonic()
            verdict = w.judge(m, exes) if exes else {"status": "no-tests"}
            record = {"id": m["id"], "layer": m["layer"], "op": m["op"], "tests": exes,
                      "key": hashlib.sha1(m["text"].encode()).hexdigest()[:10],
                      "secs": round(time.monotonic() - start, 1)}
            record.update(verdict)
            with lock:
                with open(args.results, "a") as f:
                    f.write(json.dumps(record) + "\n")
                print("[%d/%d] %-9s %s" % (total - len(queue), total, record["status"], m["id"]),
                      flush=True)

    threads = [threading.Thread(target=loop, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    summarize([args.results])
    return 0


if __name__ == "__main__":
    sys.exit(main())
