"""Hostile-input fuzz target for tavik.tavik.

    python tools/fuzz [--seconds 300] [--seed N ...] [--skip FAMILY ...]
    python tools/fuzz --replay SEED:INDEX
    python tools/fuzz --show SEED:INDEX

Every case is a short program, generated from (seed, index) alone, that
works on the kit's public callables with hostile values: re-entrant
objects, subclasses that override methods and properties, calls with a
wrong `self`, odd numbers and strings, and engine names of `panda3d.core`
and of the module rebound to stand-ins (or hidden behind a module class
whose attribute lookup raises or re-enters). Every statement must end in
a Python exception or a normal return.

Cases run in a child process per batch, on one shared application object,
and everything a case rebinds is restored after it. The parent watches the
child: a signal, an abort, a sanitizer report or a hang is a crash; the
parent names the seed and the case index and writes a minimal reproducer
script. A `SystemError` (the kit broke the interpreter's calling contract)
is reported as a fault without stopping the batch; those the engine's own
constructors raise after a failed number conversion are listed apart and
do not count. The exit status is 1 when anything counted was found.

Crash families already known and being mended can be left out with
`--skip` (or TAVIK_FUZZ_SKIP="known-12-4,known-15-1"); `--skip known`
leaves out all of them. Run under the sanitizer build with `make fuzz`.
"""
import argparse
import json
import os
import sys

if __package__ in (None, ""):
    # Run as a folder (`python tools/fuzz`): the package is imported from tools/.
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

from fuzz.child import worker  # noqa: E402
from fuzz.generator import generate  # noqa: E402
from fuzz.parent import Session, reproducer  # noqa: E402
from fuzz.surface import FAMILIES, ROOT, start_engine, survey  # noqa: E402


def show(seed, index, skip, as_json=False):
    """Prints one case's script, or its statements as JSON (the generator
    needs the kit: it reads the public surface from it)."""
    kit, app = start_engine()
    statements = generate(seed, index, survey(kit, app), skip)
    sys.stdout.flush()
    if as_json:
        print("\n" + json.dumps(statements, ensure_ascii=True))
    else:
        print(reproducer(statements, f"tavik fuzz: seed {seed} case {index}", "it should print 'no crash'"))
    sys.stdout.flush()
    os._exit(0)


def case_reference(text):
    seed, _, index = text.partition(":")
    return int(seed), int(index)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=float(os.environ.get("FUZZ_SECONDS", 300)))
    parser.add_argument("--seed", type=int, action="append", help="seed to run (repeatable; default: a random one)")
    parser.add_argument("--start", type=int, default=0, help="first case index of every seed")
    parser.add_argument("--cases", type=int, default=0, help="cases per seed (default: until time runs out)")
    parser.add_argument("--batch", type=int, default=400, help="cases per child process")
    parser.add_argument("--skip", action="append", default=[], help="case family to leave out (see FAMILIES)")
    parser.add_argument("--case-timeout", type=float, default=30.0, help="seconds without progress that make a hang")
    parser.add_argument("--findings", default=os.path.join(ROOT, "build", "fuzz-findings"))
    parser.add_argument("--no-minimise", action="store_true", help="write the crashing case whole")
    parser.add_argument("--no-reproducers", action="store_true", help="only report crashes")
    parser.add_argument("--minimise-seconds", type=float, default=240.0)
    parser.add_argument("--replay", type=case_reference, metavar="SEED:INDEX", help="rerun one case")
    parser.add_argument("--show", type=case_reference, metavar="SEED:INDEX", help="print one case's script")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--emit", type=case_reference, help=argparse.SUPPRESS)
    parser.add_argument("--stop", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--case-file", help=argparse.SUPPRESS)
    parser.add_argument("--progress-fd", type=int, help=argparse.SUPPRESS)
    options = parser.parse_args(argv)
    skip = list(options.skip) + [family for family in os.environ.get("TAVIK_FUZZ_SKIP", "").split(",") if family]
    if "known" in skip:
        skip = list(FAMILIES)
    unknown = set(skip) - set(FAMILIES)
    if unknown:
        parser.error(f"unknown families {sorted(unknown)}; known: {', '.join(FAMILIES)}")
    options.skip = sorted(set(skip))
    if options.worker:
        options.seed = options.seed[0]
        return worker(options)
    if options.show:
        return show(*options.show, options.skip)
    if options.emit:
        return show(*options.emit, options.skip, as_json=True)
    if options.replay:
        seed, index = options.replay
        options.seed, options.start, options.cases, options.seconds = [seed], index, 1, 10 ** 6
    return Session(options).run()


if __name__ == "__main__":
    sys.exit(main())
