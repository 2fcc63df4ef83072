"""python -m talvex --include | --cmake-dir | --version: paths for a
client's build, and the package's version."""
import argparse
import sys

import talvex


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m talvex", description=__doc__)
    parser.add_argument("--version", action="version", version=f"talvex {talvex.__version__}")
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--include", action="store_true",
                       help="the directory that holds talvex/state.h")
    group.add_argument("--cmake-dir", action="store_true",
                       help="the directory that holds talvexConfig.cmake")
    args = parser.parse_args(argv)
    print(talvex.get_include() if args.include else talvex.get_cmake_dir())
    return 0


if __name__ == "__main__":
    sys.exit(main())
