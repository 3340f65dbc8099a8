"""vantel: Python bindings for the raylib graphics library."""
