"""python -m talvex: paths for a client's build, the crash reports that
talvex kept, and the package's version."""
import argparse
import sys

import talvex

from . import _reports

OPTIONS = ("--version", "--include", "--cmake-dir", "--crash-reports")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m talvex", description=__doc__,
        usage="%(prog)s [-h] (" + " | ".join(OPTIONS) + ")")
    # One of them, which parse_known_args() does not require, so that an
    # unknown option is reported as such rather than as a missing one.
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--version", action="version", version=f"talvex {talvex.__version__}")
    group.add_argument("--include", action="store_true",
                       help="the directory that holds talvex/state.h")
    group.add_argument("--cmake-dir", action="store_true",
                       help="the directory that holds talvexConfig.cmake")
    group.add_argument("--crash-reports", action="store_true",
                       help="the crash reports kept in the state directory "
                            "($XDG_STATE_HOME/talvex or ~/.local/state/talvex), oldest first: "
                            "those of processes whose standard error nobody could read")
    args, unknown = parser.parse_known_args(argv)
    if unknown:
        parser.error("unrecognized arguments: %s" % " ".join(unknown))
    if args.crash_reports:
        for path in _reports.saved_reports():
            print(path)
    elif args.include:
        print(talvex.get_include())
    elif args.cmake_dir:
        print(talvex.get_cmake_dir())
    else:
        parser.error("one of the arguments %s is required" % " ".join(OPTIONS))
    return 0


if __name__ == "__main__":
    sys.exit(main())
