#!/usr/bin/env bash
# Runs a command inside a minimal Debian unstable root of the arm64
# architecture, under qemu-user emulation, with this checkout bind-mounted
# at /checkout as the working directory: scripts/debian_sid.sh with
# DEBIAN_ARCH=arm64 (see there).  Needs root; installs qemu-user-static and
# binfmt-support when the machine lacks them.
#
#   bash scripts/debian_arm64.sh python3.14 -c 'import platform; print(platform.machine())'
#
# The root (every supported version's interpreter, headers and venv module)
# is made on first use, by Debian's own tools under emulation (slowly:
# docs/development.md gives the time), and kept in $SID_ROOT (default
# ~/.cache/vantel-color/sid-arm64).  With DEBIAN_SID_MINIMAL=1 it is the
# minimal root instead, the interpreters and their headers unpacked by this
# machine in under a minute, nothing run emulated to make it (no pip, no
# apt), in ~/.cache/vantel-color/sid-arm64-minimal: what scripts/arm64.sh
# uses unless --full.
set -euo pipefail
cd "$(dirname "$0")/.."
DEBIAN_ARCH=arm64 exec bash scripts/debian_sid.sh "$@"
