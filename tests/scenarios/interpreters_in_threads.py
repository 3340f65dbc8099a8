"""argv[1] threads each start a second interpreter that imports the module,
while another thread of the main interpreter keeps using a colour."""

import _interpreters
import sys
import threading

import vantel.color.color  # noqa: F401
from common import report
from vantel.color.color import Color

SUB_SCRIPT = "import vantel.color.color"
outcomes = []
stop = threading.Event()
main_results = []


def start_interpreter(index):
    sub = _interpreters.create("legacy")
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


worker = threading.Thread(target=keep_working)
worker.start()
threads = [threading.Thread(target=start_interpreter, args=(i,)) for i in range(int(sys.argv[1]))]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
stop.set()
worker.join()
report({
    "outcomes": outcomes,
    "main_ok": all(main_results),
    "main_steps": len(main_results) > 0,
    "after": list(Color(9, 8, 7)),
})
