"""Iterating over a colour, and what an iterator holds on to.

Iteration yields the four stored channels r, g, b, a as ints, reading each one
at the moment it is produced. Every iter() gives a new, independent generator
whose small state record keeps the colour alive until the generator finishes;
finished records go back to a cache of at most 8 for the next iterator.
"""

import gc
import sys
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantel.color.color as color_module
from vantel.color.color import Color

CHANNELS = ("r", "g", "b", "a")
LONG_NAMES = {"r": "red", "g": "green", "b": "blue", "a": "alpha"}


class Tracked(Color):
    """A colour that can be weakly referenced and can take part in cycles."""


def stored(colour):
    return [colour.r, colour.g, colour.b, colour.a]


# --- what iteration produces -------------------------------------------------


@pytest.mark.parametrize(
    ("make", "expected"),
    [
        (lambda: Color(1, 2, 3, 4), [1, 2, 3, 4]),
        (lambda: Color(255, 0, 0), [255, 0, 0, 255]),
        (lambda: Color(0, 0, 0, 0), [0, 0, 0, 0]),
        (lambda: Color(300, -4, 10), [255, 0, 10, 255]),
        (lambda: Color.__new__(Color), [0, 0, 0, 0]),
        (lambda: Tracked(9, 8, 7, 6), [9, 8, 7, 6]),
    ],
    ids=["four", "three", "zeros", "clamped", "uninitialised", "subclass"],
)
@pytest.mark.parametrize(
    "consume",
    [
        list,
        lambda c: list(tuple(c)),
        lambda c: [v for v in c],
        lambda c: [*c],
        lambda c: list(iter(c)),
        lambda c: list(c.__iter__()),
        lambda c: list(Color.__iter__(c)),
    ],
    ids=["list", "tuple", "for", "star", "iter", "method", "type-method"],
)
def test_every_consumer_sees_the_four_channels(make, expected, consume):
    values = consume(make())
    assert values == expected
    assert all(type(v) is int for v in values)


@given(channels=st.tuples(*[st.integers(0, 255)] * 4))
@settings(max_examples=100)
def test_iteration_matches_the_stored_bytes(channels):
    colour = Color(*channels)
    assert tuple(colour) == channels


def test_unpacks_into_four_names():
    r, g, b, a = Color(10, 20, 30, 40)
    assert (r, g, b, a) == (10, 20, 30, 40)


def unpack_into_three(colour):
    r, g, b = colour
    return r, g, b


def unpack_into_five(colour):
    r, g, b, a, extra = colour
    return r, g, b, a, extra


@pytest.mark.parametrize(
    ("unpack", "message"),
    [
        (unpack_into_three, "too many values to unpack (expected 3)"),
        (unpack_into_five, "not enough values to unpack (expected 5, got 4)"),
    ],
    ids=["three", "five"],
)
def test_unpacking_into_the_wrong_number_of_names(unpack, message):
    with pytest.raises(ValueError) as info:
        unpack(Color(1, 2, 3, 4))
    assert str(info.value) == message


def test_a_colour_has_no_length():
    with pytest.raises(TypeError):
        len(Color(1, 2, 3))


@pytest.mark.parametrize(
    ("value", "colour", "found"),
    [
        (255, Color(255, 0, 0), True),
        (0, Color(255, 0, 0), True),
        (4, Color(1, 2, 3, 4), True),
        (1, Color(1, 2, 3, 4), True),
        (5, Color(1, 2, 3, 4), False),
        (255, Color(1, 2, 3, 4), False),
        (3.0, Color(1, 2, 3, 4), True),
        ("3", Color(1, 2, 3, 4), False),
    ],
)
def test_membership_goes_through_iteration(value, colour, found):
    assert (value in colour) is found
    assert (value not in colour) is not found


def test_yield_from_delegates_next_and_send():
    def outer(colour):
        result = yield from iter(colour)
        yield ("done", result)

    driver = outer(Color(11, 22, 33, 44))
    assert next(driver) == 11
    assert driver.send(99) == 22
    assert driver.send("ignored") == 33
    assert next(driver) == 44
    assert driver.send(None) == ("done", None)
    with pytest.raises(StopIteration):
        next(driver)


