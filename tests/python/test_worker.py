"""Worker against the fake scheduling service: register, poll, call, report."""

import inspect
import json
import threading
import time

import pytest

import vesk


def bodies(service, path):
    """The JSON bodies of the recorded requests to `path`, in order."""
    found = []
    for raw in service.requests:
        head, _, body = raw.partition(b"\r\n\r\n")
        if head.split(b"\r\n", 1)[0].split(b" ")[1] == path.encode():
            found.append(json.loads(body))
    return found


def request_lines(service):
    return [raw.split(b"\r\n", 1)[0].decode("latin-1") for raw in service.requests]


def test_signatures_and_generated_ids(service):
    assert str(inspect.signature(vesk.Worker)) == "(server, token, worker_id=None)"
    first = vesk.Worker(service.url, service.token)
    assert str(inspect.signature(first.run_once)) == "(timeout=20.0)"
    time.sleep(0.001)
    second = vesk.Worker(service.url, service.token, worker_id=None)
    first.register()
    second.register()
    ids = [body["worker_id"] for body in bodies(service, "/v1/workers/register")]
    assert all(i.startswith("worker_") and i[7:].isdigit() for i in ids) and ids[0] != ids[1]


def test_decorator_returns_the_function_and_the_later_one_wins(service):
    worker = vesk.Worker(service.url, service.token, worker_id="w-1")

    def first(payload):
        return "first"

    def second(payload):
        return "second"

    assert worker.task("job")(first) is first
    assert worker.task("job")(second) is second
    vesk.Client(service.url, service.token).schedule("t", task="job", payload={"n": 1})
    assert worker.run_once(5) is True
    assert bodies(service, "/v1/workers/register")[-1] == {"lease_seconds": 30, "tasks": ["job"], "worker_id": "w-1"}


def test_no_run_returns_false_after_register_and_poll(service):
    worker = vesk.Worker(service.url, service.token)
    worker.task("job")(lambda payload: None)
    assert worker.run_once(5) is False
    lines = request_lines(service)
    assert lines == ["POST /v1/workers/register HTTP/1.1", "POST /v1/workers/poll HTTP/1.1"]
    registration = bodies(service, "/v1/workers/register")[0]
    assert registration["worker_id"].startswith("worker_") and registration["worker_id"][7:].isdigit()
    assert bodies(service, "/v1/workers/poll")[0] == {"tasks": ["job"], "worker_id": registration["worker_id"]}


def test_success_and_failure_reports_carry_the_fencing_token(service):
    seen = []
    worker = vesk.Worker(service.url, service.token, worker_id="w")

    @worker.task("ok")
    def ok(payload):
        seen.append(payload)
        return {"not": "sent"}

    @worker.task("bad")
    def bad(payload):
        raise ValueError("boom")

    client = vesk.Client(service.url, service.token)
    client.schedule("a", task="ok", payload={"n": [1, 2]})
    client.schedule("b", task="bad", max_attempts=1)
    assert worker.run_once(5) is True
    assert worker.run_once(5) is True
    assert seen == [{"n": [1, 2]}]
    reports = [line for line in request_lines(service) if line.startswith("POST /v1/runs/")]
    assert reports[0].endswith("/succeed HTTP/1.1") and reports[1].endswith("/fail HTTP/1.1")
    polls = [json.loads(raw.partition(b"\r\n\r\n")[2]) for raw in service.requests
             if raw.startswith(b"POST /v1/runs/")]
    assert polls[0] == {"fencing_token": 1, "worker_id": "w"}
    assert polls[1] == {"error": "ValueError: boom", "fencing_token": 2, "worker_id": "w"}


def test_coroutine_tasks_run_to_completion(service):
    ran = []
    worker = vesk.Worker(service.url, service.token, worker_id="w")

    @worker.task("async-ok")
    async def async_ok(payload):
        ran.append(payload)

    @worker.task("async-bad")
    async def async_bad(payload):
        raise KeyError("x")

    client = vesk.Client(service.url, service.token)
    client.schedule("a", task="async-ok", payload=7)
    client.schedule("b", task="async-bad", max_attempts=1)
    assert worker.run_once(5) and worker.run_once(5)
    assert ran == [7]
    failures = [json.loads(raw.partition(b"\r\n\r\n")[2]) for raw in service.requests if b"/fail " in raw]
    assert failures[0]["error"] == "KeyError: 'x'"


