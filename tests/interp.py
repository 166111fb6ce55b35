"""What the running interpreter is: free-threaded or not, and whether its lock is on."""
import gc
import sys
import sysconfig
import threading

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def gil_enabled():
    """Whether the interpreter lock is on now (always, before 3.13)."""
    return getattr(sys, "_is_gil_enabled", lambda: True)()


def assert_collection_runs_during(call, at_least=3):
    """Fail unless collections in this thread complete again and again while
    `call` runs in another.

    A collection needs every other thread parked: a thread that holds the
    interpreter lock (on a lock build), or that stays attached to the
    interpreter (free-threaded, where collection stops the world), lets none
    through until `call` returns.  Collections are counted, not timed: such a
    thread lets at most two complete inside its span (one before its loop
    starts, one as it returns before it can say so), a detached one as many
    as fit: young-generation ones, some milliseconds each however much the
    process holds, so dozens for the calls given here."""
    started, done = threading.Event(), threading.Event()

    def run():
        started.set()
        try:
            call()
        finally:
            done.set()

    worker = threading.Thread(target=run)
    worker.start()
    started.wait()
    during = 0  # collections that completed before the call returned
    while not done.is_set():
        gc.collect(0)
        during += not done.is_set()
    worker.join()
    assert during >= at_least, f"only {during} collections completed while the call ran"
