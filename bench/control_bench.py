"""Figures of the control channel, printed as plain lines.

    .venv/bin/python bench/control_bench.py

The engine runs in this process (one timer "t", every hour, so nothing fires
during the measurement); the clients run in other processes started with
"spawn" (no fork of a process that has engine threads), so that the Python
client code does not share a GIL or the CPU accounting with the server.

- latency: "status" round trips, one new connection per request as the
  protocol demands (connect, send the line, read the reply up to the server's
  close), 2,000 in a row over vesk.sock and 2,000 over the loopback TCP port,
  each after 200 untimed ones; p50/p90/p99/max in microseconds. Measured once
  from a client process and once from a thread of the engine's own process;
  for scale, also against a minimal one-thread Python server of the same
  exchange (accept, read the line, write a fixed reply, close) in its own
  process: the client's and the kernel's share of the round trip.
- throughput: 8 client processes, each sending status requests over vesk.sock
  back to back for 5 s; the total of correct replies per second and the
  errors (no reply, a wrong reply, a socket error). For comparison the same
  with 8 threads of the engine's own process.
"""

import json
import multiprocessing
import os
import socket
import sys
import tempfile
import threading
import time

LATENCY_REQUESTS = 2_000
LATENCY_WARMUP = 200
CLIENTS = 8
THROUGHPUT_SECONDS = 5.0
SOCKET_TIMEOUT = 10.0


def endpoint(data_dir, kind):
    if kind == "unix":
        return socket.AF_UNIX, os.path.join(data_dir, "vesk.sock")
    with open(os.path.join(data_dir, "vesk.port"), encoding="ascii") as f:
        host, _, port = f.read().strip().rpartition(":")
    if host.startswith("["):
        return socket.AF_INET6, (host[1:-1], int(port))
    return socket.AF_INET, (host, int(port))


def status_line(data_dir, name="t"):
    with open(os.path.join(data_dir, "vesk.token"), encoding="ascii") as f:
        token = f.read().strip()
    return json.dumps({"cmd": "auth", "token": token, "inner": {"cmd": "status", "name": name}}).encode() + b"\n"


def round_trip(family, address, line):
    """One request on a new connection; everything the server sent before closing."""
    with socket.socket(family, socket.SOCK_STREAM) as conn:
        conn.settimeout(SOCKET_TIMEOUT)
        conn.connect(address)
        conn.sendall(line)
        chunks = []
        while chunk := conn.recv(65536):
            chunks.append(chunk)
    return b"".join(chunks)


def reply_is_right(reply, name="t"):
    if not reply.endswith(b"\n") or reply.count(b"\n") != 1:
        return False
    try:
        data = json.loads(reply)
    except ValueError:
        return False
    return data.get("status") == "ok" and isinstance(data.get("data"), dict) and data["data"].get("id") == name


def latency_run(data_dir, kind):
    """Sorted round-trip times in ns and the count of wrong replies."""
    family, address = endpoint(data_dir, kind)
    line = status_line(data_dir)
    wrong = 0
    for _ in range(LATENCY_WARMUP):
        wrong += not reply_is_right(round_trip(family, address, line))
    times = []
    for _ in range(LATENCY_REQUESTS):
        begin = time.perf_counter_ns()
        reply = round_trip(family, address, line)
        times.append(time.perf_counter_ns() - begin)
        wrong += not reply_is_right(reply)
    times.sort()
    return times, wrong


def latency_client(data_dir):
    """Run in a client process: both endpoints."""
    return {kind: latency_run(data_dir, kind) for kind in ("unix", "tcp")}


def throughput_client(data_dir, start_at, seconds):
    """Status requests over vesk.sock from `start_at` (time.time()) for `seconds`."""
    family, address = endpoint(data_dir, "unix")
    line = status_line(data_dir)
    ok, errors, kinds = 0, 0, {}
    time.sleep(max(0.0, start_at - time.time()))
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            reply = round_trip(family, address, line)
        except OSError as error:
            errors += 1
            kinds[type(error).__name__] = kinds.get(type(error).__name__, 0) + 1
            continue
        if reply_is_right(reply):
            ok += 1
        else:
            errors += 1
            key = "no reply" if reply == b"" else "wrong reply"
            kinds[key] = kinds.get(key, 0) + 1
    return ok, errors, kinds


def baseline_server(directory, ready, seconds):
    """A minimal server of the same exchange, for scale: one thread, accepts a
    connection, reads up to the line feed, writes a fixed reply line, closes.
    Ends by itself after `seconds`."""
    import selectors

    unix = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    unix.bind(os.path.join(directory, "baseline.sock"))
    tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    tcp.bind(("127.0.0.1", 0))
    with open(os.path.join(directory, "baseline.port"), "w", encoding="ascii") as f:
        f.write(f"127.0.0.1:{tcp.getsockname()[1]}\n")
    reply = b'{"status":"ok","data":{"id":"t"}}\n'
    selector = selectors.DefaultSelector()
    for listener in (unix, tcp):
        listener.listen(128)
        selector.register(listener, selectors.EVENT_READ)
    ready.set()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for key, _ in selector.select(timeout=0.2):
            conn, _ = key.fileobj.accept()
            with conn:
                conn.settimeout(SOCKET_TIMEOUT)
                data = b""
                try:
                    while b"\n" not in data and len(data) < 65536:
                        chunk = conn.recv(65536)
                        if not chunk:
                            break
                        data += chunk
                    conn.sendall(reply)
                except OSError:
                    pass


