from Cython.Build import cythonize
from setuptools import Extension, setup

import talvex

setup(
    name="talvex-example-cython",
    version="0.1.0",
    install_requires=["talvex"],
    ext_modules=cythonize([
        Extension("talvex_example_cython", ["primes.pyx"],
                  include_dirs=[talvex.get_include()]),
    ]),
)
