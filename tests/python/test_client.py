"""vesk.Client against the fake service in service.py (loopback only)."""

import json
import math
import socket

import pytest

import vesk

needs_client = pytest.mark.skipif(not hasattr(vesk, "Client"), reason="Client not built")


def get_bytes(path, authority, token):
    return (
        f"GET {path} HTTP/1.1\r\n"
        f"Host: {authority}\r\n"
        f"Authorization: Bearer {token}\r\n"
        "Content-Type: application/json\r\n"
        "Content-Length: 0\r\n"
        "Connection: close\r\n\r\n"
    ).encode("utf-8")


def post_bytes(path, authority, token, body):
    return (
        f"POST {path} HTTP/1.1\r\n"
        f"Host: {authority}\r\n"
        f"Authorization: Bearer {token}\r\n"
        "Content-Type: application/json\r\n"
        f"Content-Length: {len(body)}\r\n"
        "Connection: close\r\n\r\n"
    ).encode("utf-8") + body


def body_of(raw):
    return raw.partition(b"\r\n\r\n")[2]


def raw_exchange(service, raw):
    """Sends raw bytes to the fake and returns its whole answer."""
    with socket.create_connection(("127.0.0.1", int(service.authority.rpartition(":")[2])), timeout=5) as conn:
        conn.sendall(raw)
        chunks = []
        for _ in range(1000):
            chunk = conn.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
    return b"".join(chunks)


# -- the fake itself (runs even before the Client is built) ------------------


class TestService:
    def test_records_exact_bytes_and_answers(self, service):
        body = b'{"name":"a b","task":"t"}'
        raw = post_bytes("/v1/timers", service.authority, service.token, body)
        answer = raw_exchange(service, raw)
        assert answer.startswith(b"HTTP/1.1 201 ")
        assert json.loads(body_of(answer)) == {"created": "a b"}
        assert service.requests == [raw]
        answer = raw_exchange(service, get_bytes("/v1/timers/a b", service.authority, service.token))
        assert json.loads(body_of(answer)) == {"name": "a b", "task": "t"}

    def test_rejects_a_wrong_token(self, service):
        answer = raw_exchange(service, get_bytes("/v1/timers", service.authority, "nope"))
        assert answer.startswith(b"HTTP/1.1 401 ")
        assert json.loads(body_of(answer)) == {"error": "unauthorized"}

    def test_fencing_tokens_increase_and_stale_ones_are_refused(self, service):
        def post(path, value):
            body = json.dumps(value).encode()
            answer = raw_exchange(service, post_bytes(path, service.authority, service.token, body))
            return int(answer.split(b" ", 2)[1]), json.loads(body_of(answer))

        assert post("/v1/timers", {"name": "n", "task": "t", "payload": [1], "max_attempts": 2})[0] == 201
        assert post("/v1/workers/register", {})[0] == 200
        _, first = post("/v1/workers/poll", {})
        assert first["task"] == "t" and first["payload"] == [1]
        assert post(f"/v1/runs/{first['run_id']}/fail", {"fencing_token": first["fencing_token"]})[0] == 200
        _, second = post("/v1/workers/poll", {})
        assert second["run_id"] == first["run_id"]
        assert second["fencing_token"] > first["fencing_token"]
        status, error = post(f"/v1/runs/{first['run_id']}/succeed", {"fencing_token": first["fencing_token"]})
        assert (status, error) == (409, {"error": "stale fencing token"})
        assert post(f"/v1/runs/{second['run_id']}/succeed", {"fencing_token": second["fencing_token"]})[0] == 200
        assert post("/v1/workers/poll", {}) == (200, None)

    def test_misbehaviour_is_one_shot(self, service):
        service.next_response = "no_separator"
        assert b"\r\n\r\n" not in raw_exchange(service, get_bytes("/v1/timers", service.authority, service.token))
        answer = raw_exchange(service, get_bytes("/v1/timers", service.authority, service.token))
        assert answer.startswith(b"HTTP/1.1 200 ") and json.loads(body_of(answer)) == []


# -- the Client ---------------------------------------------------------------


@needs_client
class TestRequests:
    def test_list_sends_exact_get(self, service):
        client = vesk.Client(service.url, service.token)
        assert client.list() == []
        assert service.requests == [get_bytes("/v1/timers", service.authority, service.token)]

    def test_server_string_is_trimmed(self, service):
        client = vesk.Client(f"  {service.url}/  ", service.token)
        assert client.list() == []
        assert service.requests == [get_bytes("/v1/timers", service.authority, service.token)]

    def test_schedule_sends_sorted_compact_body_with_defaults(self, service):
        client = vesk.Client(service.url, service.token)
        assert client.schedule("t1", task="echo") == {"created": "t1"}
        body = (
            b'{"after":null,"at":null,"cron":null,"every":null,"max_attempts":3,'
            b'"name":"t1","payload":null,"task":"echo","timezone":"UTC"}'
        )
        assert service.requests == [post_bytes("/v1/timers", service.authority, service.token, body)]

    def test_schedule_sends_cron_and_every_together(self, service):
        client = vesk.Client(service.url, service.token)
        client.schedule("both", task="t", cron="*/5 * * * *", every="30s", timezone="Europe/Paris", max_attempts=7)
        sent = json.loads(body_of(service.requests[-1]))
        assert sent["cron"] == "*/5 * * * *"
        assert sent["every"] == "30s"
        assert sent["timezone"] == "Europe/Paris"
        assert sent["max_attempts"] == 7
        assert list(sent) == sorted(sent)

    def test_nested_payload_round_trips(self, service):
        client = vesk.Client(service.url, service.token)
        payload = {"list": [1, [2, [3, "x"]], {"k": None}], "flag": True, "n": -1.5, "text": "é\u2603"}
        client.schedule("p", task="t", payload=payload)
        assert json.loads(body_of(service.requests[-1]).decode("utf-8"))["payload"] == payload
        status = client.status("p")
        assert status["payload"] == payload
        assert client.list() == [status]
        assert client.history("p") == []
        assert service.requests[-1] == get_bytes("/v1/timers/p/history", service.authority, service.token)


