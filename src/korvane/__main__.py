"""A short tour of korvane's native layer: ``python -m korvane``."""

import importlib
import sys

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


def main() -> int:
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
    return 0


if __name__ == "__main__":
    sys.exit(main())
