"""A thread executes a module made by importlib.util.module_from_spec (no
import lock of importlib's held) whose __setattr__ runs Python code in the
middle of exec; that code does what argv[1] names:

- "imports": imports the module on its own thread;
- "waits for a worker": starts a thread that imports it, and joins that;
- "races a worker": starts a thread that imports it, imports it itself too,
  then joins the worker (each may wait for importlib's lock of the other);
- "is forked past": waits while the main thread forks; the child imports.

Reports whether everything finished within the time allowed, and whether
every import gave the module being executed."""

import glob
import importlib
import importlib.util
import os
import sys
import sysconfig
import threading
import time
import types

from common import bare_packages, report

LIMIT = 20
how = sys.argv[1]
(path,) = glob.glob(sysconfig.get_paths()["platlib"] + "/vantel/color/color.*.so")
spec = importlib.util.spec_from_file_location("vantel.color.color", path)
bare_packages(path)
module = importlib.util.module_from_spec(spec)
imported = []
inside, forked = threading.Event(), threading.Event()


def import_it():
    imported.append(importlib.import_module("vantel.color.color"))


def joined(thread):
    thread.join(LIMIT)
    return not thread.is_alive()


def in_the_middle():
    if how == "imports":
        import_it()
        return True
    if how == "is forked past":
        inside.set()
        return forked.wait(LIMIT)
    worker = threading.Thread(target=import_it, daemon=True)
    worker.start()
    if how == "races a worker":
        import_it()
    return joined(worker)


class Hooked(types.ModuleType):
    def __setattr__(self, name, value):
        if name == "__builtins__" and not hasattr(self, "finished_inside"):
            object.__setattr__(self, "finished_inside", in_the_middle())
        super().__setattr__(name, value)


def execute():
    module.__class__ = Hooked
    spec.loader.exec_module(module)


executor = threading.Thread(target=execute, daemon=True)
executor.start()
child_finished = None
if how == "is forked past":
    inside.wait(LIMIT)
    child = os.fork()
    if child == 0:
        import_it()
        os._exit(0 if imported[0] is module else 3)
    deadline = time.monotonic() + LIMIT
    while (status := os.waitpid(child, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    child_finished = status[0] != 0 and os.waitstatus_to_exitcode(status[1]) == 0
    if not child_finished and status[0] == 0:
        os.kill(child, 9)
    forked.set()
report(
    {
        "finished": joined(executor) and getattr(module, "finished_inside", False),
        "child finished": child_finished,
        "got the module": all(other is module for other in imported),
        "executed": hasattr(module, "Color"),
    }
)
