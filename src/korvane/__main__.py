"""A short tour of korvane's native layer: ``python -m korvane``."""

import argparse
import importlib
import os
import sys

import korvane
from korvane._tour import heading

# Sections in the order of the tour; each is a module of korvane._tour with a
# run() function. A section whose module is not part of this build is skipped.
SECTIONS = [
    "lockfree",
    "block_index",
    "slab",
    "host_probe",
    "task_scoring",
    "adaptation",
    "counter_hub",
    "accel_planner",
]


def tour() -> None:
    print("korvane native layer - a short tour")
    for name in SECTIONS:
        module_name = f"korvane._tour.{name}"
        try:
            section = importlib.import_module(module_name)
        except ModuleNotFoundError as exc:
            if exc.name == module_name:
                continue
            raise
        section.run()
    heading("done")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m korvane",
        description="A short tour of korvane's native layer: each module at work on a small example.",
    )
    parser.add_argument("--version", action="version", version=f"korvane {korvane.__version__}")
    try:
        try:
            parser.parse_args(argv)
            tour()
        finally:
            # Also after --help or --version, which leave by SystemExit.
            sys.stdout.flush()
    except BrokenPipeError:
        # The reader has gone (python -m korvane | head): stop without a
        # traceback, and point stdout at /dev/null so that the interpreter's
        # last flush at exit cannot fail as well.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