@pytest.mark.parametrize("reply, report_line, report", [
    ({"task": "job", "run_id": "r1", "payload": 5}, "POST /v1/runs/r1/succeed HTTP/1.1", {"fencing_token": 0}),
    ({"task": "job", "run_id": "r1", "fencing_token": -3}, "POST /v1/runs/r1/succeed HTTP/1.1", {"fencing_token": 0}),
    ({"task": "job", "run_id": "r1", "fencing_token": 1.5}, "POST /v1/runs/r1/succeed HTTP/1.1", {"fencing_token": 0}),
    ({"task": "job", "run_id": "r1", "fencing_token": "7"}, "POST /v1/runs/r1/succeed HTTP/1.1", {"fencing_token": 0}),
    ({"task": "job", "run_id": "r1", "fencing_token": 2**64 - 1}, "POST /v1/runs/r1/succeed HTTP/1.1",
     {"fencing_token": 2**64 - 1}),
    ({"task": "job", "fencing_token": 4}, "POST /v1/runs//succeed HTTP/1.1", {"fencing_token": 4}),
    ({"task": "job", "run_id": 12, "fencing_token": 4}, "POST /v1/runs//succeed HTTP/1.1", {"fencing_token": 4}),
    ({"task": "job", "run_id": "a b", "fencing_token": 4}, "POST /v1/runs/a b/succeed HTTP/1.1", {"fencing_token": 4}),
])
def test_poll_reply_members_are_read_leniently(service, reply, report_line, report):
    payloads = []
    worker = vesk.Worker(service.url, service.token, worker_id="w")
    worker.task("job")(payloads.append)
    service.poll_reply = reply
    assert worker.run_once(5) is True
    assert payloads == [reply.get("payload")]
    assert request_lines(service)[-1] == report_line
    assert json.loads(service.requests[-1].partition(b"\r\n\r\n")[2]) == {**report, "worker_id": "w"}


def test_a_run_id_with_a_line_break_is_not_sent(service):
    calls = []
    worker = vesk.Worker(service.url, service.token)
    worker.task("job")(calls.append)
    service.poll_reply = {"task": "job", "run_id": "r HTTP/1.1\r\nX-Evil: 1\r\n\r\nPOST /x", "payload": 1}
    with pytest.raises(RuntimeError, match="^invalid request: path contains a control character$"):
        worker.run_once(5)
    assert calls == [1]
    assert request_lines(service) == ["POST /v1/workers/register HTTP/1.1", "POST /v1/workers/poll HTTP/1.1"]


def test_a_reply_without_a_task_name_looks_up_the_empty_name(service):
    worker = vesk.Worker(service.url, service.token)
    worker.task("")(lambda payload: None)
    service.poll_reply = {"task": 3, "run_id": "r"}
    assert worker.run_once(5) is True
    assert request_lines(service)[-1] == "POST /v1/runs/r/succeed HTTP/1.1"


def test_unregistered_task_raises_and_reports_nothing(service):
    worker = vesk.Worker(service.url, service.token)
    vesk.Client(service.url, service.token).schedule("a", task="elsewhere")
    with pytest.raises(RuntimeError, match="^task elsewhere is not registered$"):
        worker.run_once(5)
    assert not [line for line in request_lines(service) if line.startswith("POST /v1/runs/")]


@pytest.mark.parametrize("bad", [-1, float("nan"), float("inf")])
def test_bad_timeout_sends_nothing(service, bad):
    worker = vesk.Worker(service.url, service.token)
    with pytest.raises(ValueError, match="^timeout must be a non-negative number$"):
        worker.run_once(bad)
    assert service.requests == []


def test_zero_timeout_fails_the_poll_after_registering(service):
    worker = vesk.Worker(service.url, service.token)
    with pytest.raises(RuntimeError, match="^cannot set a 0 duration timeout$"):
        worker.run_once(0)
    assert request_lines(service) == ["POST /v1/workers/register HTTP/1.1"]


def test_run_stops_at_the_first_exchange_error(service):
    worker = vesk.Worker(service.url, "wrong-token")
    with pytest.raises(RuntimeError, match=f"^HTTP 401 from {service.authority}: unauthorized$"):
        worker.run()


HOLDING_SERVER = """
import socket, sys
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(4)
print(listener.getsockname()[1], flush=True)
registration, _ = listener.accept()  # answered at once
registration.recv(65536)
registration.sendall(b"HTTP/1.1 200 OK\\r\\n\\r\\n{}")
registration.close()
poll, _ = listener.accept()  # held open until the test closes stdin
sys.stdin.read()
"""


def test_other_threads_run_during_a_poll():
    """The poll lets the interpreter lock go: a ticking thread keeps ticking.

    The service runs in its own process: the registration keeps the
    interpreter lock, so a server thread in this process could not answer it.
    """
    import subprocess
    import sys

    server = subprocess.Popen([sys.executable, "-c", HOLDING_SERVER], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline())
        ticks = []
        stop = threading.Event()

        def tick():
            while not stop.is_set():
                ticks.append(time.monotonic())
                time.sleep(0.005)

        ticker = threading.Thread(target=tick)
        ticker.start()
        worker = vesk.Worker(f"127.0.0.1:{port}", "t")
        begin = time.monotonic()
        try:
            with pytest.raises(RuntimeError):
                worker.run_once(0.5)  # the poll times out
        finally:
            stop.set()
            ticker.join()
        during = [t for t in ticks if begin + 0.1 < t < begin + 0.4]
        assert len(during) >= 10
    finally:
        server.stdin.close()
        server.wait(10)
        server.stdout.close()


def test_a_worker_in_a_reference_cycle_is_collected():
    import gc
    import weakref

    def make():
        worker = vesk.Worker("127.0.0.1:9", "t")
        decorator = worker.task("job")

        def job(payload):
            return worker, decorator  # the function keeps its worker alive

        decorator(job)
        return weakref.ref(job)

    alive = make()
    gc.collect()
    assert alive() is None
