"""argv[1] threads import the module at once and each makes a colour."""

import importlib
import sys
import threading

from common import report

count = int(sys.argv[1])
barrier = threading.Barrier(count)
modules = []


def worker(index):
    barrier.wait()
    module = importlib.import_module("vantel.color.color")
    modules.append((module, list(module.Color(index, 2 * index, 300))))


threads = [threading.Thread(target=worker, args=(i,)) for i in range(count)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
report({
    "count": len(modules),
    "distinct": len({id(module) for module, _ in modules}),
    "registered": all(module is sys.modules["vantel.color.color"] for module, _ in modules),
    "colours": sorted(colour for _, colour in modules),
})
