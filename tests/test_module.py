"""The module object, its types, and the argument rules that every method shares."""

import gc
import importlib
import os
import subprocess
import sys
import sysconfig
import tomllib
import weakref
from importlib import metadata
from pathlib import Path

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


def test_version_is_the_project_version():
    pyproject = tomllib.loads((Path(__file__).parents[1] / "pyproject.toml").read_text())
    assert kestrum.__version__ == pyproject["project"]["version"]
    try:
        installed = metadata.version("kestrum")
    except metadata.PackageNotFoundError:  # a staged copy, run without installing
        return
    assert kestrum.__version__ == installed


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


# Below the limit but far beyond any memory: the array sizes overflow, and
# the allocator must not be handed a wrapped-around size.
@pytest.mark.parametrize("workers", [2**57, 2**58, 2**59 + 12345, 2**60 - 1])
def test_a_worker_count_too_large_to_allocate_is_a_memory_error(workers):
    with pytest.raises(MemoryError):
        NativeWorkerPool(workers)


def test_panic_raised_by_python_code_stays_a_panic(capsys):
    with pytest.raises(BaseException) as first:
        AtomicMetrics(2**57)
    panic = type(first.value)("from __index__")
    with pytest.raises(type(panic)) as info:
        AtomicMetrics(1).get_active(Index(panic))
    assert info.value is panic and not hasattr(panic, "__notes__")  # no note: not a conversion error
    assert "from __index__" in capsys.readouterr().err  # reported where it came back


# Binding and conversion errors of every method are compared with a model in
# test_binding_fuzz.py; these are the interpreter's own checks, which it leaves out.
@pytest.mark.parametrize("code, message", [
    ("ch.qsize(1)", "FastChannel.qsize() takes no arguments (1 given)"),
    ("FastChannel.try_send(object(), 1)", "descriptor 'try_send' for "
     "'kestrum._kestrum_core.FastChannel' objects doesn't apply to a 'object' object"),
])
def test_binding_errors(code, message):
    objects = names()
    with pytest.raises(TypeError) as info:
        eval(code, objects)
    assert info.value.args == (message,) and not hasattr(info.value, "__notes__")
    assert objects["ch"].qsize() == 0


def test_integer_conversions_reach_the_right_slot():
    m = AtomicMetrics(4)
    m.set_injection_queue_depth(True, 7)
    m.set_injection_queue_depth(Index(3), True)
    assert [m.get_injection_queue_depth(i) for i in (0, 1, 2, Index(3), 2**64 - 1)] == [0, 7, 0, 1, 0]
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
