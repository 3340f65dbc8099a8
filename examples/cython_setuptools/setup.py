import vantel.color
from Cython.Build import cythonize
from setuptools import Extension, setup

setup(
    ext_modules=cythonize(
        [Extension("shade", ["shade.pyx"], include_dirs=[vantel.color.get_include()])]
    )
)
