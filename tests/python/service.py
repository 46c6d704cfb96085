"""A small fake scheduling service on loopback, for the client tests.

The service speaks just enough HTTP/1.1 for one request per connection. It
records every request exactly as received (request line, header lines and the
body read by Content-Length) and can misbehave on demand:

    service.next_response = "no_separator"          no blank line after the head
                          | "status_without_code"   "HTTP/1.1 abc" then "{}"
                          | "html"                  500 with an HTML body
                          | "chunked"               a chunked JSON body
                          | "non_utf8"              a body with invalid UTF-8
                          | "hold_open"             never answer (until stop)
                          | (status, body_bytes)    a canned answer
                          | None                    behave

The knob applies to the next request only and is then reset to None.

    service.poll_reply = value      the next poll is answered with exactly this
                                    JSON value; a run it names may be reported
                                    with any fencing token

The `service` fixture runs the fake in a child process (ChildService) and
reaches its recorded requests and knob over a second loopback port; the
in-process Service class is the same fake without that indirection.
"""

import http.client
import http.server
import json
import subprocess
import sys
import threading
import time

import pytest

MAX_HEADER_LINES = 100
MAX_LINE = 65536
HOLD_LIMIT_SECONDS = 60.0
NO_REPLY = object()  # poll_reply not set: hand out queued runs
ANY_TOKEN = object()  # a run from poll_reply: any fencing token is accepted

REASONS = {
    200: "OK",
    201: "Created",
    400: "Bad Request",
    401: "Unauthorized",
    404: "Not Found",
    405: "Method Not Allowed",
    409: "Conflict",
    500: "Internal Server Error",
}

MISBEHAVIOUR = {
    "no_separator": b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n{}",
    "status_without_code": b"HTTP/1.1 abc\r\n\r\n{}",
    "html": b"HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/html\r\n\r\n"
    b"<html><body>broken</body></html>",
    "chunked": b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
    b"Transfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n",
    "non_utf8": b'HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n{"a":"\xff"}',
}


def response_bytes(status, body):
    """A complete HTTP/1.1 answer with a JSON body (bytes) that closes the connection."""
    head = (
        f"HTTP/1.1 {status} {REASONS.get(status, 'Status')}\r\n"
        "Content-Type: application/json\r\n"
        f"Content-Length: {len(body)}\r\n"
        "Connection: close\r\n\r\n"
    )
    return head.encode("ascii") + body


def decode_path(raw):
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("latin-1")


class Handler(http.server.BaseHTTPRequestHandler):
    # The fake answers every request itself; BaseHTTPRequestHandler only
    # provides the connection plumbing (rfile, wfile, handle loop).

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def handle_one_request(self):
        self.close_connection = True
        service = self.server.service
        request_line = self.rfile.readline(MAX_LINE + 1)
        if not request_line:
            return
        raw = bytearray(request_line)
        content_length = 0
        for _ in range(MAX_HEADER_LINES):
            line = self.rfile.readline(MAX_LINE + 1)
            raw += line
            if line in (b"\r\n", b"\n", b""):
                break
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                try:
                    content_length = max(0, int(value.strip()))
                except ValueError:
                    content_length = 0
        body = self.rfile.read(content_length) if content_length else b""
        raw += body
        with service.lock:
            service.requests.append(bytes(raw))
            knob = service.next_response
            service.next_response = None

        if knob == "hold_open":
            service.stopping.wait(HOLD_LIMIT_SECONDS)
            return
        if isinstance(knob, tuple):
            status, canned = knob
            self.send_raw(response_bytes(status, canned))
            return
        if knob is not None:
            self.send_raw(MISBEHAVIOUR[knob])
            return

        status, value = service.answer(request_line, bytes(raw[len(request_line) :]), body)
        self.send_raw(response_bytes(status, json.dumps(value).encode("utf-8")))

    def send_raw(self, data):
        try:
            self.wfile.write(data)
            self.wfile.flush()
        except OSError:
            pass