def test_yield_from_runs_the_whole_colour():
    def outer(colour):
        yield "start"
        yield from colour
        yield "end"

    assert list(outer(Color(1, 2, 3, 4))) == ["start", 1, 2, 3, 4, "end"]


# --- live reads --------------------------------------------------------------


@pytest.mark.parametrize("consumed", range(5))
@pytest.mark.parametrize("channel", CHANNELS)
@pytest.mark.parametrize("long_name", [False, True], ids=["short", "long"])
def test_a_channel_changed_mid_iteration_shows_in_the_values_to_come(consumed, channel, long_name):
    colour = Color(1, 2, 3, 4)
    it = iter(colour)
    before = [next(it) for _ in range(consumed)]
    setattr(colour, LONG_NAMES[channel] if long_name else channel, 200)
    after = list(it)

    expected = [1, 2, 3, 4]
    index = CHANNELS.index(channel)
    if index >= consumed:
        expected[index] = 200
    assert before + after == expected
    # Values already produced stay as they were.
    assert before == [1, 2, 3, 4][:consumed]


def test_a_change_between_iter_and_the_first_next_shows():
    colour = Color(1, 2, 3, 4)
    it = iter(colour)
    colour.r = 77
    colour.alpha = 0
    assert list(it) == [77, 2, 3, 0]


def test_the_documented_mid_iteration_change():
    colour = Color(1, 2, 3, 4)
    it = iter(colour)
    assert next(it) == 1
    colour.b = 9
    assert next(it) == 2
    assert next(it) == 9


@given(
    start=st.tuples(*[st.integers(0, 255)] * 4),
    steps=st.lists(
        st.one_of(
            st.just(None),
            st.tuples(
                st.sampled_from(CHANNELS + tuple(LONG_NAMES.values())),
                st.integers(-20, 300),
            ),
        ),
        max_size=12,
    ),
)
@settings(max_examples=200)
def test_values_follow_the_colour_at_each_step(start, steps):
    colour = Color(*start)
    model = list(start)
    it = iter(colour)
    position = 0
    for step in steps:
        if step is None:
            if position < 4:
                assert next(it) == model[position]
                position += 1
            else:
                with pytest.raises(StopIteration):
                    next(it)
        else:
            name, value = step
            setattr(colour, name, value)
            short = name[0] if name in LONG_NAMES.values() else name
            model[CHANNELS.index(short)] = min(max(value, 0), 255)
    assert list(it) == model[position:]
    # Iterating never changes the colour.
    assert stored(colour) == model


# --- generators and their colours ----------------------------------------------


def test_a_generator_keeps_a_temporary_colour_alive():
    assert list(iter(Color(1, 2, 3, 4))) == [1, 2, 3, 4]
    it = iter(Tracked(5, 6, 7, 8))
    gc.collect()
    assert list(it) == [5, 6, 7, 8]


def test_a_generator_lets_go_of_its_colour_when_it_finishes():
    colour = Tracked(5, 6, 7, 8)
    ref = weakref.ref(colour)
    it = iter(colour)
    del colour
    gc.collect()
    assert ref() is not None
    assert [next(it) for _ in range(4)] == [5, 6, 7, 8]
    assert ref() is not None
    with pytest.raises(StopIteration):
        next(it)
    # The generator is still alive but holds nothing of the colour.
    assert ref() is None


def test_generators_over_one_colour_are_independent():
    colour = Color(1, 2, 3, 4)
    first, second = iter(colour), iter(colour)
    assert next(first) == 1
    assert next(first) == 2
    assert next(second) == 1
    assert next(first) == 3
    third = iter(colour)
    assert list(second) == [2, 3, 4]
    assert next(first) == 4
    assert list(third) == [1, 2, 3, 4]
    with pytest.raises(StopIteration):
        next(first)