def baseline_latency(directory, kind):
    if kind == "unix":
        family, address = socket.AF_UNIX, os.path.join(directory, "baseline.sock")
    else:
        with open(os.path.join(directory, "baseline.port"), encoding="ascii") as f:
            host, _, port = f.read().strip().rpartition(":")
        family, address = socket.AF_INET, (host, int(port))
    line = b'{"cmd":"auth","token":"' + b"0" * 64 + b'","inner":{"cmd":"status","name":"t"}}\n'
    wrong = 0
    times = []
    for i in range(LATENCY_WARMUP + LATENCY_REQUESTS):
        begin = time.perf_counter_ns()
        reply = round_trip(family, address, line)
        if i >= LATENCY_WARMUP:
            times.append(time.perf_counter_ns() - begin)
        wrong += not reply_is_right(reply)
    times.sort()
    return times, wrong


def baseline_client(directory):
    return {kind: baseline_latency(directory, kind) for kind in ("unix", "tcp")}


def percentile(sorted_values, fraction):
    return sorted_values[min(len(sorted_values) - 1, int(len(sorted_values) * fraction))]


def print_latency(where, kind, times, wrong):
    us = lambda ns: ns / 1e3  # noqa: E731
    print(f"latency {kind:4} ({where}): {len(times)} status round trips, new connection each: "
          f"p50 {us(percentile(times, 0.50)):.0f} us, p90 {us(percentile(times, 0.90)):.0f} us, "
          f"p99 {us(percentile(times, 0.99)):.0f} us, max {us(times[-1]):.0f} us, "
          f"mean {us(sum(times) / len(times)):.0f} us; wrong replies {wrong}")


def print_throughput(where, results, seconds):
    ok = sum(r[0] for r in results)
    errors = sum(r[1] for r in results)
    kinds = {}
    for r in results:
        for key, count in r[2].items():
            kinds[key] = kinds.get(key, 0) + count
    per_client = ", ".join(str(r[0]) for r in results)
    print(f"throughput ({where}): {ok} correct status replies over vesk.sock in {seconds:.1f} s = "
          f"{ok / seconds:.0f} requests/s; errors {errors}{' ' + json.dumps(kinds) if kinds else ''}; "
          f"per client: {per_client}")


def main():
    import vesk

    context = multiprocessing.get_context("spawn")
    data_dir = tempfile.mkdtemp(prefix="vesk-control-bench-")
    vesk.schedule("t", fn=lambda: None, every="1h")
    vesk.start(data_dir)
    started = time.monotonic()
    print(f"engine in {data_dir}; python {sys.version.split()[0]}; {os.cpu_count()} CPUs; "
          f"clients: processes started with 'spawn' unless said otherwise")
    try:
        with context.Pool(1) as pool:
            results = pool.apply_async(latency_client, (data_dir,)).get(timeout=120)
        for kind, (times, wrong) in results.items():
            print_latency("client process", kind, times, wrong)

        # For scale: the same exchange with a minimal one-thread Python server
        # in its own process, measured from a client process.
        directory = tempfile.mkdtemp(prefix="vesk-control-baseline-")
        ready = context.Event()
        server = context.Process(target=baseline_server, args=(directory, ready, 60.0))
        server.start()
        try:
            if ready.wait(timeout=30):
                with context.Pool(1) as pool:
                    results = pool.apply_async(baseline_client, (directory,)).get(timeout=120)
                for kind, (times, wrong) in results.items():
                    print_latency("client process, minimal Python server for scale", kind, times, wrong)
        finally:
            server.terminate()
            server.join(timeout=10)

        for kind in ("unix", "tcp"):
            box = {}
            worker = threading.Thread(target=lambda k=kind: box.update(r=latency_run(data_dir, k)))
            worker.start()
            worker.join(timeout=120)
            if "r" in box:
                print_latency("thread of the engine process", kind, *box["r"])
            else:
                print(f"latency {kind}: the client thread did not finish in 120 s")

        with context.Pool(CLIENTS) as pool:
            pool.map(abs, range(CLIENTS))  # the processes exist and have imported this module
            start_at = time.time() + 0.5
            pending = [pool.apply_async(throughput_client, (data_dir, start_at, THROUGHPUT_SECONDS))
                       for _ in range(CLIENTS)]
            results = [p.get(timeout=THROUGHPUT_SECONDS + 60) for p in pending]
        print_throughput(f"{CLIENTS} client processes", results, THROUGHPUT_SECONDS)

        start_at = time.time() + 0.2
        results = [None] * CLIENTS

        def client_thread(i):
            results[i] = throughput_client(data_dir, start_at, THROUGHPUT_SECONDS)

        threads = [threading.Thread(target=client_thread, args=(i,)) for i in range(CLIENTS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=THROUGHPUT_SECONDS + 60)
        if all(r is not None for r in results):
            print_throughput(f"{CLIENTS} threads of the engine process", results, THROUGHPUT_SECONDS)
        else:
            print("throughput (threads): a client thread did not finish in time")
    finally:
        begin = time.monotonic()
        vesk.shutdown(timeout=10.0)
        print(f"shutdown took {(time.monotonic() - begin) * 1e3:.0f} ms; "
              f"engine ran {time.monotonic() - started:.1f} s")


if __name__ == "__main__":
    main()