class Service:
    """The fake's state and routing; `server` and `thread` are set by start()."""

    default_token = "secret-token"

    def __init__(self, token=None):
        self.token = token if token is not None else self.default_token
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.server = None
        self.thread = None
        self.url = None
        self.authority = None
        self.reset()

    def reset(self):
        """Forgets recorded requests, the knob and every timer and run."""
        self.requests = []
        self.next_response = None
        self.timers = {}
        self.history = {}
        self.workers = []
        self.pending = []  # run ids waiting for a worker
        self.runs = {}
        self.next_run_id = 1
        self.fencing = 0
        self.lease_seconds = 30.0
        self.poll_reply = NO_REPLY

    # -- lifecycle ---------------------------------------------------------

    def start(self):
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.server.service = self
        port = self.server.server_address[1]
        self.authority = f"127.0.0.1:{port}"
        self.url = f"http://{self.authority}"
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        self.stopping.set()
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(10)

    # -- helpers for tests ---------------------------------------------------

    def last_request(self):
        with self.lock:
            return self.requests[-1] if self.requests else None

    # -- routing -------------------------------------------------------------

    def answer(self, request_line, head_and_body, body):
        """Returns (status, JSON value) for a well-formed request."""
        line = request_line.rstrip(b"\r\n")
        method, _, rest = line.partition(b" ")
        raw_path, _, _version = rest.rpartition(b" ")
        path = decode_path(raw_path)
        method = method.decode("latin-1")

        authorization = None
        for header in head_and_body.split(b"\r\n"):
            if header == b"":
                break
            name, _, value = header.partition(b":")
            if name.strip().lower() == b"authorization":
                authorization = value.strip().decode("latin-1")
        if authorization != f"Bearer {self.token}":
            return 401, {"error": "unauthorized"}

        parsed = None
        if method == "POST":
            try:
                parsed = json.loads(body.decode("utf-8")) if body else None
            except (UnicodeDecodeError, ValueError):
                return 400, {"error": "invalid JSON body"}

        with self.lock:
            return self.route(method, path, parsed)

    def route(self, method, path, parsed):
        prefix_timers = "/v1/timers"
        if method == "GET":
            if path == prefix_timers:
                return 200, list(self.timers.values())
            if path.startswith(prefix_timers + "/"):
                name = path[len(prefix_timers) + 1 :]
                if name.endswith("/history"):
                    name = name[: -len("/history")]
                    if name not in self.timers:
                        return 404, {"error": "no such timer"}
                    return 200, list(self.history.get(name, []))
                if name not in self.timers:
                    return 404, {"error": "no such timer"}
                return 200, self.timers[name]
            return 404, {"error": "not found"}

        if method != "POST":
            return 405, {"error": "method not allowed"}

        if path == prefix_timers:
            if not isinstance(parsed, dict) or not isinstance(parsed.get("name"), str):
                return 400, {"error": "missing name"}
            name = parsed["name"]
            self.timers[name] = parsed
            self.history.setdefault(name, [])
            self.enqueue(name)
            return 201, {"created": name}
        if path == "/v1/workers/register":
            worker_id = f"w{len(self.workers) + 1}"
            self.workers.append(worker_id)
            return 200, {"worker_id": worker_id}
        if path == "/v1/workers/poll":
            if self.poll_reply is not NO_REPLY:
                return 200, self.take_poll_reply()
            return 200, self.hand_out()
        if path.startswith("/v1/runs/"):
            run_id, _, outcome = path[len("/v1/runs/") :].partition("/")
            return self.finish(run_id, outcome, parsed)
        return 404, {"error": "not found"}

    # -- runs for a worker -------------------------------------------------

    def enqueue(self, name):
        run_id = str(self.next_run_id)
        self.next_run_id += 1
        self.runs[run_id] = {"timer": name, "attempt": 0, "state": "pending", "fencing_token": None, "deadline": None}
        self.pending.append(run_id)

    def hand_out(self):
        now = time.monotonic()
        for run_id, run in self.runs.items():
            if run["state"] == "leased" and run["deadline"] <= now:
                run["state"] = "pending"
                self.pending.append(run_id)
        if not self.pending:
            return None
        run_id = self.pending.pop(0)
        run = self.runs[run_id]
        timer = self.timers.get(run["timer"], {})
        self.fencing += 1
        run.update(state="leased", fencing_token=self.fencing, deadline=now + self.lease_seconds)
        run["attempt"] += 1
        return {
            "task": timer.get("task"),
            "run_id": run_id,
            "fencing_token": self.fencing,
            "payload": timer.get("payload"),
        }

    def take_poll_reply(self):
        reply, self.poll_reply = self.poll_reply, NO_REPLY
        if isinstance(reply, dict):
            run_id = reply.get("run_id") if isinstance(reply.get("run_id"), str) else ""
            self.runs[run_id] = {"timer": reply.get("task"), "attempt": 1, "state": "leased",
                                 "fencing_token": ANY_TOKEN, "deadline": time.monotonic() + self.lease_seconds}
        return reply

    def finish(self, run_id, outcome, parsed):
        run = self.runs.get(run_id)
        if run is None or outcome not in ("succeed", "fail"):
            return 404, {"error": "no such run"}
        token = parsed.get("fencing_token") if isinstance(parsed, dict) else None
        if run["state"] != "leased" or run["fencing_token"] not in (token, ANY_TOKEN):
            return 409, {"error": "stale fencing token"}
        entry = {"run_id": run_id, "attempt": run["attempt"], "outcome": outcome}
        if isinstance(parsed, dict) and "error" in parsed:
            entry["error"] = parsed["error"]
        self.history.setdefault(run["timer"], []).append(entry)
        max_attempts = self.timers.get(run["timer"], {}).get("max_attempts", 3)
        if outcome == "fail" and isinstance(max_attempts, int) and run["attempt"] < max_attempts:
            run.update(state="pending", fencing_token=None, deadline=None)
            self.pending.append(run_id)
        else:
            run.update(state="succeeded" if outcome == "succeed" else "failed", deadline=None)
        return 200, {"ok": True}