def test_stop_iteration_forever_after_the_end():
    it = iter(Color(1, 2, 3, 4))
    assert list(it) == [1, 2, 3, 4]
    for _ in range(5):
        with pytest.raises(StopIteration) as info:
            next(it)
        assert info.value.args == ()
        assert info.value.value is None
    assert list(it) == []


def test_subclass_overriding_channel_properties_iterates_the_stored_bytes():
    class Overriding(Color):
        r = property(lambda self: 100)
        green = property(lambda self: 101)
        b = property(lambda self: 102)
        alpha = property(lambda self: 103)

    colour = Overriding(1, 2, 3, 4)
    assert (colour.r, colour.green, colour.b, colour.alpha) == (100, 101, 102, 103)
    assert list(colour) == [1, 2, 3, 4]


def test_subclass_overriding_getattribute_iterates_the_stored_bytes():
    class Loud(Color):
        def __getattribute__(self, name):
            raise AssertionError(f"iteration looked up {name!r}")

    assert list(Loud(1, 2, 3, 4)) == [1, 2, 3, 4]


def test_iter_makes_a_new_generator_each_time():
    colour = Color(1, 2, 3, 4)
    first, second = iter(colour), iter(colour)
    assert first is not second
    assert type(first) is type(second) is type(iter(Color(0, 0, 0)))


def test_the_generator_is_its_own_iterator():
    it = iter(Color(1, 2, 3, 4))
    assert iter(it) is it
    assert it.__iter__() is it
    next(it)
    assert iter(it) is it


# --- the iteration-state record ------------------------------------------------


def record_of(generator):
    records = [
        obj
        for obj in gc.get_referents(generator)
        if type(obj).__name__ == "__pyx_scope_struct____iter__"
    ]
    assert len(records) <= 1
    return records[0] if records else None


def test_the_record_holds_the_colour_until_the_generator_finishes():
    colour = Color(1, 2, 3, 4)
    it = iter(colour)
    record = record_of(it)
    assert record is not None
    kind = type(record)
    assert kind.__module__ == "vantel.color.color"
    assert gc.get_referents(record) == [colour]
    assert gc.is_tracked(record)
    assert gc.is_tracked(it)
    assert "__pyx_scope_struct____iter__" not in vars(color_module)
    del record
    assert list(it) == [1, 2, 3, 4]
    assert record_of(it) is None


def test_the_record_type_refuses_subclassing():
    kind = type(record_of(iter(Color(1, 2, 3))))
    with pytest.raises(TypeError) as info:
        type("Sub", (kind,), {})
    assert str(info.value) == (
        "type 'vantel.color.color.__pyx_scope_struct____iter__' is not an acceptable base type"
    )


# --- memory --------------------------------------------------------------------


def _exhaust(c):
    it = iter(c)
    for _ in range(4):
        next(it)
    with pytest.raises(StopIteration):
        next(it)
    with pytest.raises(StopIteration):
        next(it)


def _close_at(point):
    def run(c):
        it = iter(c)
        for _ in range(point):
            next(it)
        assert it.close() is None

    return run


def _throw_at(point):
    def run(c):
        it = iter(c)
        for _ in range(point):
            next(it)
        with pytest.raises(KeyError):
            it.throw(KeyError)

    return run


def _abandon_after(point):
    def run(c):
        it = iter(c)
        for _ in range(point):
            next(it)
        del it

    return run


def _collect_in_cycle(c):
    holder = [iter(c)]
    holder.append(holder)
    next(holder[0])
    next(holder[0])
    del holder
    gc.collect()


def _send_non_none_first(c):
    it = iter(c)
    with pytest.raises(TypeError):
        it.send(1)


def _frame_then_abandon(c):
    it = iter(c)
    next(it)
    assert it.gi_frame is not None
    del it


def _many_at_once(c):
    its = [iter(c) for _ in range(30)]
    for it in its[::3]:
        next(it)
    for it in its[1::3]:
        list(it)
    del its


