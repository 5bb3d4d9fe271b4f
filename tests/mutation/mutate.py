#!/usr/bin/python3
"""Mutation check of scripts/sign: how many small faults put into it the signing tests catch.

    tests/mutation/mutate.py [--diff REV] [--jobs N] [--list] [--exe EXE]

Makes every mutant of scripts/sign that the operators below give, one fault each, and runs
tests/build/test_signing.py against a copy of each, never touching the tree. First it runs
each test once against sign under coverage to learn which tests reach which lines; a mutant then
runs only the tests that reach its line, the fastest first, and stops at the first failure (also
of a subtest). Certificates and the signed file are made once per run and copied for each test
process. Prints the score, the counts and every survivor with its line and edit.

Operators (each mutant applies one, once):
    compare   a comparison replaced by its opposite (== !=, < >=, > <=, in / not in, is / is not)
    boolean   and replaced by or, or by and
    not       a not dropped
    int       an integer constant moved up by one (exit statuses among them)
    raise     a raise made pass
    return    a return's value dropped (returns None)
    if        the body of an if (or elif) made pass
    list      one item removed from a list written out (command lines among them)
    finally   the body of a finally made pass

--diff REV mutates only the lines that differ from REV (the working tree against it).
Equivalent mutants, which no input tells apart from sign, are listed in equivalent.txt beside
this file, one a line: the key that --list prints, " | ", and the reason. They stay out of the
score. Runs on /usr/bin/python3 (coverage, pefile and asn1crypto as Debian packages them).
"""

import argparse
import ast
import concurrent.futures
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

try:
    import coverage
except ImportError:
    sys.exit("mutate: python3-coverage is missing (scripts/setup installs it); run with "
             "/usr/bin/python3")

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
TARGET = os.path.join(ROOT, "scripts", "sign")
TESTS = os.path.join(ROOT, "tests", "build", "test_signing.py")
EQUIVALENT = os.path.join(HERE, "equivalent.txt")
PYTHON = "/usr/bin/python3"
# A quick test that signs nothing itself: the run that makes the certificates and signed file.
FIRST = "SignedFile.test_signature_is_sha256_with_name_address_and_fixed_time"

# Runs sign under coverage, for the test process that names this file as sign.
COVER = """import coverage, os, runpy, sys
target = os.environ["MUTATE_TARGET"]
cov = coverage.Coverage(data_file=os.environ["MUTATE_COVERAGE"], data_suffix=True,
                        include=[target])
cov.start()
try:
    sys.argv[0] = target
    runpy.run_path(target, run_name="__main__")
finally:
    cov.stop()
    cov.save()
"""

OPPOSITE = {ast.Eq: ast.NotEq, ast.NotEq: ast.Eq, ast.Lt: ast.GtE, ast.GtE: ast.Lt,
            ast.Gt: ast.LtE, ast.LtE: ast.Gt, ast.In: ast.NotIn, ast.NotIn: ast.In,
            ast.Is: ast.IsNot, ast.IsNot: ast.Is}


# -- mutants -------------------------------------------------------------------------------------

class Mutant:
    def __init__(self, index, op, arg, line, lines, scope, before, after):
        self.index, self.op, self.arg = index, op, arg
        self.line, self.lines = line, lines  # the statement's first line; all lines it spans
        self.scope, self.before, self.after = scope, before, after
        self.key = "%s | %s | %s -> %s" % (scope, op, before, after)
        self.status = None

    def __str__(self):
        return "line %d: %s: %s -> %s" % (self.line, self.op, self.before, self.after)


def short(node):
    text = ast.unparse(node)
    return text.splitlines()[0] if "\n" in text else text


def apply(node, op, arg):
    """Changes node in place as the operator says."""
    if op == "compare":
        node.ops[arg] = OPPOSITE[type(node.ops[arg])]()
    elif op == "boolean":
        node.op = ast.Or() if isinstance(node.op, ast.And) else ast.And()
    elif op == "int":
        node.value += arg
    elif op == "return":
        node.value = None
    elif op in ("if", "finally"):
        setattr(node, "body" if op == "if" else "finalbody", [ast.Pass()])
    elif op == "list":
        del node.elts[arg]


def replace(tree, index, op):
    """For operators that swap a node for another: the replacement (None for the others)."""
    node = list(ast.walk(tree))[index]
    if op == "not":
        return node.operand
    if op == "raise":
        return ast.copy_location(ast.Pass(), node)
    return None


