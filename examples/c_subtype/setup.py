import vantel.color
from setuptools import Extension, setup

setup(
    ext_modules=[
        Extension(
            "layers",
            ["layers.c"],
            include_dirs=[vantel.color.get_include()],
            extra_compile_args=["-std=c11"],
        )
    ]
)
