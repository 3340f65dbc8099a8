"""Colours used from several threads at once.

Threads construct, assign, re-initialise, print and iterate shared and
private colours concurrently, with the interpreter switching threads as
often as it can and with __int__ methods that hand the lock to other
threads in the middle of a conversion.  Private colours must end exactly as
their thread's own model says; shared colours must always hold channels in
0..255, and a colour that is only ever re-initialised to four equal values
must always print four equal values (one store, one consistent reading).  A
generator shared by threads yields each channel once in all and refuses
concurrent use only with "generator already executing".

In fresh interpreters: threads race to import the module and get one module
object; threads that each start a second interpreter are refused by the
one-interpreter rule while the first interpreter keeps working; and threads
that retry an import after a failed execution all end with the same module.
"""

import random
import re
import sys
import threading
import time

import pytest

from support import (
    INTERPRETER_CHANGE,
    REINITIALISATION,
    VERSION_WARNING,
    WORKING,
    clamp,
    run_scenario,
)
from vantel.color.color import Color

pytestmark = pytest.mark.interpreters

THREADS = 8
STEPS = 1500
TEXT_FORM = re.compile(r"Color\((\d{1,3}), (\d{1,3}), (\d{1,3}), (\d{1,3})\)")
PROPERTIES = {"r": 0, "g": 1, "b": 2, "a": 3, "red": 0, "green": 1, "blue": 2, "alpha": 3}


def in_range(values):
    return len(values) == 4 and all(type(v) is int and 0 <= v <= 255 for v in values)