def mutated_source(source, mutant):
    tree = ast.parse(source)
    nodes = list(ast.walk(tree))
    node = nodes[mutant.index]
    new = replace(tree, mutant.index, mutant.op)
    if new is None:
        apply(node, mutant.op, mutant.arg)
    else:
        for parent in nodes:
            for field, value in ast.iter_fields(parent):
                if value is node:
                    setattr(parent, field, new)
                elif isinstance(value, list) and any(v is node for v in value):
                    value[[i for i, v in enumerate(value) if v is node][0]] = new
    return ast.unparse(ast.fix_missing_locations(tree)) + "\n"


def candidates(node):
    """(operator, argument) for each mutant of node itself."""
    if isinstance(node, ast.Compare):
        return [("compare", i) for i in range(len(node.ops))]
    if isinstance(node, ast.BoolOp):
        return [("boolean", None)]
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.Not):
        return [("not", None)]
    if isinstance(node, ast.Constant) and type(node.value) is int:
        return [("int", 1)]
    if isinstance(node, ast.Raise):
        return [("raise", None)]
    if isinstance(node, ast.Return) and node.value is not None \
            and not (isinstance(node.value, ast.Constant) and node.value.value is None):
        return [("return", None)]
    if isinstance(node, ast.If) and not (len(node.body) == 1
                                         and isinstance(node.body[0], ast.Pass)):
        return [("if", None)]
    if isinstance(node, ast.List) and len(node.elts) >= 2 and any(
            isinstance(e, ast.Constant) and isinstance(e.value, str) for e in node.elts):
        return [("list", i) for i in range(len(node.elts))]
    if isinstance(node, ast.Try) and node.finalbody:
        return [("finally", None)]
    return []


def mutants(source):
    tree = ast.parse(source)
    nodes = list(ast.walk(tree))
    # The innermost statement and def or class around each node.
    statement, scope = {}, {}

    def visit(node, stmt, names):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names = names + [node.name]
        if isinstance(node, ast.stmt):
            stmt = node
        statement[id(node)], scope[id(node)] = stmt, ".".join(names) or "<module>"
        for child in ast.iter_child_nodes(node):
            visit(child, stmt, names)

    visit(tree, None, [])
    found = []
    for index, node in enumerate(nodes):
        for op, arg in candidates(node):
            stmt = statement[id(node)]
            # The line coverage shows for it: the statement's first, or for an emptied body its
            # first statement's, which only the tests that enter that body reach.
            line = (node.body[0] if op == "if" else node.finalbody[0] if op == "finally"
                    else stmt).lineno
            before = short(node) if op not in ("if", "finally") else (
                "if %s: %s" % (ast.unparse(node.test), short(node.body[0])) if op == "if"
                else "finally: %s" % short(node.finalbody[0]))
            copy = ast.parse(source)
            target = list(ast.walk(copy))[index]
            new = replace(copy, index, op)
            if new is None:
                apply(target, op, arg)
                after = short(target) if op not in ("if", "finally") else (
                    "if %s: pass" % ast.unparse(target.test) if op == "if" else "finally: pass")
            else:
                after = short(new)
            found.append(Mutant(index, op, arg, line,
                                set(range(node.lineno, (node.end_lineno or node.lineno) + 1)),
                                scope[id(node)], before, after))
    # The same edit twice in one scope: number them, so that each key names one mutant.
    seen = {}
    for m in found:
        seen[m.key] = seen.get(m.key, 0) + 1
        if seen[m.key] > 1:
            m.key += " #%d" % seen[m.key]
    return found


def read_equivalent():
    """{key: reason} from equivalent.txt."""
    listed = {}
    if not os.path.isfile(EQUIVALENT):
        return listed
    with open(EQUIVALENT) as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            key, sep, reason = line.rpartition(" | ")
            if not sep or not reason.strip():
                sys.exit("mutate: %s:%d: no reason after the last \" | \"" % (EQUIVALENT, number))
            listed[key] = reason
    return listed


