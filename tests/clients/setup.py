"""Build the test clients against the installed talvex package only.

    python setup.py build_ext --build-lib build
    TVCLIENTS=tvclient_c python setup.py build_ext ...   # only those named
"""
import os

from Cython.Build import cythonize
from setuptools import Extension, setup

import pybind11
import talvex

include = [talvex.get_include()]
# setuptools rebuilds an extension only when a listed file changed.
header = [os.path.join(talvex.get_include(), "talvex", "state.h")]
warnings = ["-Wall", "-Wextra", "-Werror", "-Wno-unused-parameter"]

EXTENSIONS = [
    Extension("tvclient_c", ["tvclient.c"], include_dirs=include,
              depends=["tvrecurse.h", *header],
              extra_compile_args=["-std=c99", "-D_POSIX_C_SOURCE=200809L",
                                  "-D_DEFAULT_SOURCE", *warnings]),
    Extension("tvclient_cpp", ["tvclient_cpp.cpp"], include_dirs=include,
              depends=["tvclient.c", "tvrecurse.h", *header],
              extra_compile_args=["-std=c++17", *warnings]),
    Extension("tvthreads", ["tvthreads.cpp"], include_dirs=include, depends=header,
              extra_compile_args=["-std=c++17", *warnings]),
    # Polls outside regions and scopes, as a newcomer's worker would.
    Extension("tvroute", ["tvroute.cpp"], include_dirs=include, depends=header,
              extra_compile_args=["-std=c++17", *warnings]),
    Extension("tvclient_threads", ["tvclient_threads.c"],
              extra_compile_args=["-std=c11", "-D_POSIX_C_SOURCE=200809L", *warnings]),
    # A library with a fault handler of its own; no talvex in it.
    Extension("tvguard", ["tvguard.c"],
              extra_compile_args=["-std=c11", "-D_DEFAULT_SOURCE", *warnings]),
    # The record's protocol by hand, through __pyx_capi__ alone: no header.
    Extension("tvspec", ["tvspec.c"], depends=["tvrecurse.h"],
              extra_compile_args=["-std=c11", "-D_DEFAULT_SOURCE", *warnings]),
    Extension("tvclient_badsig", ["tvclient_badsig.c"], include_dirs=include, depends=header,
              extra_compile_args=["-std=c11", *warnings]),
    # One module of two files; the same without any talvex_import() call.
    Extension("tvclient_split", ["tvclient_split_init.c", "tvclient_split_work.c"],
              include_dirs=include, depends=header,
              extra_compile_args=["-std=c99", *warnings]),
    Extension("tvclient_lazy", ["tvclient_split_init.c", "tvclient_split_work.c"],
              include_dirs=include, depends=header,
              define_macros=[("TVSPLIT_NAME", "tvclient_lazy"), ("TVSPLIT_IMPORT", "0")],
              extra_compile_args=["-std=c99", *warnings]),
    # Regions in thread pools, one client written as a pybind11 user and
    # one as a Cython user would; tvpool.h is what the tests share.
    Extension("tvpool_pb", ["tvpool_pb.cpp"], include_dirs=[*include, pybind11.get_include()],
              depends=["tvpool.h", *header],
              extra_compile_args=["-std=c++17", "-fvisibility=hidden", *warnings]),
    Extension("tvclient_cy", ["tvclient_cy.pyx"], include_dirs=include),
    Extension("tvclient_cimport", ["tvclient_cimport.pyx"], include_dirs=include),
    Extension("tvpool_cy", ["tvpool_cy.pyx"], include_dirs=[*include, "."],
              depends=["tvpool.h", *header]),
]
# make demo builds only the client it uses.
wanted = os.environ.get("TVCLIENTS", "").split()

setup(
    name="talvex-test-clients",
    ext_modules=cythonize([e for e in EXTENSIONS if not wanted or e.name in wanted],
                          build_dir="build/cython", quiet=True),
)
