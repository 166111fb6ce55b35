"""What the running interpreter is: free-threaded or not, and whether its lock is on."""
import gc
import sys
import sysconfig
import threading
import time

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def gil_enabled():
    """Whether the interpreter lock is on now (always, before 3.13)."""
    return getattr(sys, "_is_gil_enabled", lambda: True)()


def assert_collection_runs_during(call):
    """Fail unless gc.collect() in this thread finishes while `call` runs in another.

    A collection needs every other thread parked: a thread that holds the
    interpreter lock (on a lock build), or that stays attached to the
    interpreter (free-threaded, where collection stops the world), would hold
    it until `call` returns."""
    span = {}

    def run():
        span["start"] = time.perf_counter()
        call()
        span["end"] = time.perf_counter()

    worker = threading.Thread(target=run)
    worker.start()
    time.sleep(0.05)
    gc.collect()
    collected = time.perf_counter()
    worker.join()
    total = span["end"] - span["start"]
    assert total > 0.2, "the call is too short to show anything"
    assert span["end"] - collected > 0.4 * total, f"collection waited: {collected - span['start']:.3f} s of {total:.3f} s"
