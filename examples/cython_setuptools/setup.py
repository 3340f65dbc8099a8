from Cython.Build import cythonize
from setuptools import Extension, setup

import vantel.color

setup(
    ext_modules=cythonize(
        [Extension("shade", ["shade.pyx"], include_dirs=[vantel.color.get_include()])]
    )
)
