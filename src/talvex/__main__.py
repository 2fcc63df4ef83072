"""python -m talvex --include | --cmake-dir: paths for a client's build."""
import argparse
import os
import sys


def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(prog="python -m talvex", description=__doc__)
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--include", action="store_true",
                       help="the directory that holds talvex/state.h")
    group.add_argument("--cmake-dir", action="store_true",
                       help="the directory that holds talvexConfig.cmake")
    args = parser.parse_args(argv)
    if args.include:
        print(os.path.join(here, "include"))
    else:
        print(os.path.join(here, "share", "cmake", "talvex"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