def changed_lines(rev):
    """The lines of sign, as it is now, that differ from rev."""
    diff = subprocess.run(["git", "-C", ROOT, "diff", "-U0", rev, "--", TARGET],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if diff.returncode != 0:
        sys.exit("mutate: git diff %s failed: %s" % (rev, diff.stderr.strip()))
    lines = set()
    for start, count in re.findall(r"^@@ -\S+ \+(\d+)(?:,(\d+))? @@", diff.stdout, re.M):
        lines.update(range(int(start), int(start) + int(count or 1)))
    return lines


# -- running the tests ---------------------------------------------------------------------------

RUNNING = set()  # the test processes' groups, to end on a stop
STOPPING = []


def stop(*_):
    """Ends the test processes and starts no more, so that the copies and what their tests
    made are removed."""
    STOPPING.append(True)
    for group in list(RUNNING):
        try:
            os.killpg(group, signal.SIGKILL)
        except ProcessLookupError:
            pass
    sys.exit(1)


def run_tests(names, env, timeout):
    """Runs the named tests, stopping at the first failure. Returns (True if all passed, or None
    if they took longer than timeout; their stderr)."""
    # In the mutant's own folder: a mutant that writes to a relative path writes there, not
    # into the tree.
    proc = subprocess.Popen([PYTHON, ARGS.tests, "--exe", ARGS.exe, "-f"] + names, env=env,
                            cwd=env["TMPDIR"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            start_new_session=True)
    RUNNING.add(proc.pid)
    try:
        _, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        return None, ""
    finally:
        RUNNING.discard(proc.pid)
    return proc.returncode == 0, err.decode("utf-8", "replace")


def test_names():
    sys.path.insert(0, os.path.dirname(ARGS.tests))
    import unittest
    import test_signing

    def flat(suite):
        for t in suite:
            yield from (flat(t) if isinstance(t, unittest.TestSuite) else [t])

    # Names as test_signing.py takes them on its command line.
    # The Wine test runs the signed file that the certificates come with: sign has no part in it.
    return [t.id().split(".", 1)[1]
            for t in flat(unittest.defaultTestLoader.loadTestsFromModule(test_signing))
            if not t.id().startswith("test_signing.SignedUnderWine.")]


def environment(work, sign):
    return dict(os.environ, SIGNING_TEST_SIGN=sign,
                SIGNING_TEST_FIXTURES=os.path.join(work, "fixtures"), TMPDIR=work)


def copy_of_sign(folder, source):
    """Sign from source as folder/scripts/sign, with the build where sign looks for it."""
    sign = os.path.join(folder, "scripts", "sign")
    build = os.path.join(folder, "build", "windows", "VorlaLogChecker.exe")
    os.makedirs(os.path.dirname(sign))
    os.makedirs(os.path.dirname(build))
    os.symlink(ARGS.exe, build)
    shutil.copyfile(source, sign)
    return sign


def learn_coverage(work, names, jobs):
    """{test name: (seconds, set of sign's lines it reaches)}, running each test once."""
    target = copy_of_sign(os.path.join(work, "original"), TARGET)
    cover = os.path.join(os.path.dirname(target), "cover.py")
    with open(cover, "w") as f:
        f.write(COVER)

    def one(name):
        data = os.path.join(work, "coverage", name)
        env = dict(environment(work, cover), MUTATE_TARGET=target, MUTATE_COVERAGE=data)
        start = time.time()
        ok, err = run_tests([name], env, None)
        if not ok:
            sys.exit("mutate: %s fails against sign as it is; mend that first:\n%s"
                     % (name, err[-3000:]))
        lines = set()
        for path in glob.glob(data + ".*"):
            d = coverage.CoverageData(basename=path)
            d.read()
            lines.update(d.lines(target) or ())
        return name, (time.time() - start, lines)

    os.makedirs(os.path.join(work, "coverage"))
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        return dict(pool.map(one, names))


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", default=os.path.join(ROOT, "build", "windows",
                                                      "VorlaLogChecker.exe"))
    parser.add_argument("--diff", metavar="REV", help="only the lines that differ from REV")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--list", action="store_true", help="list the mutants and their keys")
    ARGS = parser.parse_args()
    ARGS.exe = os.path.abspath(ARGS.exe)
    with open(TARGET) as f:
        source = f.read()
    every = mutants(source)
    equivalent = read_equivalent()
    stale = set(equivalent) - {m.key for m in every}
    chosen = every
    if ARGS.diff:
        lines = changed_lines(ARGS.diff)
        chosen = [m for m in every if m.lines & lines]
    if ARGS.list:
        for m in sorted(chosen, key=lambda m: m.line):
            print("%s\n    %s%s" % (m, m.key, "  (equivalent)" if m.key in equivalent else ""))
        print("%d mutants" % len(chosen))
        return 0
    if not os.path.isfile(ARGS.exe):
        sys.exit("mutate: no program at %s (build the windows preset, or pass --exe)" % ARGS.exe)

    started = time.time()
    signal.signal(signal.SIGTERM, stop)
    work = tempfile.mkdtemp(prefix="vorla-mutate-")
    try:
        # The tests as they are now, so that the tree may change while this runs.
        for folder in ("build", "wine"):
            shutil.copytree(os.path.join(ROOT, "tests", folder),
                            os.path.join(work, "tests", folder),
                            ignore=shutil.ignore_patterns("__pycache__"))
        ARGS.tests = os.path.join(work, "tests", "build", os.path.basename(TESTS))
        names = test_names()
        # The certificates and the signed file, made once with sign as it is.
        ok, err = run_tests([FIRST], environment(work, TARGET), None)
        if not ok:
            sys.exit("mutate: making the certificates failed:\n%s" % err[-3000:])
        reach = learn_coverage(work, names, ARGS.jobs)
        print("coverage learnt in %.0f s; each test's seconds and lines of sign it reaches:"
              % (time.time() - started))
        for name, (seconds, lines) in sorted(reach.items(), key=lambda item: item[1][0]):
            print("  %5.1f %4d  %s" % (seconds, len(lines), name))
        run = [m for m in chosen if m.key not in equivalent]
        for m in chosen:
            if m.key in equivalent:
                m.status = "equivalent"
        todo = []
        for n, m in enumerate(run):
            tests = sorted((t for t, (_, lines) in reach.items() if m.line in lines),
                           key=lambda t: reach[t][0])
            if not tests:
                m.status = "not reached"
            else:
                todo.append((n, m, tests))

        def one(job):
            n, m, tests = job
            if STOPPING:
                return m
            folder = os.path.join(work, "mutant-%d" % n)
            with open(os.path.join(work, "source-%d" % n), "w") as f:
                f.write(mutated_source(source, m))
            sign = copy_of_sign(folder, f.name)
            os.remove(f.name)
            limit = 30 + 3 * sum(reach[t][0] for t in tests)
            ok, _ = run_tests(tests, environment(work, sign), limit)
            m.status = "timeout" if ok is None else "survived" if ok else "killed"
            shutil.rmtree(folder, ignore_errors=True)
            return m

        with concurrent.futures.ThreadPoolExecutor(ARGS.jobs) as pool:
            for done, m in enumerate(pool.map(one, todo), 1):
                if m.status != "killed":
                    print("  [%d/%d] %s: %s" % (done, len(todo), m.status, m), flush=True)
    except KeyboardInterrupt:
        stop()
    finally:
        shutil.rmtree(work, ignore_errors=True)

    count = {s: sum(m.status == s for m in chosen)
             for s in ("killed", "timeout", "survived", "not reached", "equivalent")}
    scored = len(chosen) - count["equivalent"]
    detected = count["killed"] + count["timeout"]
    print("\nmutants of %s%s: %d" % (os.path.relpath(TARGET, ROOT),
                                    " (lines changed since %s)" % ARGS.diff if ARGS.diff else "",
                                    len(chosen)))
    print("  killed %d, timeout %d (counted as killed), survived %d, not reached by any test %d "
          "(counted as survived), equivalent %d (left out)"
          % (count["killed"], count["timeout"], count["survived"], count["not reached"],
             count["equivalent"]))
    print("  score: %.1f %% (%d of %d)" % (100.0 * detected / scored if scored else 100.0,
                                         detected, scored))
    print("  wall time: %.0f s" % (time.time() - started))
    survivors = [m for m in chosen if m.status in ("survived", "not reached")]
    if survivors:
        print("\nsurvivors:")
        for m in sorted(survivors, key=lambda m: m.line):
            print("  %s%s\n      %s" % (m, " (not reached)" if m.status == "not reached" else "",
                                        m.key))
    for key in sorted(stale):
        print("equivalent.txt lists a mutant sign no longer has: %s" % key)
    return 0


if __name__ == "__main__":
    sys.exit(main())
