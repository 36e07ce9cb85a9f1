"""The library runs without the GIL: threads call kest at the same time."""
import subprocess
import sys
import threading
import ctypes

import numpy as np
import pandas as pd

import kest
import kest._lib as L

HOLDER = """
import ctypes, sys
import kest._lib as L
lock, error = ctypes.c_void_p(), L.ints([0, 0])
L.xml_lock(sys.argv[1].encode(), 2, 1000, ctypes.byref(lock), L.ptr(error, L.P_INT))
print(int(error[0]), flush=True)
sys.stdin.readline()
L.xml_unlock(lock)
"""


def test_a_call_waiting_in_the_library_lets_other_threads_run(tmp_path):
    kest.write_dataset(pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]}), tmp_path / "g.xml")
    schema = str(tmp_path / "g.xdr")
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, schema], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "0"
        outcome = {}

        def wait_for_lock():
            lock, error = ctypes.c_void_p(), L.ints([0, 0])
            # Blocks inside the library until the other process lets go.
            L.xml_lock(schema.encode(), 1, 60000, ctypes.byref(lock), L.ptr(error, L.P_INT))
            outcome["code"] = int(error[0])
            L.xml_unlock(lock)

        waiter = threading.Thread(target=wait_for_lock)
        waiter.start()
        waiter.join(0.3)
        # This thread runs Python while the other waits in the library; had
        # the call kept the GIL, we would get here only after its wait ran
        # out, and it would have failed with code 67.
        assert waiter.is_alive()
        holder.stdin.write("go\n")
        holder.stdin.flush()
        waiter.join(60)
        assert outcome == {"code": 0}
    finally:
        holder.kill()
        holder.wait()


def test_threads_get_the_results_of_serial_calls(small):
    frames = [small.sample(frac=1.0, random_state=s).reset_index(drop=True) for s in range(6)]
    serial = [kest.impute_donors(f, by="g") for f in frames]
    results = [None] * len(frames)

    def run(i):
        results[i] = kest.impute_donors(frames[i], by="g")

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(frames))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for a, b in zip(serial, results):
        pd.testing.assert_frame_equal(a, b)
