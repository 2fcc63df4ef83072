from Cython.Build import cythonize
from setuptools import Extension, setup

import talvex

# readme: setuptools
setup(
    name="talvex-example-cython",
    version="0.1.0",
    ext_modules=cythonize([
        Extension("talvex_example_cython", ["primes.pyx"],
                  include_dirs=[talvex.get_include()]),
    ]),
)
# readme: end
