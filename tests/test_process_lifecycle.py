"""Process life-cycle paths, each in a child interpreter: forking while
threads or coroutines wait on a channel, and threads that wake up while the
interpreter finalizes."""

import os
import signal
import subprocess
import sys
import sysconfig
import textwrap

import pytest

# Each child of a fork here starts threads of its own.
forks_beside_threads = pytest.mark.skipif(
    not hasattr(os, "fork") or "--with-thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or ""),
    reason="needs os.fork, and ThreadSanitizer can't start threads in a child of a multi-threaded fork")


def run(code: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60)


_FORK_BESIDE_BLOCKED_THREADS = """
import os, queue, threading, time
from kestrum import Channel

ch = Channel({maxsize})
for _ in range({maxsize}):
    ch.send("full")
blocked = {blocked!r}
for _ in range(4):  # waiting in the parent; these threads do not exist in the child
    target = ch.recv if blocked == "recv" else lambda: ch.send("parent's")
    threading.Thread(target=target, daemon=True).start()
time.sleep(0.2)

pid = os.fork()
if pid == 0:
    # The child's own threads, whose stacks may be where the parent's
    # waiters were, must get every item sent here.
    while blocked == "send" and ch.try_recv()[0]:
        pass
    got, timed_out = [], []
    def take():
        try:
            while (item := ch.recv(timeout=5)) is not None:
                got.append(item)
        except queue.Empty:
            timed_out.append(True)
    takers = [threading.Thread(target=take) for _ in range(4)]
    for t in takers:
        t.start()
    for item in [*range(60), *[None] * 4]:
        ch.send(item, timeout=5)
        time.sleep(0.0005)
    for t in takers:
        t.join()
    os._exit(0 if sorted(got) == list(range(60)) and not timed_out else 3)
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""


@forks_beside_threads
@pytest.mark.parametrize(("blocked", "maxsize"), [("recv", 0), ("send", 1)])
def test_the_child_of_a_fork_beside_threads_blocked_on_a_channel_can_use_it(blocked, maxsize):
    # Three forks: a child's new thread lands on a vanished waiter's stack
    # more often than not, but not always.
    for _ in range(3):
        done = run(_FORK_BESIDE_BLOCKED_THREADS.format(blocked=blocked, maxsize=maxsize))
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == "0", (done.stdout, done.stderr)


_FORK_DURING_A_WAIT = """
import os, queue, signal, threading, time
from kestrum import Channel

ch = Channel()
forked = []
def fork(signum, frame):
    pid = os.fork()
    forked.append(pid)
    # Whichever process this is, an item arrives for the wait the handler
    # interrupted, which must still be listed to get it.
    threading.Timer(0.2, ch.send, ("child's" if pid == 0 else "parent's",)).start()
signal.signal(signal.SIGUSR1, fork)
threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGUSR1)).start()
started = time.monotonic()
try:
    got = ch.recv(timeout=5)  # the handler forks during this wait
except queue.Empty:
    got = "timed out"
if forked == [0]:
    os._exit(0 if got == "child's" and time.monotonic() - started < 3 else 3)
print(got, os.waitstatus_to_exitcode(os.waitpid(forked[0], 0)[1]))
"""


@forks_beside_threads
@pytest.mark.skipif(not hasattr(signal, "SIGUSR1"), reason="needs SIGUSR1")
def test_a_thread_that_forks_from_a_signal_handler_during_its_wait_waits_on_in_the_child():
    done = run(_FORK_DURING_A_WAIT)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["parent's", "0"], (done.stdout, done.stderr)


_FORK_BESIDE_WAITING_COROUTINES = """
import asyncio, os, queue, threading, time
from kestrum import Channel

ch = Channel({maxsize})
for _ in range({maxsize}):
    ch.send("full")
blocked = {blocked!r}
async def wait_in_parent():
    await (ch.recv_async() if blocked == "recv" else ch.send_async("parent's"))
# On a loop of another thread, which the child does not have.
threading.Thread(target=asyncio.run, args=(wait_in_parent(),), daemon=True).start()
time.sleep(0.2)