@needs_client
class TestAnswers:
    def test_name_with_space_stays_in_request_line(self, service):
        client = vesk.Client(service.url, service.token)
        with pytest.raises(RuntimeError) as info:
            client.status("a b")
        assert str(info.value) == f"HTTP 404 from {service.authority}: no such timer"
        assert service.requests[-1].startswith(b"GET /v1/timers/a b HTTP/1.1\r\n")

    def test_wrong_token_gives_401(self, service):
        client = vesk.Client(service.url, "wrong")
        with pytest.raises(RuntimeError) as info:
            client.list()
        assert str(info.value) == f"HTTP 401 from {service.authority}: unauthorized"

    def test_null_answer_is_none(self, service):
        service.next_response = (200, b"null")
        assert vesk.Client(service.url, service.token).status("x") is None

    @pytest.mark.parametrize(
        ("mode", "exact", "part"),
        [
            ("no_separator", "invalid HTTP response", None),
            ("status_without_code", "invalid HTTP status line", None),
            ("non_utf8", "stream did not contain valid UTF-8", None),
            ("html", None, " at line 1 column "),
            ("chunked", None, " at line "),
        ],
    )
    def test_misbehaving_server(self, service, mode, exact, part):
        service.next_response = mode
        with pytest.raises(RuntimeError) as info:
            vesk.Client(service.url, service.token).list()
        text = str(info.value)
        if exact is not None:
            assert text == exact
        else:
            assert part in text
            assert "HTTP " not in text
        assert len(service.requests) == 1

    def test_refused_connection(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        with pytest.raises(RuntimeError, match="Connection refused"):
            vesk.Client(f"127.0.0.1:{port}", "t").list()


@needs_client
class TestRefusedBeforeSending:
    @pytest.mark.parametrize("name", ["a\r\nX: y", "a\nb", "a\x00b", "tab\there"])
    def test_control_character_in_name(self, service, name):
        client = vesk.Client(service.url, service.token)
        for call in (client.status, client.history):
            with pytest.raises(ValueError) as info:
                call(name)
            assert str(info.value) == "invalid request: name contains a control character"
        assert service.requests == []

    @pytest.mark.parametrize("token", ["t\r\nX-Evil: 1", "t\x7f", "\n"])
    def test_control_character_in_token(self, service, token):
        client = vesk.Client(service.url, token)
        worker = vesk.Worker(service.url, token)
        for call in (client.list, lambda: client.status("a"), lambda: client.schedule("a", task="t"),
                     worker.register, worker.run_once):
            with pytest.raises(ValueError, match="^invalid request: token contains a control character$"):
                call()
        assert service.requests == []

    def test_nan_in_payload(self, service):
        client = vesk.Client(service.url, service.token)
        with pytest.raises(ValueError):
            client.schedule("n", task="t", payload={"x": [1, math.nan]})
        assert service.requests == []

    @pytest.mark.parametrize(
        "call",
        [
            lambda c: c.status(5),
            lambda c: c.history(None),
            lambda c: c.schedule(1, task="t"),
            lambda c: c.schedule("n", task=2),
            lambda c: c.schedule("n", task="t", cron=5),
            lambda c: c.schedule("n", task="t", timezone=1),
            lambda c: c.schedule("n", task="t", max_attempts="3"),
            lambda c: c.schedule("n", task="t", payload=object()),
            lambda c: c.schedule("n", "t"),
            lambda c: c.schedule("n", task="t", nope=1),
            lambda c: c.schedule("n"),
            lambda c: c.list(1),
        ],
    )
    def test_wrong_argument_types(self, service, call):
        client = vesk.Client(service.url, service.token)
        with pytest.raises(TypeError):
            call(client)
        assert service.requests == []

    @pytest.mark.parametrize("attempts", [0, 2**32 - 1])
    def test_max_attempts_bounds_are_sent(self, service, attempts):
        vesk.Client(service.url, service.token).schedule("n", task="t", max_attempts=attempts)
        assert json.loads(body_of(service.requests[-1]))["max_attempts"] == attempts

    @pytest.mark.parametrize("attempts", [-1, 2**32, 2**70])
    def test_max_attempts_out_of_range(self, service, attempts):
        with pytest.raises(OverflowError):
            vesk.Client(service.url, service.token).schedule("n", task="t", max_attempts=attempts)
        assert service.requests == []

    @pytest.mark.parametrize("args", [(1, "t"), ("127.0.0.1:1", None), ("127.0.0.1:1",)])
    def test_constructor_types(self, args):
        with pytest.raises(TypeError):
            vesk.Client(*args)
