"""Checks the metadata of a release artifact, from the checkout's top (it
compares the artifact's licence with LICENSE):

    python scripts/check_metadata.py SDIST
    python scripts/check_metadata.py WHEEL WANTED_TAG SDIST_NAME

Both carry the source tree's licence and say so; a repaired wheel also has
the sdist's version, the wanted tag, the free-threading classifier where its
tag is free-threaded, and no file but src/vantel's and the module's."""

import email.message
import email.parser
import re
import sys
import tarfile
import zipfile
from pathlib import Path

parse = email.parser.BytesParser().parsebytes


def check_licence(artifact: str, metadata: email.message.Message, license_text: bytes) -> None:
    if license_text != Path("LICENSE").read_bytes():
        sys.exit(f"{artifact}: its LICENSE differs from the source tree's")
    if metadata["License-Expression"] != "MIT" or metadata["License-File"] != "LICENSE":
        sys.exit(
            f"{artifact}: License-Expression {metadata['License-Expression']!r}, "
            f"License-File {metadata['License-File']!r}"
        )


def check_sdist(sdist: str) -> None:
    with tarfile.open(sdist) as archive:
        root = archive.getnames()[0].split("/")[0]

        def read(name: str) -> bytes:
            member = archive.extractfile(f"{root}/{name}")
            if member is None:
                sys.exit(f"{sdist}: no {name}")
            return member.read()

        metadata = parse(read("PKG-INFO"))
        check_licence(sdist, metadata, read("LICENSE"))
    print(f"ok: version {metadata['Version']}, MIT licence")


def check_wheel(wheel: str, wanted_tag: str, sdist_name: str) -> None:
    sdist_version = sdist_name.removesuffix(".tar.gz").split("-")[1]
    with zipfile.ZipFile(wheel) as archive:
        (info,) = {name.split("/")[0] for name in archive.namelist() if ".dist-info/" in name}
        metadata = parse(archive.read(f"{info}/METADATA"))
        check_licence(wheel, metadata, archive.read(f"{info}/licenses/LICENSE"))
        if metadata["Version"] != sdist_version:
            sys.exit(f"{wheel}: version {metadata['Version']}, the sdist's {sdist_version}")
        tags = parse(archive.read(f"{info}/WHEEL")).get_all("Tag", [])
        if wanted_tag not in tags:
            sys.exit(f"{wheel}: WHEEL tags {tags} lack {wanted_tag}")
        free_threading = "Programming Language :: Python :: Free Threading :: 3 - Stable"
        classifiers = metadata.get_all("Classifier", [])
        if wanted_tag.split("-")[1].endswith("t") and free_threading not in classifiers:
            sys.exit(f"{wheel}: a free-threaded wheel without the classifier {free_threading!r}")
        # Beside the metadata, only src/vantel's files and the module: not a
        # source file or an internal header installed by mistake, nor a
        # library that auditwheel grafted (the module would need one from
        # outside the interpreter).
        package = Path("src/vantel")
        tree = {str(path.relative_to("src")) for path in (package, *package.rglob("*"))}
        strays = [
            name
            for name in archive.namelist()
            if not name.startswith(f"{info}/")
            and name.rstrip("/") not in tree
            and not re.fullmatch(r"vantel/color/color\.[\w.-]+\.so", name)
        ]
        if strays:
            sys.exit(f"{wheel}: files from neither src/vantel nor the build: {strays}")
    print(f"ok: version {metadata['Version']}, MIT licence, tags {', '.join(tags)}")


if __name__ == "__main__":
    if len(sys.argv) == 2:
        check_sdist(sys.argv[1])
    else:
        check_wheel(*sys.argv[1:4])
