"""The control channel under hostile traffic, with timers firing; figures as plain lines.

    .venv/bin/python bench/control_hostile.py [ROUNDS]

ROUNDS (default 2) rounds of the traffic below, each followed by the settle
time: a second round that leaves the counts where the first left them tells
memory kept by the allocator from a leak.

The engine runs in this process with 20 timers firing every second; each
call of their function is recorded. A client process (started with "spawn")
sends 10,000 malformed or hostile requests over vesk.sock and the loopback
TCP port, in a shuffled order:

- random bytes with no line feed (then the write side is shut: the server
  sees the end of the stream), random bytes ending with a line feed;
- a valid request cut in the middle, then the connection closed at once;
- lines over the 1 MiB bound (a few dozen);
- lines that are not JSON (truncated values, bad escapes, invalid UTF-8,
  lone surrogates, deep nesting, NUL bytes);
- JSON with wrong fields (unknown commands, wrong types, repeated keys,
  limits out of range, no token);
- wrong tokens; auth requests nested 2 deep and more than 64 deep;
- slow senders: a byte every 100 ms for a second, then close (two in three),
  or a whole valid request sent in ten pieces over a second whose reply is
  checked (one in three); run by at most 32 threads at a time;
- connections opened and closed at once (some with a reset).

Where the protocol defines the answer (no token, a wrong token, nested auth,
an invalid line closed without a reply, unknown keys skipped) the reply is
checked too. Every 100 hostile requests a valid status request is sent and
its reply must be right; when the server closed it without a reply (which it
does when 64 connections are busy) it is retried once after 50 ms, and the
retries are counted.

Measured in the engine's process: threads and open descriptors before the
traffic, right after it, and after 12 s (idle server threads end after 10 s);
and per timer, the calls seen against the seconds elapsed, the longest gap
between two calls, and the RUN_DUE lines of the log.
"""

import errno
import json
import multiprocessing
import multiprocessing.resource_tracker
import os
import random
import socket
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

from control_bench import endpoint  # the same folder: how to reach either endpoint

TIMERS = 20
HOSTILE_REQUESTS = 10_000
VALID_EVERY = 100
SLOW_SENDERS = 300
SLOW_PARALLEL = 32
HUGE_LINES = 36
SETTLE_BEFORE = 3.0
SETTLE_AFTER = 12.0
CLIENT_TIME_LIMIT = 120.0  # the client stops sending after this long, whatever is left
SOCKET_TIMEOUT = 10.0
MAX_LINE = 1_048_576

# Hostile cases by kind, slow senders apart; they add up to HOSTILE_REQUESTS.
MIX = {
    "random_no_lf": 1_200,
    "random_lf": 1_200,
    "half_line_close": 1_000,
    "huge_line": HUGE_LINES,
    "invalid_json": 1_500,
    "wrong_fields": 1_500,
    "wrong_token": 1_000,
    "nested_auth": 600,
    "open_drop": 1_664,
}
assert sum(MIX.values()) + SLOW_SENDERS == HOSTILE_REQUESTS

NO_REPLY = b""
MISSING_TOKEN = b'{"status":"error","message":"missing IPC token"}\n'
INVALID_TOKEN = b'{"status":"error","message":"invalid IPC token"}\n'
NESTED_AUTH = b'{"status":"error","message":"IPC unavailable: nested auth request is invalid"}\n'


# ---------------------------------------------------------------- client side



def connect(endpoints, kind):
    family, address = endpoints[kind]
    conn = socket.socket(family, socket.SOCK_STREAM)
    conn.settimeout(SOCKET_TIMEOUT)
    try:
        conn.connect(address)
    except BaseException:
        conn.close()
        raise
    return conn


def read_to_end(conn):
    chunks = []
    while chunk := conn.recv(65536):
        chunks.append(chunk)
    return b"".join(chunks)


def exchange(endpoints, kind, payload):
    """Sends `payload`, shuts the write side, reads up to the server's close.

    Returns the reply, or None when the server cut the connection while we
    were still sending (an over-long line) and nothing came back.
    """
    with connect(endpoints, kind) as conn:
        try:
            conn.sendall(payload)
            conn.shutdown(socket.SHUT_WR)
        except (BrokenPipeError, ConnectionResetError, OSError) as error:
            # The server closed while we were sending (EPIPE, ECONNRESET), or
            # before the shutdown (ENOTCONN); a time-out is a real error.
            if isinstance(error, TimeoutError):
                raise
            try:
                return read_to_end(conn) or None
            except OSError:
                return None
        try:
            return read_to_end(conn)
        except ConnectionResetError:
            return None


