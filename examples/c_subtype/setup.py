from setuptools import Extension, setup

import vantel.color

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
