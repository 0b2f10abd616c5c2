"""Random calls of every constructor and method against a model of how arguments bind.

Positional and keyword arguments are mixed at random (right and wrong names,
too many, too few, one parameter given twice) with values that stress the
conversions. Where the model expects an error, the call must raise it with the
same type, message and notes; where it does not, the call must succeed or
fail in the class's own words only.
"""

import operator

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kestrum._kestrum_core import AtomicMetrics, FastChannel, NativeWorkerPool, RawAsyncWaitGroup, ThreadPoolClosedError

U64_MAX = 2**64 - 1


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError("no index here")


class IntWithBadIndex(int):
    def __index__(self):  # an int subclass is converted by value, never through this
        raise AssertionError("__index__ of an int subclass was called")


def integer(low, high):
    def convert(value):
        value = value if isinstance(value, int) else operator.index(value)
        if value < 0 <= low:
            raise OverflowError("can't convert negative int to unsigned")
        if not low <= value <= high:
            raise OverflowError("int too big to convert")
        return int(value)

    return convert


def instance_of(cls):
    def convert(value):
        if isinstance(value, cls):
            return value
        what = "'None' is" if value is None else f"'{type(value).__qualname__}' object is"
        raise TypeError(f"{what} not an instance of '{cls.__qualname__}'")

    return convert


def waiter(value):
    if len(instance_of(tuple)(value)) != 2:
        raise ValueError(f"expected tuple of length 2, but got tuple of length {len(value)}")


u64, i64 = integer(0, U64_MAX), integer(-(2**63), 2**63 - 1)
METRICS = [f"{verb}_{name}" for name in ("global_pull", "park", "remote_schedule") for verb in ("inc", "get")]
FUNCTIONS = [  # (class, function, [(parameter, conversion)]); "__new__" is the constructor
    (FastChannel, "__new__", [("maxsize", u64)]),
    (FastChannel, "try_send", [("item", id)]),
    (RawAsyncWaitGroup, "__new__", []),
    (RawAsyncWaitGroup, "add", [("delta", i64)]),
    (RawAsyncWaitGroup, "register_waiter", [("waiter", waiter)]),
    (RawAsyncWaitGroup, "unregister_waiter", [("fut", id)]),
    (AtomicMetrics, "__new__", [("num_threads", u64)]),
    (AtomicMetrics, "set_injection_queue_depth", [("index", u64), ("depth", u64)]),
    (NativeWorkerPool, "__new__", [("num_threads", u64)]),
    (NativeWorkerPool, "set_metrics", [("metrics", instance_of(AtomicMetrics))]),
    (NativeWorkerPool, "push_global", [("task", id)]),
    (NativeWorkerPool, "push_local", [("index", u64), ("task", id)]),
    (NativeWorkerPool, "pop_work", [("index", u64)]),
] + [(AtomicMetrics, name, [("index", u64)]) for name in METRICS + [
    "inc_active", "dec_active", "get_active", "get_completed", "get_injection_queue_depth"]]
# Big values stay past the worker-count limits, so no constructor asks for huge storage.
VALUES = st.one_of(
    st.booleans(), st.none(), st.floats(allow_nan=False), st.text(max_size=2), st.integers(-3, 5),
    st.sampled_from([2**63 - 1, 2**63, U64_MAX, 2**64, -(2**63), -(2**63) - 1, -(2**100)]),
    st.builds(Index, st.sampled_from([0, 2, -1, U64_MAX, 2**64])), st.builds(BadIndex),
    st.builds(IntWithBadIndex, st.integers(0, 3)), st.builds(AtomicMetrics, st.integers(0, 2)),
    st.lists(st.integers(0, 1), max_size=3).map(tuple), st.lists(st.none(), max_size=3).map(type("Pair", (tuple,), {})),
)
NAMES = ["maxsize", "item", "delta", "fut", "index", "depth", "metrics", "task", "self", "x", "Index", "\udcff"]
MESSAGES = {
    "Pool is closed", "pool task cannot be None", "Worker index out of range", "Channel is closed",
    "WaitGroup counter overflowed: add() with positive delta", "WaitGroup counter went negative: add() with negative delta",
}


def bind_and_convert(full_name, params, args, kwargs):
    names = [name for name, _ in params]
    if len(args) > len(names):
        raise TypeError(f"{full_name} takes {len(names)} positional arguments but {len(args)} "
                        f"{'was' if len(args) == 1 else 'were'} given")
    slots = dict(zip(names, args))
    for key, value in kwargs.items():
        if key not in names:
            raise TypeError(f"{full_name} got an unexpected keyword argument '{key}'")
        if key in slots:
            raise TypeError(f"{full_name} got multiple values for argument '{key}'")
        slots[key] = value
    missing = [f"'{name}'" for name in names if name not in slots]
    if missing:
        raise TypeError(f"{full_name} missing {len(missing)} required positional "
                        f"argument{'s' if len(missing) > 1 else ''}: {' and '.join(missing)}")
    converted = []
    for name, convert in params:
        try:
            converted.append(convert(slots[name]))
        except Exception as error:
            error.add_note(f"while processing '{name}'")
            raise
    return converted


@settings(max_examples=500, deadline=None)
@given(data=st.data())
def test_calls_bind_and_convert_like_the_model(data):
    cls, function, params = data.draw(st.sampled_from(FUNCTIONS))
    args = data.draw(st.lists(VALUES, max_size=len(params) + 1))
    kwargs = {key: data.draw(VALUES) for key in data.draw(st.lists(st.sampled_from(NAMES), unique=True, max_size=3))}
    call = cls if function == "__new__" else getattr(cls() if cls is RawAsyncWaitGroup else cls(2), function)
    try:
        converted = bind_and_convert(f"{cls.__name__}.{function}()", params, args, kwargs)
    except Exception as expected:
        with pytest.raises(Exception) as raised:
            call(*args, **kwargs)
        assert (type(raised.value), raised.value.args) == (type(expected), expected.args)
        assert getattr(raised.value, "__notes__", None) == getattr(expected, "__notes__", None)
        return
    if function != "__new__":
        try:
            call(*args, **kwargs)
        except (RuntimeError, TypeError, ThreadPoolClosedError) as error:
            assert str(error) in MESSAGES and not hasattr(error, "__notes__")
    elif converted and converted[0] >= {AtomicMetrics: 2**57, NativeWorkerPool: 2**60}.get(cls, 2**64):
        with pytest.raises(BaseException, match="^capacity overflow$") as raised:
            call(*args, **kwargs)
        assert not isinstance(raised.value, Exception)  # PanicException
    else:
        assert type(call(*args, **kwargs)) is cls
