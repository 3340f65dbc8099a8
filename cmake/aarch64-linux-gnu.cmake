# Cross-compiling for 64-bit ARM Linux with Debian's GNU cross toolchain
# (apt-get install g++-aarch64-linux-gnu), as scripts/arm64.sh does.  The
# C library comes with the toolchain; the Python headers and the extension
# suffix come from the caller (Python_INCLUDE_DIR, Python_SOABI), since the
# interpreter running the build is this machine's.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
