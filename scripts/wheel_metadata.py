"""Checks a repaired release wheel's licence, version and tags:

    python scripts/wheel_metadata.py WHEEL WANTED_TAG SDIST_NAME

run from the checkout's top (it compares the wheel's licence with LICENSE)."""

import email.parser
import sys
import zipfile
from pathlib import Path

wheel, wanted_tag, sdist_name = sys.argv[1:]
sdist_version = sdist_name.removesuffix(".tar.gz").split("-")[1]
license_text = Path("LICENSE").read_bytes()
parse = email.parser.BytesParser().parsebytes

with zipfile.ZipFile(wheel) as archive:
    (info,) = {name.split("/")[0] for name in archive.namelist() if ".dist-info/" in name}
    if archive.read(f"{info}/licenses/LICENSE") != license_text:
        sys.exit(f"{wheel}: {info}/licenses/LICENSE differs from the source tree's")
    metadata = parse(archive.read(f"{info}/METADATA"))
    if metadata["Version"] != sdist_version:
        sys.exit(f"{wheel}: version {metadata['Version']}, the sdist's {sdist_version}")
    if metadata["License-Expression"] != "MIT" or metadata["License-File"] != "LICENSE":
        sys.exit(
            f"{wheel}: License-Expression {metadata['License-Expression']!r}, "
            f"License-File {metadata['License-File']!r}"
        )
    tags = parse(archive.read(f"{info}/WHEEL")).get_all("Tag", [])
    if wanted_tag not in tags:
        sys.exit(f"{wheel}: WHEEL tags {tags} lack {wanted_tag}")
    free_threading = "Programming Language :: Python :: Free Threading :: 3 - Stable"
    if wanted_tag.split("-")[1].endswith("t") and free_threading not in metadata.get_all(
        "Classifier", []
    ):
        sys.exit(f"{wheel}: a free-threaded wheel without the classifier {free_threading!r}")
    # A grafted library would mean the module started to need one from
    # outside the interpreter.
    grafted = [name for name in archive.namelist() if ".libs/" in name]
    if grafted:
        sys.exit(f"{wheel}: auditwheel grafted libraries into the wheel: {grafted}")
print(f"ok: version {metadata['Version']}, MIT licence, tags {', '.join(tags)}")