def auth(token, inner):
    return {"cmd": "auth", "token": token, "inner": inner}


def line_of(value):
    return json.dumps(value, separators=(",", ":")).encode() + b"\n"


def random_bytes(rng, n):
    return rng.randbytes(n)


def case_bytes(kind, rng, token):
    """(payload, expected reply or None when the protocol leaves it open, how to send)."""
    valid = line_of(auth(token, {"cmd": "status", "name": "t00"}))
    if kind == "random_no_lf":
        data = random_bytes(rng, rng.choice([1, 7, 64, 500, 4096, 60_000])).replace(b"\n", b" ")
        return data, NO_REPLY, "shut"
    if kind == "random_lf":
        data = random_bytes(rng, rng.choice([0, 1, 7, 64, 500, 4096, 60_000])).replace(b"\n", b" ")
        return data + b"\n", NO_REPLY, "shut"
    if kind == "half_line_close":
        cut = rng.randrange(1, len(valid) - 1)
        return valid[:cut], None, rng.choice(["drop", "reset"])
    if kind == "huge_line":
        size = MAX_LINE + rng.choice([1, 100, 65_536, 1_000_000, 3_000_000])
        flavour = rng.randrange(3)
        if flavour == 0:  # a valid request padded with spaces past the bound
            base = valid[:-1]
            data = base + b" " * (size - len(base) - 1) + b"\n"
        elif flavour == 1:  # one long string, line feed at the end
            data = b'{"cmd":"auth","token":"' + b"a" * (size - 30) + b'"}\n'
        else:  # no line feed at all
            data = b"x" * size
        return data, None, "shut"  # no reply expected; the send may be cut
    if kind == "invalid_json":
        choices = [
            b"not json\n",
            b"{\n",
            b"}\n",
            b'{"cmd":"auth","token":"' + token.encode() + b'","inner":{"cmd":"status","name":"t00"}\n',
            b'{"cmd":"auth","token":"' + token.encode() + b'","inner":{"cmd":"status","name":"t\\x00"}}\n',
            b'{"cmd":"status","name":"\\ud800"}\n',
            b'{"cmd":"auth","token":"' + token.encode() + b'","inner":{"cmd":"status","name":"\\udc00x"}}\n',
            b'{"cmd":"status","name":"\xff\xfe"}\n',
            b'{"cmd":"auth","token":"\xc0\xaf","inner":{"cmd":"list"}}\n',
            b'{"cmd":"list"}\x00\n',
            b'{"cmd":"list",}\n',
            b"{'cmd':'list'}\n",
            b'{"cmd":"list"} {"cmd":"list"}\n',
            b"[" * 100_000 + b"\n",
            b'{"cmd":"list","x":' + b"[" * 5_000 + b"]" * 5_000 + b"}\n",
            b'{"a":' * 10_000 + b"1" + b"}" * 10_000 + b"\n",
            b'{"cmd":"history","name":"a","limit":1' + b"0" * 400 + b"}\n",
            b'{"cmd":"history","name":"a","limit":1e400}\n',
            b'{"cmd":"status","name":"' + b"\\" * 999 + b'"}\n',
            b"\xef\xbb\xbf" + line_of({"cmd": "list"}),
            b"\r\n",
            b"\n",
            b"\x00\x00\x00\n",
            b"nul\n",
            b"tru\n",
            b"-\n",
            b'"\n',
        ]
        return rng.choice(choices), NO_REPLY, "shut"
    if kind == "wrong_fields":
        # (value, expected reply)
        cases = [
            ({"cmd": "auth", "token": token, "inner": {"cmd": "STATUS", "name": "t00"}}, NO_REPLY),
            ({"cmd": "auth", "token": token, "inner": {"cmd": "status"}}, NO_REPLY),
            ({"cmd": "auth", "token": token, "inner": {"cmd": "status", "name": 5}}, NO_REPLY),
            ({"cmd": "auth", "token": token, "inner": {"cmd": "status", "name": None}}, NO_REPLY),
            ({"cmd": "auth", "token": token, "inner": {"cmd": "status", "name": ["t00"]}}, NO_REPLY),
            ({"cmd": "auth", "token": token, "inner": {"cmd": "history", "name": "t00", "limit": -1}}, NO_REPLY),
            ({"cmd": "auth", "token": token, "inner": {"cmd": "history", "name": "t00", "limit": 1.5}}, NO_REPLY),
            ({"cmd": "auth", "token": token, "inner": {"cmd": "history", "name": "t00", "limit": 2 ** 64}},
             NO_REPLY),
            ({"cmd": "auth", "token": token, "inner": {"cmd": "history", "name": "t00", "limit": "3"}}, NO_REPLY),
            ({"cmd": "auth", "token": token, "inner": {"cmd": "bogus"}}, NO_REPLY),
            ({"cmd": "auth", "token": token, "inner": {}}, NO_REPLY),
            ({"cmd": "auth", "token": token, "inner": []}, NO_REPLY),
            ({"cmd": "auth", "token": token, "inner": "status"}, NO_REPLY),
            ({"cmd": "auth", "token": token}, NO_REPLY),
            ({"cmd": "auth", "inner": {"cmd": "list"}}, NO_REPLY),
            ({"cmd": "auth", "token": 12345, "inner": {"cmd": "list"}}, NO_REPLY),
            ({"cmd": "auth", "token": None, "inner": {"cmd": "list"}}, NO_REPLY),
            ({"cmd": 1}, NO_REPLY),
            ({"token": token, "inner": {"cmd": "list"}}, NO_REPLY),
            (["auth", token], NO_REPLY),
            (42, NO_REPLY),
            (None, NO_REPLY),
            ({"cmd": "status", "name": "t00"}, MISSING_TOKEN),
            ({"cmd": "list"}, MISSING_TOKEN),
            ({"cmd": "shutdown"}, MISSING_TOKEN),
            ({"cmd": "compact"}, MISSING_TOKEN),
            ({"cmd": "history", "name": "t00", "limit": 3}, MISSING_TOKEN),
            # Unknown keys are skipped: these are answered.
            ({"cmd": "auth", "token": token, "inner": {"cmd": "status", "name": "nope", "x": [1, {"y": None}]},
              "extra": {"deep": [[[]]]}}, b'{"status":"ok","data":null}\n'),
            ({"cmd": "auth", "token": token, "inner": {"cmd": "status", "name": "\u00e9\u6f22\U0001f600"}},
             b'{"status":"ok","data":null}\n'),
            ({"cmd": "auth", "token": token, "inner": {"cmd": "status", "name": "n" * 200_000}},
             b'{"status":"ok","data":null}\n'),
            ({"cmd": "auth", "token": token, "inner": {"cmd": "history", "name": "nope", "limit": 0}},
             b'{"status":"ok","data":[]}\n'),
        ]
        value, expected = rng.choice(cases)
        data = line_of(value)
        if isinstance(value, dict) and "cmd" in value and rng.random() < 0.1:  # "cmd" twice: refused
            data, expected = b'{"cmd":"list",' + data[1:], NO_REPLY
        return data, expected, "shut"
    if kind == "wrong_token":
        wrong = rng.choice([
            "", "x" * 64, token[:-1], token + "0", token.upper(), token[::-1], " " + token,
            token[:32], "0" * 64, token[:-1] + ("0" if token[-1] != "0" else "1"), "t" * 10_000,
        ])
        inner = rng.choice([{"cmd": "list"}, {"cmd": "status", "name": "t00"}, {"cmd": "shutdown"},
                            {"cmd": "compact"}, {"cmd": "doctor"}])
        return line_of(auth(wrong, inner)), INVALID_TOKEN, "shut"
    if kind == "nested_auth":
        flavour = rng.randrange(4)
        if flavour == 0:
            return line_of(auth(token, auth(token, {"cmd": "list"}))), NESTED_AUTH, "shut"
        if flavour == 1:
            return line_of(auth(token, auth("wrong", {"cmd": "shutdown"}))), NESTED_AUTH, "shut"
        if flavour == 2:  # deeper than the 64 levels allowed
            depth = rng.choice([66, 100, 120, 1000, 20_000])
            head = b'{"cmd":"auth","token":"' + token.encode() + b'","inner":'
            return head * depth + b'{"cmd":"list"}' + b"}" * depth + b"\n", NO_REPLY, "shut"
        value = auth(token, auth(token, auth(token, {"cmd": "status", "name": "t00"})))
        return line_of(value), NESTED_AUTH, "shut"
    if kind == "open_drop":
        return b"", None, rng.choice(["drop", "reset"])
    raise ValueError(kind)


