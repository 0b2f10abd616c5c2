"""Process life-cycle paths, each in a child interpreter: threads that wake
up while the interpreter finalizes."""

import subprocess
import sys
import textwrap

import pytest


def run(code: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60)


_WAKES_WHILE_FINALIZING = """
import gc, os, queue, signal, threading, time
from kestrum import Channel, WaitGroup, WorkerPool

kind = {kind!r}
if kind == "pool":
    # Ctrl-C while exit waits for the pool: finalization goes on while the
    # worker is still inside a task, which re-enters the interpreter later.
    pool = WorkerPool(1)
    pool.submit(time.sleep, 0.6)
    threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
else:
    def wait():
        if kind == "channel":
            try:
                Channel().recv(timeout=0.5)
            except queue.Empty:
                pass
        else:
            group = WaitGroup()
            group.add(1)
            group.wait(timeout=0.5)
    threading.Thread(target=wait, daemon=True).start()

class Slow:
    # Collected during finalization, which it holds up past the wait's end.
    def __del__(self, sleep=time.sleep):
        sleep(1.5)

gc.disable()
s = Slow(); s.cycle = s; del s
"""


# Before 3.14 the interpreter ends such a thread by unwinding its stack,
# through native frames that must neither terminate the process nor touch
# the interpreter on the way.
@pytest.mark.parametrize("kind", ["channel", "wait_group", "pool"])
def test_a_thread_that_wakes_while_the_interpreter_finalizes_lets_it_exit(kind):
    done = run(_WAKES_WHILE_FINALIZING.format(kind=kind))
    assert done.returncode == 0, done.stderr
    assert "Fatal Python error" not in done.stderr and "terminate called" not in done.stderr, done.stderr
