#!/usr/bin/env python3
"""Differential run: the same scripts through two korvel runners, compared.

Runs every script of tests/scripts and examples/ and a set of generated
scripts (gen_scripts.py) with a base runner and with the new one, each the way
tests/run_script_test.py runs it (side files .args/.argv/.setup honoured, a
fresh run directory at the same path for both runners), and compares standard
output, standard error and exit status byte for byte.

Usage: tests/differential/run.py [options]
  --base-runner PATH  the base runner; when absent it is built from
                      --base-commit in --base-build (a separate source copy
                      and build directory, the worktree is not touched)
  --base-commit REV   default 649e304
  --base-build DIR    default build-diff-base (beside the new build)
  --new-runner PATH   default build/korvel
  --generated N       number of generated scripts (default 300; 0 for none)
  --seed S            seed of the generated scripts (default 14)
  --keep DIR          keeps the generated scripts and the diff reports there
  -j N                parallel runs (default 4)

Exit status 0 when every script behaves the same, 1 otherwise. Not part of
the default test run: it builds a second tree and takes minutes.
"""
import argparse
import concurrent.futures
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from run_script_test import prepare_run  # noqa: E402


def build_base(commit, build_dir):
    """Exports COMMIT into BUILD_DIR/src, builds it there, returns the runner."""
    src = os.path.join(build_dir, "src")
    stamp = os.path.join(build_dir, "commit")
    rev = subprocess.run(["git", "-C", ROOT, "rev-parse", commit], check=True,
                         stdout=subprocess.PIPE).stdout.decode().strip()
    if not (os.path.exists(stamp) and open(stamp).read().strip() == rev):
        shutil.rmtree(build_dir, ignore_errors=True)
        os.makedirs(src)
        archive = subprocess.run(["git", "-C", ROOT, "archive", rev], check=True,
                                 stdout=subprocess.PIPE).stdout
        subprocess.run(["tar", "-x", "-C", src], input=archive, check=True)
        with open(stamp, "w") as f:
            f.write(rev + "\n")
    out = os.path.join(build_dir, "build")
    subprocess.run(["cmake", "-S", src, "-B", out, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", out, "-j4", "--target", "korvel"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(out, "korvel")


def run_once(korvel, script, rundir):
    """Runs SCRIPT in a fresh RUNDIR; returns (stdout, stderr, status)."""
    shutil.rmtree(rundir, ignore_errors=True)
    os.makedirs(rundir)
    argv = prepare_run(script, rundir)
    try:
        p = subprocess.run([korvel] + argv, cwd=rundir, stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        return p.stdout, p.stderr, p.returncode
    except subprocess.TimeoutExpired as e:
        return e.stdout or b"", e.stderr or b"", "timeout"


def compare(base_runner, new_runner, script, work):
    rundir = os.path.join(work, "run-%d" % os.getpid(), os.path.basename(script)[:-4])
    a = run_once(base_runner, script, rundir)
    b = run_once(new_runner, script, rundir)
    shutil.rmtree(rundir, ignore_errors=True)
    diffs = [what for what, x, y in zip(("stdout", "stderr", "status"), a, b) if x != y]
    return script, diffs, a, b


def scripts_under(path):
    found = []
    for dirpath, _, files in os.walk(path):
        found += [os.path.join(dirpath, f) for f in files if f.endswith(".kor")]
    return sorted(found)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--base-runner")
    ap.add_argument("--base-commit", default="649e304")
    ap.add_argument("--base-build", default=os.path.join(ROOT, "build-diff-base"))
    ap.add_argument("--new-runner", default=os.path.join(ROOT, "build", "korvel"))
    ap.add_argument("--generated", type=int, default=300)
    ap.add_argument("--seed", type=int, default=14)
    ap.add_argument("--keep")
    ap.add_argument("-j", type=int, default=4)
    args = ap.parse_args()

    base = os.path.abspath(args.base_runner) if args.base_runner else build_base(
        args.base_commit, os.path.abspath(args.base_build))
    new = os.path.abspath(args.new_runner)
    work = tempfile.mkdtemp(prefix="kordiff-")
    keep = os.path.abspath(args.keep) if args.keep else None
    gen_dir = os.path.join(keep or work, "generated")
    scripts = scripts_under(os.path.join(ROOT, "tests", "scripts")) + \
        scripts_under(os.path.join(ROOT, "examples"))
    if args.generated > 0:
        subprocess.run([sys.executable, os.path.join(HERE, "gen_scripts.py"), gen_dir,
                        str(args.generated), str(args.seed)], check=True)
        scripts += scripts_under(gen_dir)

    differing = []
    with concurrent.futures.ProcessPoolExecutor(max_workers=args.j) as pool:
        for script, diffs, a, b in pool.map(compare, [base] * len(scripts), [new] * len(scripts),
                                            scripts, [work] * len(scripts)):
            if diffs:
                differing.append(script)
                print("DIFFERS %s (%s)" % (os.path.relpath(script, ROOT), ", ".join(diffs)))
                if keep:
                    name = os.path.basename(script)[:-4]
                    for label, r in (("base", a), ("new", b)):
                        with open(os.path.join(keep, "%s.%s.txt" % (name, label)), "wb") as f:
                            f.write(b"--- stdout\n" + r[0] + b"\n--- stderr\n" + r[1] +
                                    ("\n--- status %s\n" % r[2]).encode())
    shutil.rmtree(work, ignore_errors=True)
    print("differential: %d scripts compared, %d differ" % (len(scripts), len(differing)))
    print("base runner: %s\nnew runner:  %s" % (base, new))
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
