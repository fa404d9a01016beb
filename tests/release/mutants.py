"""The release half of scripts/mutate.sh: each planted fault of the release
tooling, one at a time, against the unit tests that can see it, in one
process. The throwaway releases are made once, by the unchanged tooling;
each fault's modules are then loaded anew and its tests stop at the first
failure. Usage: mutants.py TREE MUTANTS.tsv [NAME]"""
from __future__ import annotations

import io
import signal
import sys
import unittest
from pathlib import Path
from types import FrameType
from typing import Callable

# The tests that can see a fault of each file, those likeliest to catch it
# first; the verdict's and the release's after them.
FIRST = {"pe.py": ["test_verdict.Verdicts.test_pe_entry"], "der.py": ["test_verdict.Verdicts.test_der"],
         "trust.py": ["test_verdict.Verdicts.test_trust"], "authenticode.py": ["test_verdict.Verdicts.test_time_stamp"]}
ALONE = {"image_check.py": ["test_image_check"], "cli.py": ["test_verdict.Arguments", "test_environment"],
         "environment.py": ["test_environment"], "buildroot.py": ["test_environment"],
         "files.py": ["test_verdict.Arguments", "test_releasing"], "timestamping.py": ["test_releasing"],
         "releasing.py": ["test_releasing"], "signing.py": ["test_releasing"]}
VERDICTS = ["test_verdict.Verdicts", "test_releasing"]
EVERY_TEST = ["test_verdict", "test_releasing", "test_image_check", "test_environment"]
SECONDS_A_FAULT = 120


def fresh(releases: object | None) -> None:
    """The tooling, its fixtures and its tests imported anew, sharing `releases`."""
    for name in list(sys.modules):
        if name.split(".")[0] in ("hello_origin_release", "fixtures") or name.startswith("test_"):
            del sys.modules[name]
    if releases is not None:
        import fixtures

        fixtures.shared_releases = lambda: releases


def passes(names: list[str]) -> bool:
    def out_of_time(_: int, __: FrameType | None) -> None:
        raise TimeoutError(f"more than {SECONDS_A_FAULT} s")

    signal.signal(signal.SIGALRM, out_of_time)
    signal.alarm(SECONDS_A_FAULT)
    try:
        suite = unittest.defaultTestLoader.loadTestsFromNames(names)
        return unittest.TextTestRunner(stream=io.StringIO(), failfast=True).run(suite).wasSuccessful()
    except Exception:
        return False
    finally:
        signal.alarm(0)


def planted(tree: Path, file: str, original: str, replacement: str, run: Callable[[], bool]) -> bool | None:
    """Whether the tests pass with the fault in place; None when it does not compile."""
    path = tree / file
    text = path.read_text()
    if text.count(original) != 1:
        raise SystemExit(f"mutants.txt: the original text stands {text.count(original)} times in {file}, not once")
    changed = text.replace(original, replacement)
    try:
        compile(changed, str(path), "exec")
    except SyntaxError:
        return None
    path.write_text(changed)
    try:
        return run()
    finally:
        path.write_text(text)


def main(tree: Path, listing: Path, only: str | None) -> int:
    sys.path[:0] = [str(tree / "release"), str(tree / "tests/release")]
    fresh(None)
    import fixtures

    releases = fixtures.shared_releases()
    if not passes(EVERY_TEST):
        print("the tests fail on the unchanged sources (release)", file=sys.stderr)
        return 1
    killed = counted = equivalent = not_compiling = misjudged = 0
    for line in listing.read_text().splitlines():
        name, half, file, original, replacement, why = line.split("\t")
        if half != "release" or only not in (None, name):
            continue

        def run() -> bool:
            fresh(releases)
            named = Path(file).name
            if named in ALONE:
                return passes(ALONE[named])
            return passes(FIRST.get(named, [])) and passes(VERDICTS)

        survived = planted(tree, file, original, replacement, run)
        if survived is None:
            verdict = "does not compile"
            not_compiling += 1
        elif why:
            equivalent += 1
            verdict = f"equivalent ({why})" if survived else "KILLED, but listed as equivalent"
            misjudged += not survived
        else:
            counted += 1
            killed += not survived
            verdict = "SURVIVED" if survived else "killed"
        print(f"{name:<34} {half:<6} {verdict}", flush=True)
    print(f"{equivalent} equivalent, {not_compiling} not compiling, {misjudged} listed as equivalent but killed")
    print(f"{killed}/{counted} release mutants killed")
    return 0 if killed == counted and misjudged == 0 else 1


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4):
        print(__doc__.splitlines()[-1].strip(), file=sys.stderr)
        sys.exit(2)
    sys.exit(main(Path(sys.argv[1]), Path(sys.argv[2]), sys.argv[3] if len(sys.argv) == 4 else None))
