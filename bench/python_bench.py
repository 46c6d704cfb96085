"""Figures of the Python module, printed as plain lines.

    .venv/bin/python bench/python_bench.py

- run cost: timers with every="0s" fire again as soon as their run ends; on a
  data directory in memory (/dev/shm) the appends cost almost nothing, so the
  time per run is the engine's and the binding's own work (the call, its
  signature inspection, the bookkeeping) plus three cheap appends.
- status(name) and list() of 10,000 timers.
"""

import datetime
import json
import os
import statistics
import tempfile
import time

import vesk


def instant_ns(text):
    """Nanoseconds since the epoch of a log timestamp ("...T...[.fraction]Z")."""
    whole, _, fraction = text.rstrip("Z").partition(".")
    seconds = datetime.datetime.fromisoformat(whole).replace(tzinfo=datetime.timezone.utc).timestamp()
    return int(seconds) * 1_000_000_000 + int((fraction + "000000000")[:9])


def run_cost(timers=4, seconds=3.0):
    root = "/dev/shm" if os.path.isdir("/dev/shm") else None
    data_dir = tempfile.mkdtemp(prefix="vesk-bench-", dir=root)
    calls = [0]

    def empty(run):
        calls[0] += 1

    for i in range(timers):
        vesk.schedule(f"t{i}", fn=empty, every="0s", max_attempts=1)
    vesk.start(data_dir)
    time.sleep(0.5)  # let the pool of run threads form
    first, begin = calls[0], time.perf_counter()
    time.sleep(seconds)
    runs, elapsed = calls[0] - first, time.perf_counter() - begin
    vesk.shutdown(timeout=10.0)
    started, spans = {}, []
    with open(os.path.join(data_dir, "vesk.aof"), encoding="utf-8") as log:
        for line in log:
            entry = json.loads(line)
            event = entry["event"]
            if event["type"] == "RUN_STARTED":
                started[event["run_id"]] = entry["ts"]
            elif event["type"] == "RUN_SUCCEEDED" and event["run_id"] in started:
                spans.append(instant_ns(entry["ts"]) - instant_ns(started[event["run_id"]]))
    spans.sort()
    print(f"run cost: {runs} runs of an empty function in {elapsed:.2f} s = {runs / elapsed:.0f} runs/s, "
          f"{elapsed / runs * 1e6:.1f} us per run ({timers} timers, data in {root or 'a temporary directory'})")
    print(f"from the RUN_STARTED line to the RUN_SUCCEEDED line (the call through the binding, the hand-over of "
          f"the engine lock, one in-memory append): p50 {spans[len(spans) // 2] / 1e3:.1f} us, "
          f"p10 {spans[len(spans) // 10] / 1e3:.1f} us, p90 {spans[len(spans) * 9 // 10] / 1e3:.1f} us")


def status_and_list(count=10_000):
    data_dir = tempfile.mkdtemp(prefix="vesk-bench-")

    def never():
        pass

    for i in range(count):
        vesk.schedule(f"timer-{i:05d}", fn=never, every="1d")
    begin = time.perf_counter()
    vesk.start(data_dir)
    print(f"start with {count} queued timers (each a synced TIMER_CREATED): {time.perf_counter() - begin:.2f} s")

    samples = []
    for _ in range(20):
        begin = time.perf_counter()
        for i in range(0, count, 10):
            vesk.status(f"timer-{i:05d}")
        samples.append((time.perf_counter() - begin) / (count // 10) * 1e6)
    print(f"status(name): median {statistics.median(samples):.2f} us, min {min(samples):.2f}, "
          f"max {max(samples):.2f} (20 batches of {count // 10})")

    samples = []
    for _ in range(20):
        begin = time.perf_counter()
        listed = vesk.list()
        samples.append((time.perf_counter() - begin) * 1e3)
    assert len(listed) == count
    print(f"list() of {count}: median {statistics.median(samples):.2f} ms, min {min(samples):.2f}, "
          f"max {max(samples):.2f} (20 calls)")
    vesk.shutdown()


if __name__ == "__main__":
    run_cost()
    status_and_list()
