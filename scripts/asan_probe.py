"""A heap overflow, which the nox session sanitize runs with AddressSanitizer
preloaded: the report it must write proves that the preloaded runtime
watches the process."""

import ctypes

libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
block = libc.malloc(8)
ctypes.string_at(block + 16, 8)
