"""The module object, its types, and the argument rules that every method shares."""

import gc
import importlib
import os
import subprocess
import sys
import sysconfig
import weakref

import pytest

import kestrum
import kestrum._kestrum_core as core
from kestrum._kestrum_core import (
    AtomicMetrics, FastChannel, NativeWorkerPool, RawAsyncWaitGroup, ThreadPoolClosedError)


class Index:
    """__index__ returns `value`, or raises it when it is an exception."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def names():
    """What the code strings of the tables below run against."""
    return dict(vars(core), Index=Index, m=AtomicMetrics(4), ch=FastChannel(0),
                pool=NativeWorkerPool(2), wg=RawAsyncWaitGroup())


def test_module_surface():
    assert core.__doc__ == ""
    assert core.__all__ == ["ThreadPoolClosedError", "AtomicMetrics", "NativeWorkerPool",
                            "FastChannel", "RawAsyncWaitGroup"]
    assert {name for name in dir(core) if not name.startswith("__")} == set(core.__all__)
    error = ThreadPoolClosedError
    assert (error.__module__, error.__name__, error.__qualname__, error.__doc__, error.__bases__) == (
        "_kestrum_core", "ThreadPoolClosedError", "ThreadPoolClosedError", None, (Exception,))


@pytest.mark.parametrize("name", core.__all__[1:])
def test_classes_are_closed_plain_types(name):
    cls = getattr(core, name)
    assert (cls.__module__, cls.__qualname__) == ("kestrum._kestrum_core", name)
    for method, member in vars(cls).items():  # every method docstring opens with its signature
        if not method.startswith("__"):
            assert member.__text_signature__.startswith("($self"), method
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})
    obj = next(value for value in names().values() if type(value) is cls)
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert gc.is_tracked(obj) is False


def test_text_signatures():
    signatures = {FastChannel: "(maxsize)", FastChannel.try_send: "($self, item)",
                  FastChannel.try_recv: "($self)", AtomicMetrics: "(num_threads)",
                  AtomicMetrics.set_injection_queue_depth: "($self, index, depth)",
                  NativeWorkerPool.push_local: "($self, index, task)", RawAsyncWaitGroup: "()"}
    assert {target: target.__text_signature__ for target in signatures} == signatures


def test_reimport_shares_type_objects():
    first = sys.modules.pop("kestrum._kestrum_core")
    try:
        second = importlib.import_module("kestrum._kestrum_core")
        assert second is not first and second.__all__ == first.__all__
        assert all(getattr(second, name) is getattr(first, name) for name in first.__all__)
    finally:
        sys.modules["kestrum._kestrum_core"] = kestrum._kestrum_core = first


@pytest.mark.parametrize("code", ["AtomicMetrics(2**57)", "NativeWorkerPool(2**60)"])
def test_capacity_overflow_panics(code):
    with pytest.raises(BaseException) as info:
        try:
            eval(code, names())
        except Exception:
            pytest.fail("an internal failure was caught by `except Exception`")
    panic = type(info.value)
    assert (panic.__module__, panic.__name__, panic.__bases__) == (
        "vesk_runtime", "PanicException", (BaseException,))
    assert info.value.args == ("capacity overflow",)


def test_panic_raised_by_python_code_stays_a_panic(capsys):
    with pytest.raises(BaseException) as first:
        AtomicMetrics(2**57)
    panic = type(first.value)("from __index__")
    with pytest.raises(type(panic)) as info:
        AtomicMetrics(1).get_active(Index(panic))
    assert info.value is panic and not hasattr(panic, "__notes__")  # no note: not a conversion error
    assert "from __index__" in capsys.readouterr().err  # reported where it came back


@pytest.mark.parametrize("code, message", [
    ("RawAsyncWaitGroup(1)", "RawAsyncWaitGroup.__new__() takes 0 positional arguments but 1 was given"),
    ("ch.try_send(1, 2)", "FastChannel.try_send() takes 1 positional arguments but 2 were given"),
    ("ch.try_send(1, 2, x=3)", "FastChannel.try_send() takes 1 positional arguments but 2 were given"),
    ("ch.try_send(item=1, other=2)", "FastChannel.try_send() got an unexpected keyword argument 'other'"),
    ("FastChannel(size=1, maxsize=1)", "FastChannel.__new__() got an unexpected keyword argument 'size'"),
    ("ch.try_send(**{'\\udcff': 1})",
     "FastChannel.try_send() got an unexpected keyword argument '\udcff'"),
    ("pool.push_local(0, index=1)",
     "NativeWorkerPool.push_local() got multiple values for argument 'index'"),
    ("FastChannel(1, maxsize=2)", "FastChannel.__new__() got multiple values for argument 'maxsize'"),
    ("FastChannel()", "FastChannel.__new__() missing 1 required positional argument: 'maxsize'"),
    ("pool.push_local(0)",
     "NativeWorkerPool.push_local() missing 1 required positional argument: 'task'"),
    ("pool.push_local()", "NativeWorkerPool.push_local() missing 2 required positional arguments: "
                          "'index' and 'task'"),
    ("m.set_injection_queue_depth(-1)",  # binding comes before conversion
     "AtomicMetrics.set_injection_queue_depth() missing 1 required positional argument: 'depth'"),
    ("ch.qsize(1)", "FastChannel.qsize() takes no arguments (1 given)"),  # the interpreter's own
    ("FastChannel.try_send(object(), 1)", "descriptor 'try_send' for "
     "'kestrum._kestrum_core.FastChannel' objects doesn't apply to a 'object' object"),
])
def test_binding_errors(code, message):
    objects = names()
    with pytest.raises(TypeError) as info:
        eval(code, objects)
    assert info.value.args == (message,) and not hasattr(info.value, "__notes__")
    assert objects["ch"].qsize() == 0 and objects["pool"].pop_work(0) is None


@pytest.mark.parametrize("code, error, parameter", [
    ("m.get_active(-1)", OverflowError, "index"),
    ("m.get_active(2**64)", OverflowError, "index"),
    ("m.get_active('0')", TypeError, "index"),
    ("m.get_active(None)", TypeError, "index"),
    ("m.get_active(1.0)", TypeError, "index"),
    ("m.get_active(Index(-1))", OverflowError, "index"),
    ("m.inc_park(Index(ZeroDivisionError()))", ZeroDivisionError, "index"),
    ("AtomicMetrics(-1)", OverflowError, "num_threads"),
    ("NativeWorkerPool('2')", TypeError, "num_threads"),
    ("m.set_injection_queue_depth(0, -1)", OverflowError, "depth"),
    ("m.set_injection_queue_depth(-1, -1)", OverflowError, "index"),
    ("wg.add(2**63)", OverflowError, "delta"),
    ("wg.add(-2**63 - 1)", OverflowError, "delta"),
    ("wg.add(1.0)", TypeError, "delta"),
    ("wg.add(Index(ZeroDivisionError()))", ZeroDivisionError, "delta"),
])
def test_conversion_errors_name_the_parameter(code, error, parameter):
    with pytest.raises(error) as info:
        eval(code, names())
    assert type(info.value) is error
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_integer_conversions_accepted():
    m = AtomicMetrics(4)
    for i in range(4):
        m.set_injection_queue_depth(i, 100 + i)
    assert [m.get_injection_queue_depth(i) for i in (True, Index(3), 2**64 - 1)] == [101, 103, 0]
    m.set_injection_queue_depth(Index(2), True)
    assert m.get_injection_queue_depth(2) == 1
    wg = RawAsyncWaitGroup()
    assert (wg.add(2**63 - 1), wg.add(Index(1)), wg.add(-2**63)) == (None, None, None)
    with pytest.raises(RuntimeError, match="too many done"):  # back at zero
        wg.done()


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="GIL build")
def test_import_keeps_the_gil_disabled():
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    env["PYTHONPATH"] = os.pathsep.join(sys.path)
    code = ("import sys, warnings; warnings.simplefilter('error'); "
            "import kestrum._kestrum_core; print(sys._is_gil_enabled())")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert (out.returncode, out.stdout.strip()) == (0, "False"), out.stderr


@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_subinterpreter_import_refused(config):
    interpreters = pytest.importorskip("_interpreters")
    interp = interpreters.create(interpreters.new_config(config))
    try:
        failure = interpreters.exec(
            interp, f"import sys; sys.path[:] = {sys.path!r}; import kestrum._kestrum_core")
    finally:
        interpreters.destroy(interp)
    assert failure is not None and failure.type.__name__ == "ImportError"
    if config == "legacy":  # the interpreter would load it here: the module itself refuses
        assert failure.msg == "kestrum._kestrum_core can't be imported in a subinterpreter"
