from setuptools import Extension, setup

import talvex

setup(name="spin", ext_modules=[
    Extension("spin", ["spin.c"], include_dirs=[talvex.get_include()]),
])