class Yielding:
    """An integer whose conversion lets other threads run first."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        time.sleep(0)
        return self.value


@pytest.fixture
def fast_switching():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def run_threads(worker, count=THREADS):
    barrier = threading.Barrier(count)
    failures = []

    def guarded(index):
        try:
            barrier.wait()
            worker(index)
        except BaseException as error:  # reported by the main thread
            failures.append((index, error))

    threads = [threading.Thread(target=guarded, args=(index,)) for index in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads), "a thread did not finish"
    if failures:
        raise failures[0][1]


def test_shared_and_private_colours(fast_switching):
    shared = [Color(0, 0, 0, 0) for _ in range(3)]
    uniform = Color(5, 5, 5, 5)
    generators = [iter(shared[0])]

    def worker(index):
        rng = random.Random(index)
        private = Color(1, 2, 3)
        model = [1, 2, 3, 255]
        for _ in range(STEPS):
            action = rng.randrange(9)
            value = rng.randrange(-400, 700)
            target = rng.choice(shared)
            if action == 0:
                colour = Color(value, -value, value // 2, rng.randrange(-10, 300))
                assert list(colour) == [clamp(value), clamp(-value), clamp(value // 2), colour.a]
            elif action == 1:
                name = rng.choice(sorted(PROPERTIES))
                setattr(private, name, Yielding(value) if value % 3 == 0 else value)
                model[PROPERTIES[name]] = clamp(value)
            elif action == 2:
                setattr(target, rng.choice(sorted(PROPERTIES)), Yielding(value))
            elif action == 3:
                target.__init__(value, Yielding(value + 1), value + 2)
            elif action == 4:
                uniform.__init__(value, value, value, value)
            elif action == 5:
                groups = TEXT_FORM.fullmatch(repr(uniform)).groups()
                assert len(set(groups)) == 1, groups
            elif action == 6:
                assert in_range(list(target))
                text = TEXT_FORM.fullmatch(repr(target))
                assert in_range([int(group) for group in text.groups()])
            elif action == 7:
                # A generator stepped while other threads change its colour.
                generator = iter(target)
                seen = [next(generator)]
                target.g = Yielding(value)
                seen.extend(generator)
                assert in_range(seen)
            else:
                try:
                    item = next(generators[0])
                except StopIteration:
                    generators[0] = iter(rng.choice(shared))
                except ValueError as error:
                    assert str(error) == "generator already executing"
                else:
                    assert 0 <= item <= 255
            if action in (1, 2, 3):
                assert [private.r, private.g, private.b, private.a] == model
        assert list(private) == model
        assert repr(private) == "Color({}, {}, {}, {})".format(*model)

    run_threads(worker)
    for colour in shared + [uniform]:
        assert in_range(list(colour))


class SlowError(Exception):
    """Made by throw(); while it is being made, other threads try to use the
    same generator."""

    def __init__(self, *args):
        super().__init__(*args)
        time.sleep(0.001)


class Window:
    """Counts the moments in which a generator is claimed by throw() while
    SlowError is being made: odd while one is open."""

    def __init__(self):
        self.count = 0


class WindowError(Exception):
    """Made by throw(), slowly, inside a window."""

    window = None

    def __init__(self, *args):
        super().__init__(*args)
        self.window.count += 1
        time.sleep(0.0005)
        self.window.count += 1


CHANNELS = [11, 22, 33, 44]
REFUSED = "generator already executing"


def gen_next(generator):
    return next(generator)


def gen_send(generator):
    return generator.send(None)


def gen_throw(generator):
    return generator.throw(WindowError)


def gen_close(generator):
    return generator.close()


def gen_list(generator):
    """Drains the generator.  Refused part way, the items it took before
    travel with the refusal: they were yielded all the same."""
    taken = []
    try:
        for item in generator:
            taken.append(item)
    except ValueError as error:
        error.taken = taken
        raise
    return taken


def gen_inspect(generator):
    """Reads and replaces what another thread may be clearing as the
    generator finishes: it reads as it was, or as None, never freed."""
    for code in (getattr(generator.gi_frame, "f_code", None), generator.gi_code):
        assert code is None or code.co_name == "__iter__"
    assert generator.__name__ in ("__iter__", "renamed", None)
    assert generator.gi_running in (False, True)
    generator.__name__ = "renamed"
    return "inspected"


# Calls that threads make on one generator at once, with the weights they are
# drawn by: the ones that end it (throw, close, list) are rare, so that most
# rounds resume a generator from several threads at once for a while.
GENERATOR_MIXES = {
    "next": [(gen_next, 1)],
    "next and send": [(gen_next, 4), (gen_send, 4)],
    "everything": [
        (gen_next, 20),
        (gen_send, 20),
        (gen_inspect, 10),
        (gen_throw, 1),
        (gen_close, 1),
        (gen_list, 2),
    ],
}


@pytest.mark.parametrize("mix", GENERATOR_MIXES.values(), ids=GENERATOR_MIXES.keys())
def test_generator_shared_by_threads(fast_switching, mix):
    """However threads interleave on one generator, it yields each channel at
    most once, in order, and refuses every call that would resume it while
    another thread runs it: a call made wholly while throw() forms its
    exception is always refused."""
    calls, weights = zip(*mix, strict=True)
    rounds = 60
    generators = []
    for _ in range(rounds):
        window = Window()
        generators.append((iter(Color(*CHANNELS)), window, []))
    barrier = threading.Barrier(4)

    def worker(index):
        try:
            steps(random.Random(index))
        except BaseException:
            barrier.abort()  # the others stop too
            raise

    def steps(rng):
        for generator, window, produced in generators:
            barrier.wait()
            for _ in range(12):
                call = rng.choices(calls, weights)[0]
                WindowError.window = window
                opened = window.count
                try:
                    result = call(generator)
                except StopIteration:
                    result = "finished"
                except WindowError:
                    result = "thrown"
                except ValueError as error:
                    assert str(error) == REFUSED
                    produced.extend(getattr(error, "taken", ()))
                    continue
                if call is not gen_inspect and opened % 2 == 1 and window.count == opened:
                    raise AssertionError(f"{call.__name__} ran inside throw(): {result!r}")
                if call is gen_list:
                    produced.extend(result)
                elif isinstance(result, int):
                    produced.append(result)

    run_threads(worker, count=4)
    for generator, window, produced in generators:
        # Each channel at most once, and in order: a prefix of the channels.
        assert sorted(produced) == CHANNELS[: len(produced)], produced
        if window.count == 0:
            continue
        with pytest.raises(StopIteration):
            next(generator)
        assert generator.gi_frame is None  # not one kept by a read racing the end


def test_throw_refuses_other_threads_while_it_forms_the_exception(fast_switching):
    colour = Color(1, 2, 3, 4)
    generator = iter(colour)
    assert next(generator) == 1
    outcomes = []

    def worker(index):
        if index == 0:
            try:
                generator.throw(SlowError)
            except SlowError:
                outcomes.append("thrown")
            return
        for _ in range(200):
            try:
                outcomes.append(next(generator))
            except StopIteration:
                outcomes.append("finished")
            except ValueError as error:
                outcomes.append(str(error))
            time.sleep(0)

    run_threads(worker, count=4)
    assert outcomes.count("thrown") == 1
    # Until throw() finished the generator, the others were refused or got
    # the next channel; afterwards it stays finished.
    allowed = {"thrown", "finished", "generator already executing", 2, 3, 4}
    assert set(outcomes) <= allowed, set(outcomes) - allowed
    with pytest.raises(StopIteration):
        next(generator)


def test_subclass_finalisers_in_threads(fast_switching):
    finalised = []

    class Finalised(Color):
        def __del__(self):
            finalised.append(tuple(self))

    def worker(index):
        for step in range(300):
            colour = Finalised(index, step, 3)
            iter(colour)
            generator = iter(colour)
            next(generator)
            del colour, generator

    run_threads(worker)
    assert len(finalised) == THREADS * 300
    assert all(in_range(list(values)) for values in finalised)


# ---------------------------------------------------------------------------
# Every kind of object the module makes: each operation that changes it races
# each operation that reads it.  A reader may see any value a writer stored,
# or the first, but nothing half-made: `check` says what a single thread
# could have seen.  A new attribute gets its row here.


class Tinted(Color):
    pass


class Shaded(Color):
    pass


# Names are made afresh, so that a replaced one is freed at once.
NAME = r"(first|second|third)\d+"
TEXTS = (
    "__iter__",
    "Color.__iter__",
    "__reduce_cython__",
    "Color.__reduce_cython__",
    "vantel.color.color",
)
OBJECT_REPR = re.compile(
    rf"<(function ({NAME}|Color.__reduce_cython__)|vantel.color.color.generator object)"
    r" at 0x[0-9a-f]+>"
)


def known_text(value):
    return value in TEXTS or re.fullmatch(NAME, value) or OBJECT_REPR.fullmatch(value)


def in_range_or_text(value):
    return in_range(value) if isinstance(value, list) else TEXT_FORM.fullmatch(value) is not None


def set_names(target, step):
    for attribute in ("__name__", "__qualname__", "__module__"):
        setattr(target, attribute, ("first", "second", "third")[step % 3] + str(step))


def resume(generator, step):
    try:
        next(generator, None)
    except ValueError as error:  # another writer is running it
        assert str(error) == REFUSED


def weak_reference(target, step):
    import weakref

    assert weakref.ref(target)() is target


# kind: (make, writers, readers, check of what a reader returned)
RACES = {
    "colour": (
        lambda: Color(1, 2, 3, 4),
        [
            lambda c, step: setattr(c, "rg"[step % 2], step),
            lambda c, step: c.__init__(step, -step, 3 * step),
        ],
        [list, repr, lambda c: [c.red, c.green, c.blue, c.alpha], lambda c: [*c]],
        in_range_or_text,
    ),
    "subclass instance": (
        lambda: Tinted(1, 2, 3, 4),
        [
            lambda c, step: setattr(c, "__class__", (Tinted, Shaded)[step % 2]),
            lambda c, step: setattr(c, "note", step),
            lambda c, step: setattr(c, "alpha", step),
            weak_reference,
        ],
        [
            list,
            repr,
            lambda c: type(c).__name__,
            lambda c: c.__dict__.get("note", 0),
            lambda c: len(__import__("weakref").getweakrefs(c)),
        ],
        lambda value: (
            value in ("Tinted", "Shaded") or type(value) is int or in_range_or_text(value)
        ),
    ),
    "generator": (
        lambda: iter(Color(1, 2, 3, 4)),
        [set_names, weak_reference, resume],
        [
            repr,
            lambda g: g.__name__,
            lambda g: g.__qualname__,
            lambda g: g.__module__,
            lambda g: g.gi_frame is None or g.gi_frame.f_code.co_name,
            lambda g: [g.gi_running, g.gi_suspended],
        ],
        lambda value: not isinstance(value, str) or known_text(value),
    ),
    "module-level function": (
        lambda: __import__("vantel.color.color", fromlist=["_"]).__reduce_cython__,
        [set_names],
        [
            repr,
            lambda f: f.__name__,
            lambda f: f.__qualname__,
            lambda f: f.__module__,
            lambda f: f.__code__.co_name,
            lambda f: f.__globals__["__name__"],
        ],
        known_text,
    ),
}
RACE_PAIRS = [
    pytest.param(kind, w, r, id=f"{kind}-writer{w}-reader{r}")
    for kind, (_, writers, readers, _) in RACES.items()
    for w in range(len(writers))
    for r in range(len(readers))
]


@pytest.mark.parametrize(("kind", "writer", "reader"), RACE_PAIRS)
def test_writer_races_reader(fast_switching, kind, writer, reader):
    make, writers, readers, check = RACES[kind]
    target = make()
    saved = {
        name: getattr(target, name)
        for name in ("__name__", "__qualname__", "__module__")
        if kind == "module-level function"
    }
    seen = []

    def worker(index):
        for step in range(300):
            if index % 2:
                writers[writer](target, step)
            else:
                seen.append(readers[reader](target))

    try:
        run_threads(worker, count=4)
    finally:
        for name, value in saved.items():
            setattr(target, name, value)
    bad = [value for value in seen if not check(value)]
    assert not bad, bad[:3]


# ---------------------------------------------------------------------------
# Imports from several threads, in fresh interpreters.


def test_threads_racing_to_import_get_one_module():
    assert run_scenario("racing_imports", THREADS, "import") == {
        "distinct": 1,
        "registered": True,
        "colours": sorted([i, 2 * i, 255, 255] for i in range(THREADS)),
        "refusals": [],
        "all": THREADS,
    }


@pytest.mark.parametrize("mode", ["create and exec", "import, create and exec"])
def test_threads_racing_to_create_and_execute_get_one_module(mode):
    """Each thread gets the one module, as it stands if another thread is
    still executing it, or the refusal a module made before another thread's
    exec gets; never two executed modules, and no thread waits for another's
    exec, which could close a cycle with importlib's locks."""
    for _ in range(10):
        outcome = run_scenario("racing_imports", THREADS, mode)
        assert outcome["refusals"] in ([], [REINITIALISATION])
        assert outcome["distinct"] == 1, outcome
        assert outcome["registered"], outcome
        assert outcome["all"] == THREADS, outcome  # a thread that got no Color failed
        assert all(c[1:] == [2 * c[0], 255, 255] for c in outcome["colours"]), outcome


@pytest.mark.parametrize(
    "how", ["imports", "waits for a worker", "races a worker", "is forked past"]
)
def test_python_code_inside_exec_never_waits_for_it(how):
    assert run_scenario("exec_runs_python_code", how) == {
        "finished": True,
        "child finished": True if how == "is forked past" else None,
        "got the module": True,
        "executed": True,
    }


def test_second_interpreters_started_from_threads_are_refused():
    assert run_scenario("interpreters_in_threads", 4) == {
        "outcomes": [["ImportError", INTERPRETER_CHANGE]] * 4,
        "main_ok": True,
        "main_steps": True,
        "after": [9, 8, 7, 255],
    }
    # The main interpreter's first import races theirs: one owner, whichever.
    assert run_scenario("interpreters_in_threads", 4, "racing") == {
        "owners": 1,
        "refused": [["ImportError", INTERPRETER_CHANGE]] * 4,
    }


def test_threads_retrying_after_a_failed_execution(pretend):
    assert run_scenario("retry_in_threads", 4, site=pretend[0]) == {
        "failures": [["RuntimeWarning", VERSION_WARNING]] * 4,
        "distinct": 1,
        "registered": True,
        "works": [WORKING],
    }