pid = os.fork()
if pid == 0:
    async def main():
        # The other side moves once the child's coroutine waits too: its
        # wake-up must reach that coroutine, not the parent's.
        if blocked == "recv":
            threading.Timer(0.1, ch.send, ("item",)).start()
            return await ch.recv_async(timeout=5) == "item"
        threading.Timer(0.1, ch.recv).start()
        await ch.send_async("child's", timeout=5)
        return ch.recv(timeout=5) == "child's"
    try:
        ok = asyncio.run(main())
    except queue.Empty:
        ok = False
    except queue.Full:
        ok = False
    os._exit(0 if ok else 3)
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""


@forks_beside_threads
@pytest.mark.parametrize(("blocked", "maxsize"), [("recv", 0), ("send", 1)])
def test_the_child_of_a_fork_beside_coroutines_waiting_on_a_channel_can_use_it(blocked, maxsize):
    done = run(_FORK_BESIDE_WAITING_COROUTINES.format(blocked=blocked, maxsize=maxsize))
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "0", (done.stdout, done.stderr)


_FORK_TWICE_BESIDE_A_WAITING_COROUTINE = """
import asyncio, os, queue, threading, time
from kestrum import Channel

ch = Channel()
async def wait_in_parent():
    await ch.recv_async()
parents_loop = threading.Thread(target=asyncio.run, args=(wait_in_parent(),), daemon=True)
parents_loop.start()
time.sleep(0.2)

def fork_again():
    # A thread of the child that took the identity of the parent's loop
    # thread (its stack, most often) forks: that loop is still gone.
    if threading.get_ident() != parents_loop.ident:
        os._exit(77)
    pid = os.fork()
    if pid == 0:
        async def main():
            threading.Timer(0.1, ch.send, ("item",)).start()
            return await ch.recv_async(timeout=5) == "item"
        try:
            ok = asyncio.run(main())
        except queue.Empty:
            ok = False
        os._exit(0 if ok else 3)
    os._exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))

pid = os.fork()
if pid == 0:
    threading.Thread(target=fork_again).start()
    time.sleep(30)
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""


@forks_beside_threads
def test_a_grandchild_forked_by_a_thread_that_took_a_lost_threads_identity_can_use_the_channel():
    done = run(_FORK_TWICE_BESIDE_A_WAITING_COROUTINE)
    assert done.returncode == 0, done.stderr
    if done.stdout.strip() == "77":
        pytest.skip("no thread of the child took the identity of the parent's loop thread")
    assert done.stdout.strip() == "0", (done.stdout, done.stderr)


_WAKES_WHILE_FINALIZING = """
import gc, os, queue, signal, threading, time
from kestrum import Channel, WaitGroup, WorkerPool

kind = {kind!r}

class LetsGoOfTheInterpreter:
    # Its finalizer re-enters the interpreter after finalization has begun.
    def __del__(self, sleep=time.sleep):
        sleep(0.6)

if kind in ("pool task", "pool task's argument"):
    # Ctrl-C while exit waits for the pool: finalization goes on while the
    # worker is still inside a task, or releasing its argument.
    pool = WorkerPool(1)
    if kind == "pool task":
        pool.submit(time.sleep, 0.6)
    else:
        pool.submit(lambda argument: time.sleep(0.1), LetsGoOfTheInterpreter())
    threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
elif kind == "channel's item":
    def drop():
        ch = Channel(1)
        ch.send(LetsGoOfTheInterpreter())
        del ch  # the item's finalizer runs from the channel's
        time.sleep(5)
    threading.Thread(target=drop, daemon=True).start()
    time.sleep(0.2)
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
@pytest.mark.parametrize("kind", ["channel", "wait_group", "pool task", "pool task's argument", "channel's item"])
def test_a_thread_that_wakes_while_the_interpreter_finalizes_lets_it_exit(kind):
    done = run(_WAKES_WHILE_FINALIZING.format(kind=kind))
    assert done.returncode == 0, done.stderr
    assert "Fatal Python error" not in done.stderr and "terminate called" not in done.stderr, done.stderr
