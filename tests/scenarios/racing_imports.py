"""argv[1] threads load the module at once, each in the way argv[2] names,
and each makes a colour with the module it got:

- "import": the import statement's machinery, under importlib's lock;
- "create and exec": importlib.util.module_from_spec, then the loader's
  exec_module, which take no lock: a thread whose module another thread's
  exec got ahead of is refused, as create, create, exec, exec is in one
  thread, and one that creates while another executes gets that module as
  it stands, and waits here until it is whole;
- "import, create and exec": every other thread each way, the import
  without the package's __init__, which would refuse a module that is not
  whole yet."""

import glob
import importlib.util
import sys
import sysconfig
import threading
import time

from common import bare_packages, report

count = int(sys.argv[1])
barrier = threading.Barrier(count)
modules = []
refusals = []


def imported():
    return importlib.import_module("vantel.color.color")


# Found without importing the package, whose __init__ imports the module.
(path,) = glob.glob(sysconfig.get_paths()["platlib"] + "/vantel/color/color.*.so")
spec = importlib.util.spec_from_file_location("vantel.color.color", path)


def created_and_executed():
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def whole(module):
    deadline = time.monotonic() + 60
    while not hasattr(module, "__test__") and time.monotonic() < deadline:
        time.sleep(0.001)
    return module


if sys.argv[2] == "import, create and exec":
    bare_packages(path)
loads = {
    "import": [imported],
    "create and exec": [created_and_executed],
    "import, create and exec": [imported, created_and_executed],
}[sys.argv[2]]


def worker(index):
    barrier.wait()
    try:
        module = whole(loads[index % len(loads)]())
    except RuntimeError as error:
        refusals.append(str(error))
        return
    modules.append((module, list(module.Color(index, 2 * index, 300))))


threads = [threading.Thread(target=worker, args=(i,)) for i in range(count)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
report(
    {
        "distinct": len({id(module) for module, _ in modules}),
        "registered": all(module is sys.modules["vantel.color.color"] for module, _ in modules),
        "colours": sorted(colour for _, colour in modules),
        "refusals": sorted(set(refusals)),
        "all": len(modules) + len(refusals),
    }
)