@pytest.mark.parametrize(
    "use",
    [
        list,
        tuple,
        lambda c: [v for v in c],
        lambda c: c.r in c,
        _exhaust,
        _send_non_none_first,
        _collect_in_cycle,
        _frame_then_abandon,
        _many_at_once,
    ]
    + [_close_at(p) for p in range(5)]
    + [_throw_at(p) for p in range(5)]
    + [_abandon_after(p) for p in range(5)],
    ids=[
        "list",
        "tuple",
        "for",
        "membership",
        "exhaust",
        "send-first",
        "cycle",
        "frame",
        "many",
    ]
    + [f"close-{p}" for p in range(5)]
    + [f"throw-{p}" for p in range(5)]
    + [f"abandon-{p}" for p in range(5)],
)
def test_the_colour_reference_count_returns_to_where_it_was(use):
    colour = Color(1, 2, 3, 4)
    before = sys.getrefcount(colour)
    use(colour)
    gc.collect()
    assert sys.getrefcount(colour) == before


@pytest.mark.parametrize("point", range(5))
def test_a_live_generator_holds_exactly_one_reference(point):
    colour = Color(1, 2, 3, 4)
    before = sys.getrefcount(colour)
    it = iter(colour)
    for _ in range(point):
        next(it)
    assert sys.getrefcount(colour) == before + 1
    list(it)
    assert sys.getrefcount(colour) == before
    del it
    assert sys.getrefcount(colour) == before


def test_a_cycle_through_a_colour_holding_its_own_iterator_is_collected():
    colour = Tracked(1, 2, 3, 4)
    colour.it = iter(colour)
    assert next(colour.it) == 1
    assert next(colour.it) == 2
    ref = weakref.ref(colour)
    del colour
    gc.collect()
    assert ref() is None


def test_abandoning_a_started_generator_reports_nothing(monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    colour = Color(1, 2, 3, 4)
    for point in range(5):
        it = iter(colour)
        for _ in range(point):
            next(it)
        del it
    gc.collect()
    assert reported == []


needs_block_counts = pytest.mark.skipif(
    sys.getallocatedblocks() == 0, reason="the interpreter does not count allocated blocks"
)


def _blocks_taken_by(count, colour, slots):
    """Blocks allocated while `count` iterators over `colour` are made and kept."""
    before = sys.getallocatedblocks()
    for i in range(count):
        slots[i] = iter(colour)
    after = sys.getallocatedblocks()
    for i in range(count):
        slots[i] = None
    return after - before


def _fill_the_record_cache(colour):
    its = [iter(colour) for _ in range(100)]
    for it in its:
        next(it)
    del its, it
    gc.collect()


@needs_block_counts
def test_at_most_eight_records_are_kept_for_reuse():
    colour = Color(1, 2, 3, 4)
    slots = [None] * 32
    counts = (0, 8, 16, 24)
    best = dict.fromkeys(counts)
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        _blocks_taken_by(24, colour, slots)  # warm up the measuring code
        for _ in range(7):
            for n in counts:
                _fill_the_record_cache(colour)
                taken = _blocks_taken_by(n, colour, slots)
                best[n] = taken if best[n] is None else min(best[n], taken)
    finally:
        if enabled:
            gc.enable()
    first, second, third = (best[8] - best[0], best[16] - best[8], best[24] - best[16])
    # The first eight iterators take their records from the cache; every
    # iterator after that needs one block more.
    assert second - first == 8, best
    assert third == second, best


@needs_block_counts
def test_releasing_many_generators_frees_all_but_the_cached_records():
    colour = Color(1, 2, 3, 4)
    _fill_the_record_cache(colour)
    settled = []
    for index in range(5):
        _fill_the_record_cache(colour)
        # Every reading kept in the list is itself one more block.
        settled.append(sys.getallocatedblocks() - index)
    assert max(settled) - min(settled) <= 4, settled
    assert settled[-1] - settled[0] <= 4, settled


@needs_block_counts
def test_repeated_iteration_does_not_grow_memory():
    colour = Color(1, 2, 3, 4)
    for _ in range(1000):
        list(colour)
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(100_000):
        list(colour)
    gc.collect()
    assert sys.getallocatedblocks() - before <= 16
