"""argv[1] threads each start a second interpreter that imports the module,
while another thread of the main interpreter keeps using a colour.  With
argv[2] "racing", the main interpreter's first import is made at the same
moment instead: whichever interpreter creates the module first owns the
process, and every other is refused."""

import _interpreters
import sys
import threading

from common import report

SUB_SCRIPT = "import vantel.color.color"
count = int(sys.argv[1])
outcomes = []
stop = threading.Event()
main_results = []
barrier = threading.Barrier(count + 1)


def start_interpreter(index):
    sub = _interpreters.create("legacy")
    barrier.wait()
    try:
        snapshot = _interpreters.run_string(sub, SUB_SCRIPT)
    finally:
        _interpreters.destroy(sub)
    outcomes.append(None if snapshot is None else [snapshot.type.__name__, snapshot.msg])


def keep_working():
    colour = Color(0, 0, 0)
    step = 0
    while not stop.is_set():
        colour.r = step
        main_results.append(list(colour) == [min(step, 255), 0, 0, 255])
        step += 1


threads = [threading.Thread(target=start_interpreter, args=(i,)) for i in range(count)]
if sys.argv[2:] == ["racing"]:
    for thread in threads:
        thread.start()
    barrier.wait()
    try:
        import vantel.color.color  # noqa: F401
    except ImportError as error:
        outcomes.append(["ImportError", str(error)])
    else:
        outcomes.append(None)
    for thread in threads:
        thread.join()
    report({"owners": outcomes.count(None), "refused": sorted(filter(None, outcomes))})
    sys.exit()

from vantel.color.color import Color  # noqa: E402

worker = threading.Thread(target=keep_working)
worker.start()
for thread in threads:
    thread.start()
barrier.wait()
for thread in threads:
    thread.join()
stop.set()
worker.join()
report(
    {
        "outcomes": outcomes,
        "main_ok": all(main_results),
        "main_steps": len(main_results) > 0,
        "after": list(Color(9, 8, 7)),
    }
)