class ControlHandler(http.server.BaseHTTPRequestHandler):
    """The test process's view into a service running in a child process."""

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def reply(self, value):
        data = json.dumps(value).encode("utf-8")
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)
        self.close_connection = True

    def do_GET(self):  # noqa: N802 - the base class's name
        service = self.server.service
        with service.lock:
            self.reply([raw.decode("latin-1") for raw in service.requests])

    def do_POST(self):  # noqa: N802 - the base class's name
        service = self.server.service
        length = int(self.headers.get("Content-Length", "0"))
        command = json.loads(self.rfile.read(length))
        with service.lock:
            if command.get("reset"):
                service.reset()
            elif "poll_reply" in command:
                service.poll_reply = command["poll_reply"]
            else:
                knob = command["knob"]
                if isinstance(knob, list):
                    knob = (knob[0], knob[1].encode("latin-1"))
                service.next_response = knob
        self.reply(None)


def serve_in_child():
    """Runs the service until stdin closes; prints "PORT CONTROL_PORT" first."""
    svc = Service().start()
    control = http.server.ThreadingHTTPServer(("127.0.0.1", 0), ControlHandler)
    control.daemon_threads = True
    control.service = svc
    thread = threading.Thread(target=control.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    print(svc.server.server_address[1], control.server_address[1], flush=True)
    sys.stdin.read()
    control.shutdown()
    control.server_close()
    svc.stop()


class ChildService:
    """The fixture's object: the service runs in a child process.

    A separate process keeps the fake answering even while the code under
    test blocks every thread of the test process.
    """

    def __init__(self, token="secret-token"):
        self.token = token
        self.process = subprocess.Popen(
            [sys.executable, "-P", __file__, token],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
        )
        line = self.process.stdout.readline().split()
        if len(line) != 2:
            self.stop()
            raise RuntimeError("the fake service did not start")
        port, self.control_port = int(line[0]), int(line[1])
        self.authority = f"127.0.0.1:{port}"
        self.url = f"http://{self.authority}"

    def control(self, method, body=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.control_port, timeout=10)
        try:
            data = None if body is None else json.dumps(body).encode("utf-8")
            conn.request(method, "/", body=data)
            return json.loads(conn.getresponse().read())
        finally:
            conn.close()

    @property
    def requests(self):
        return [raw.encode("latin-1") for raw in self.control("GET")]

    def reset(self):
        self.control("POST", {"reset": True})

    def last_request(self):
        requests = self.requests
        return requests[-1] if requests else None

    @property
    def poll_reply(self):
        raise AttributeError("poll_reply can only be set")

    @poll_reply.setter
    def poll_reply(self, value):
        self.control("POST", {"poll_reply": value})

    @property
    def next_response(self):
        raise AttributeError("next_response can only be set")

    @next_response.setter
    def next_response(self, knob):
        if isinstance(knob, tuple):
            knob = [knob[0], knob[1].decode("latin-1")]
        self.control("POST", {"knob": knob})

    def stop(self):
        self.process.stdin.close()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(10)
        self.process.stdout.close()


@pytest.fixture(scope="session")
def service_process():
    svc = ChildService()
    try:
        yield svc
    finally:
        svc.stop()


@pytest.fixture
def service(service_process):
    """The fake service, with nothing recorded and no timers."""
    service_process.reset()
    return service_process


if __name__ == "__main__":
    if len(sys.argv) > 1:
        Service.default_token = sys.argv[1]
    serve_in_child()
