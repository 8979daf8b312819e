import importlib

from . import SECTIONS


def main() -> None:
    for name in SECTIONS:
        try:
            mod = importlib.import_module(f"ostrel.demo.{name}")
        except ModuleNotFoundError as e:
            if e.name == f"ostrel.demo.{name}":
                continue
            raise
        mod.run()
        print()


if __name__ == "__main__":
    main()
