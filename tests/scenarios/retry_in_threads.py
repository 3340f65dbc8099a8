"""argv[1] threads import the test build at once with its version warning
made an error, then as many again with the warning ignored."""

import sys
import threading
import warnings

from common import report, works


def import_all(count):
    barrier = threading.Barrier(count)
    outcomes = []

    def worker():
        barrier.wait()
        try:
            import vantel.color.color as module
        except RuntimeWarning as exc:
            outcomes.append(["RuntimeWarning", str(exc)])
        else:
            outcomes.append(module)

    threads = [threading.Thread(target=worker) for _ in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return outcomes


count = int(sys.argv[1])
warnings.simplefilter("error", RuntimeWarning)
failures = import_all(count)
warnings.resetwarnings()
warnings.simplefilter("ignore", RuntimeWarning)
modules = import_all(count)
report(
    {
        "failures": failures,
        "distinct": len({id(module) for module in modules}),
        "registered": all(module is sys.modules["vantel.color.color"] for module in modules),
        "works": [works(module) for module in modules[:1]],
    }
)
