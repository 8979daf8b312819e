"""``python -m ostrel.demo [--tour]``: see :mod:`ostrel.demo`."""

import argparse
import importlib

from . import SECTIONS, command


def tour() -> None:
    for name in SECTIONS:
        try:
            mod = importlib.import_module(f"ostrel.demo.{name}")
        except ModuleNotFoundError as e:
            if e.name == f"ostrel.demo.{name}":
                continue
            raise
        mod.run()
        print()


def main(argv: list[str] | None = None) -> None:
    p = argparse.ArgumentParser(prog="python -m ostrel.demo",
                                description="The ostrel command on a synthesised recording, or "
                                            "(--tour) a tour of the Python API.")
    p.add_argument("--tour", action="store_true", help="walk through the Python API, section by section")
    if p.parse_args(argv).tour:
        tour()
    else:
        command.run()


if __name__ == "__main__":
    main()
