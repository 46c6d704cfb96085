"""A first walk through vesk: two timers, a retry, status and shutdown.

Run it with the project's virtual environment (`make demo` does):

    .venv/bin/python examples/quickstart.py

It keeps its data in a temporary directory, so every run starts fresh.
"""

import tempfile
import time

import vesk

attempts = []


def every_minute():
    # A cron timer: '* * * * *' in UTC fires at second 0 of every minute.
    print("  [cron] a new minute began")


def flaky(run):
    # An interval timer whose first attempt fails. vesk records the failure
    # and retries it later with the same run id (30 s, then 60 s, ...).
    attempts.append(run["run_id"])
    if len(attempts) == 1:
        raise ConnectionError("the upstream did not answer")
    print(f"  [every] run {run['run_id']} succeeded")


def show(name):
    s = vesk.status(name)
    print(f"  {s['id']:<12} {s['state']:<10} last: {s['last_status']}  next: {s['next_run_at']}")


def main() -> None:
    data_dir = tempfile.mkdtemp(prefix="vesk-quickstart-")
    print(f"vesk {vesk.__version__}: engine data in {data_dir}\n")

    vesk.schedule("every-minute", fn=every_minute, cron="* * * * *")
    vesk.schedule("flaky", fn=flaky, every="1s", max_attempts=3)
    vesk.start(data_dir)

    print("timers right after start:")
    for name in ("every-minute", "flaky"):
        show(name)

    deadline = time.monotonic() + 5
    while vesk.status("flaky")["last_status"] is None and time.monotonic() < deadline:
        time.sleep(0.05)

    print("\nafter the first run of 'flaky' failed:")
    show("flaky")
    print("  (its retry is due 30 s after the failure; the log in vesk.aof holds every step)")

    print(f"\nvesk.list() knows {len(vesk.list())} timers")
    vesk.shutdown(timeout=5.0)
    print("engine shut down; vesk.status('flaky') is now", vesk.status("flaky"))


if __name__ == "__main__":
    main()