def send_case(endpoints, kind, payload, how):
    """Returns the reply (None: cut or not read)."""
    if how == "shut":
        return exchange(endpoints, kind, payload)
    conn = connect(endpoints, kind)
    try:
        if payload:
            conn.sendall(payload)
        if how == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    except OSError:
        pass
    finally:
        conn.close()
    return None


def valid_status(endpoints, kind, token, name):
    """(ok, retried, detail) for one valid status request."""
    line = line_of(auth(token, {"cmd": "status", "name": name}))
    retried = False
    for attempt in range(2):
        try:
            reply = exchange(endpoints, kind, line)
        except OSError as error:
            reply, detail = None, f"{type(error).__name__}: {error}"
        else:
            detail = repr(reply[:200]) if reply is not None else "cut"
        if reply:
            try:
                data = json.loads(reply)
            except ValueError:
                return False, retried, f"not JSON: {reply[:200]!r}"
            right = (reply.endswith(b"\n") and reply.count(b"\n") == 1 and data.get("status") == "ok"
                     and isinstance(data.get("data"), dict) and data["data"].get("id") == name)
            return right, retried, detail
        if attempt == 0:
            retried = True
            time.sleep(0.05)
    return False, retried, detail


def slow_sender(endpoints, kind, token, complete):
    """A byte (or a tenth of a request) every 100 ms for a second, then close or read the reply."""
    line = line_of(auth(token, {"cmd": "status", "name": "t01"}))
    try:
        conn = connect(endpoints, kind)
    except OSError as error:
        return "connect failed: " + type(error).__name__
    with conn:
        try:
            if complete:
                step = -(-len(line) // 10)
                for i in range(10):
                    conn.sendall(line[i * step:(i + 1) * step])
                    time.sleep(0.1)
                conn.shutdown(socket.SHUT_WR)
                reply = read_to_end(conn)
                if not reply:
                    return "complete: no reply"
                data = json.loads(reply)
                ok = data.get("status") == "ok" and data["data"].get("id") == "t01"
                return "complete: ok" if ok else f"complete: wrong reply {reply[:200]!r}"
            for i in range(10):
                conn.sendall(line[i:i + 1])
                time.sleep(0.1)
            return "partial: closed"
        except (OSError, ValueError) as error:
            return f"{'complete' if complete else 'partial'}: {type(error).__name__}: {error}"


def hostile_client(data_dir, result_path, seed):
    rng = random.Random(seed)
    with open(os.path.join(data_dir, "vesk.token"), encoding="ascii") as f:
        token = f.read().strip()
    endpoints = {kind: endpoint(data_dir, kind) for kind in ("unix", "tcp")}
    plan = [kind for kind, count in MIX.items() for _ in range(count)] + ["slow"] * SLOW_SENDERS
    rng.shuffle(plan)

    sent = {}
    unexpected = []  # (case kind, endpoint, payload head, expected, got)
    unexpected_count = 0
    errors = {}
    valid = {"sent": 0, "ok": 0, "failed": 0, "retried": 0, "failures": []}
    slow_results = {}
    slow_gate = threading.BoundedSemaphore(SLOW_PARALLEL)
    slow_futures = []
    begin = time.monotonic()
    stopped_early = False

    def slow_task(kind, complete):
        try:
            return slow_sender(endpoints, kind, token, complete)
        finally:
            slow_gate.release()

    with ThreadPoolExecutor(max_workers=SLOW_PARALLEL) as slow_pool:
        for index, case in enumerate(plan):
            if time.monotonic() - begin > CLIENT_TIME_LIMIT:
                stopped_early = True
                break
            if index % VALID_EVERY == 0:
                kind = "unix" if (index // VALID_EVERY) % 2 == 0 else "tcp"
                name = f"t{(index // VALID_EVERY) % TIMERS:02d}"
                ok, retried, detail = valid_status(endpoints, kind, token, name)
                valid["sent"] += 1
                valid["ok"] += ok
                valid["retried"] += retried
                if not ok:
                    valid["failed"] += 1
                    if len(valid["failures"]) < 20:
                        valid["failures"].append([index, kind, detail])
            kind = rng.choice(["unix", "tcp"])
            sent[case] = sent.get(case, 0) + 1
            if case == "slow":
                # Waits while 32 slow senders are at work: at most 32 at once.
                if not slow_gate.acquire(timeout=30):
                    errors["slow gate timeout"] = errors.get("slow gate timeout", 0) + 1
                    continue
                slow_futures.append(slow_pool.submit(slow_task, kind, rng.random() < 1 / 3))
                continue
            payload, expected, how = case_bytes(case, rng, token)
            try:
                got = send_case(endpoints, kind, payload, how)
            except OSError as error:
                key = f"{case}: {type(error).__name__} {errno.errorcode.get(error.errno, error.errno)}"
                errors[key] = errors.get(key, 0) + 1
                continue
            if expected is not None and got is not None and got != expected:
                unexpected_count += 1
                if len(unexpected) < 20:
                    unexpected.append([case, kind, repr(payload[:120]), repr(expected), repr(got[:300])])
            elif expected is not None and got is None and expected != NO_REPLY:
                unexpected_count += 1
                if len(unexpected) < 20:
                    unexpected.append([case, kind, repr(payload[:120]), repr(expected), "connection cut"])
        # A last valid request after all the quick cases.
        ok, retried, detail = valid_status(endpoints, "unix", token, "t00")
        valid["sent"] += 1
        valid["ok"] += ok
        valid["retried"] += retried
        if not ok:
            valid["failed"] += 1
            valid["failures"].append(["end", "unix", detail])
        for future in slow_futures:
            outcome = future.result(timeout=60)
            slow_results[outcome] = slow_results.get(outcome, 0) + 1

    result = {
        "sent": sent, "total": sum(sent.values()), "duration": time.monotonic() - begin,
        "stopped_early": stopped_early, "unexpected_count": unexpected_count, "unexpected": unexpected,
        "errors": errors, "valid": valid, "slow": slow_results,
    }
    with open(result_path, "w", encoding="utf-8") as f:
        json.dump(result, f)


# ---------------------------------------------------------------- engine side


def threads_and_fds():
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))


def fd_targets():
    targets = {}
    for fd in os.listdir("/proc/self/fd"):
        try:
            targets[fd] = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            pass  # the descriptor of the listing itself
    return targets


def rss_kib():
    with open("/proc/self/status", encoding="ascii") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def print_client_result(result, exit_code):
    print(f"client: {result['total']} hostile requests in {result['duration']:.1f} s "
          f"(exit code {exit_code}{', stopped at the time limit' if result['stopped_early'] else ''}): "
          + ", ".join(f"{k} {v}" for k, v in sorted(result["sent"].items())))
    valid = result["valid"]
    print(f"valid status requests: {valid['sent']} sent, {valid['ok']} right, {valid['failed']} failed, "
          f"{valid['retried']} retried once after a close without reply")
    for failure in valid["failures"]:
        print(f"  valid request failure: {failure}")
    print("slow senders: " + ", ".join(f"{k}: {v}" for k, v in sorted(result["slow"].items())))
    print(f"hostile requests with a reply other than the defined one: {result['unexpected_count']}")
    for item in result["unexpected"]:
        print(f"  unexpected: {item}")
    print(f"client-side socket errors: {sum(result['errors'].values())} {json.dumps(result['errors'])}")


def main():
    import vesk

    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 2
    run_begin = time.monotonic()
    data_dir = tempfile.mkdtemp(prefix="vesk-control-hostile-")
    calls = {f"t{i:02d}": [] for i in range(TIMERS)}

    def recorder(name):
        def fire():
            calls[name].append(time.monotonic())
        return fire

    for name in calls:
        vesk.schedule(name, fn=recorder(name), every="1s")
    vesk.start(data_dir)
    engine_start = time.monotonic()
    # "spawn" keeps a pipe to multiprocessing's resource tracker process:
    # opened now, it is part of the count before the traffic.
    multiprocessing.resource_tracker.ensure_running()
    time.sleep(SETTLE_BEFORE)
    threads_before, fds_before = threads_and_fds()
    fds_listed = fd_targets()
    rss_before = rss_kib()
    window_begin = time.monotonic()
    print(f"engine in {data_dir}; python {sys.version.split()[0]}; {os.cpu_count()} CPUs; {TIMERS} timers every 1s; "
          f"{rounds} round(s) of {HOSTILE_REQUESTS} hostile requests")
    print(f"before: {threads_before} threads, {fds_before} open fds, RSS {rss_before} KiB (engine process)")

    context = multiprocessing.get_context("spawn")
    totals = {"sent": 0, "valid_failed": 0, "valid_retried": 0, "unexpected": 0}
    for round_number in range(1, rounds + 1):
        result_path = os.path.join(data_dir, f"hostile-result-{round_number}.json")
        client = context.Process(target=hostile_client, args=(data_dir, result_path, 20240611 + round_number))
        client.start()
        client.join(timeout=CLIENT_TIME_LIMIT + 60)
        if client.is_alive():
            print("the client process did not end in time: stopped")
            client.terminate()
            client.join(timeout=10)
        exit_code = client.exitcode
        client.close()

        print(f"--- round {round_number}")
        try:
            with open(result_path, encoding="utf-8") as f:
                result = json.load(f)
        except (OSError, ValueError) as error:
            print(f"no result from the client process (exit code {exit_code}): {error}")
        else:
            print_client_result(result, exit_code)
            totals["sent"] += result["total"]
            totals["valid_failed"] += result["valid"]["failed"]
            totals["valid_retried"] += result["valid"]["retried"]
            totals["unexpected"] += result["unexpected_count"]
        threads_now, fds_now = threads_and_fds()
        print(f"right after the traffic: {threads_now} threads, {fds_now} open fds, RSS {rss_kib()} KiB")
        time.sleep(SETTLE_AFTER)
        threads_after, fds_after = threads_and_fds()
        print(f"after {SETTLE_AFTER:.0f} s more: {threads_after} threads, {fds_after} open fds, RSS {rss_kib()} KiB "
              f"(before the traffic: {threads_before} threads, {fds_before} fds, RSS {rss_before} KiB)")
        now_listed = fd_targets()
        for fd, target in sorted(now_listed.items(), key=lambda item: int(item[0])):
            if fds_listed.get(fd) != target:
                print(f"  fd {fd} -> {target} (before: {fds_listed.get(fd, 'not open')})")
        for fd in sorted(set(fds_listed) - set(now_listed), key=int):
            print(f"  fd {fd} closed (was {fds_listed[fd]})")
    window_end = time.monotonic()
    print(f"--- all rounds: {totals['sent']} hostile requests, {totals['valid_failed']} valid-request failures, "
          f"{totals['valid_retried']} retries, {totals['unexpected']} unexpected replies")

    begin = time.monotonic()
    vesk.shutdown(timeout=10.0)
    shutdown_end = time.monotonic()
    print(f"shutdown took {(shutdown_end - begin) * 1e3:.0f} ms")

    window = window_end - window_begin
    since_start = begin - engine_start
    due = {name: 0 for name in calls}
    succeeded = {name: 0 for name in calls}
    with open(os.path.join(data_dir, "vesk.aof"), encoding="utf-8") as log:
        for line in log:
            event = json.loads(line)["event"]
            if event.get("timer_id") in due:
                if event["type"] == "RUN_DUE":
                    due[event["timer_id"]] += 1
                elif event["type"] == "RUN_SUCCEEDED":
                    succeeded[event["timer_id"]] += 1
    print(f"timers: window of {window:.1f} s from before the traffic to the end of the settle time "
          f"(expected about {window:.0f} calls each); {since_start:.1f} s from start to shutdown")
    worst_gap = 0.0
    short = 0
    for name, times in calls.items():
        in_window = [t for t in times if window_begin <= t < window_end]
        points = [window_begin] + in_window + [window_end]
        gap = max(b - a for a, b in zip(points, points[1:]))
        worst_gap = max(worst_gap, gap)
        short += len(in_window) < int(window) - 1
        print(f"  {name}: {len(in_window)} calls in the window (expected ~{window:.0f}), longest gap {gap:.2f} s; "
              f"{len(times)} calls in all (expected ~{since_start:.0f}), {due[name]} RUN_DUE and {succeeded[name]} RUN_SUCCEEDED in the log")
    print(f"timers short of calls by more than one: {short} of {TIMERS}; longest gap of any timer {worst_gap:.2f} s")
    print(f"total duration {time.monotonic() - run_begin:.1f} s")


if __name__ == "__main__":
    main()
