"""The control channel over real sockets: vesk.sock and the loopback port."""

import json
import os
import socket
import stat
import subprocess
import sys
import textwrap
import time

import pytest

import vesk


def endpoint_of(data_dir, kind):
    if kind == "unix":
        return socket.AF_UNIX, str(data_dir / "vesk.sock")
    host, _, port = (data_dir / "vesk.port").read_text().strip().rpartition(":")
    if host.startswith("["):
        return socket.AF_INET6, (host[1:-1], int(port))
    return socket.AF_INET, (host, int(port))


def exchange(data_dir, raw, kind="unix"):
    """Sends `raw` bytes on a new connection and returns everything read back."""
    family, address = endpoint_of(data_dir, kind)
    with socket.socket(family, socket.SOCK_STREAM) as conn:
        conn.settimeout(10)
        conn.connect(address)
        chunks = []
        try:
            conn.sendall(raw)
            conn.shutdown(socket.SHUT_WR)  # the request is complete: let the server see the end
            while chunk := conn.recv(65536):
                chunks.append(chunk)
        except (ConnectionResetError, BrokenPipeError):
            pass  # closed by the server without reading everything: no reply
    return b"".join(chunks)


def token_of(data_dir):
    return (data_dir / "vesk.token").read_text().strip()


def request(data_dir, inner, kind="unix"):
    line = json.dumps({"cmd": "auth", "token": token_of(data_dir), "inner": inner}).encode() + b"\n"
    return exchange(data_dir, line, kind)


@pytest.fixture
def running(tmp_path):
    vesk.start(str(tmp_path))
    yield tmp_path
    vesk.shutdown(timeout=10.0)


@pytest.mark.parametrize("kind", ["unix", "tcp"])
def test_authentication(running, kind):
    token = token_of(running)
    assert len(token) == 64 and all(c in "0123456789abcdef" for c in token)
    assert exchange(running, b'{"cmd":"list"}\n', kind) == b'{"status":"error","message":"missing IPC token"}\n'
    for wrong in ["x" * 64, token + "0", token[:-1], ""]:
        line = json.dumps({"cmd": "auth", "token": wrong, "inner": {"cmd": "list"}}).encode() + b"\n"
        assert exchange(running, line, kind) == b'{"status":"error","message":"invalid IPC token"}\n'
    nested = {"cmd": "auth", "token": token, "inner": {"cmd": "list"}}
    assert request(running, nested, kind) == (
        b'{"status":"error","message":"IPC unavailable: nested auth request is invalid"}\n'
    )
    # The inner request's own "token" key is not one of its fields: ignored.
    assert request(running, {"cmd": "list", "token": "zzz"}, kind) == b'{"status":"ok","data":[]}\n'


def test_commands(running):
    vesk.schedule("b-timer", fn=lambda: None, every="1h")
    assert request(running, {"cmd": "status", "name": "nope"}) == b'{"status":"ok","data":null}\n'
    status = request(running, {"cmd": "status", "name": "b-timer"})
    reply = json.loads(status)
    assert status.startswith(b'{"status":"ok","data":{"fn_name":"<lambda>","id":"b-timer",')
    assert list(reply["data"]) == sorted(reply["data"]) and reply["data"]["state"] == "Scheduled"
    assert reply["data"]["next_run_at"].endswith("Z")
    assert json.loads(request(running, {"cmd": "list", "name": "ignored"}))["data"] == [reply["data"]]

    doctor = request(running, {"cmd": "doctor"})
    assert doctor == (
        b'{"status":"ok","data":{"data_dir":' + json.dumps(str(running)).encode()
        + b',"lock_path":' + json.dumps(f"{running}/vesk.lock").encode()
        + b',"socket_path":' + json.dumps(f"{running}/vesk.sock").encode() + b',"timers":1}}\n'
    )
    assert request(running, {"cmd": "runtime_status"}) == doctor


def test_history_and_compaction(running):
    vesk.schedule("a", fn=lambda: None, every="1h")
    vesk.schedule("b", fn=lambda: None, every="1h")
    vesk.schedule("a", fn=lambda: None, every="2h")  # TIMER_UPDATED
    history = json.loads(request(running, {"cmd": "history", "name": "a"}))["data"]
    assert [entry["event"]["type"] for entry in history] == ["TIMER_CREATED", "TIMER_UPDATED"]
    assert list(history[0]) == ["event", "ts", "v"] and list(history[0]["event"]) == ["spec", "type"]
    assert json.loads(request(running, {"cmd": "history", "name": "a", "limit": None}))["data"] == history
    assert json.loads(request(running, {"cmd": "history", "name": "a", "limit": 1}))["data"] == history[1:]
    assert request(running, {"cmd": "history", "name": "a", "limit": 0}) == b'{"status":"ok","data":[]}\n'
    assert json.loads(request(running, {"cmd": "history", "name": "a", "limit": 99}))["data"] == history

    assert request(running, {"cmd": "compact"}) == b'{"status":"ok","data":{"compacted":true}}\n'
    assert request(running, {"cmd": "history", "name": "a"}) == b'{"status":"ok","data":[]}\n'
    vesk.schedule("a", fn=lambda: None, every="3h")
    after = json.loads(request(running, {"cmd": "history", "name": "a"}))["data"]
    assert [entry["event"]["type"] for entry in after] == ["TIMER_UPDATED"]


@pytest.mark.parametrize(
    "line",
    [
        b"not json\n",
        b"[]\n",
        b'{"cmd":"STATUS","name":"a"}\n',
        b'{"name":"a"}\n',
        b'{"cmd":"status"}\n',
        b'{"cmd":"status","cmd":"status","name":"a"}\n',
        b'{"cmd":"status","name":"a","name":"b"}\n',
        b'{"cmd":"history","name":"a","limit":5.0}\n',
        b'{"cmd":"history","name":"a","limit":-1}\n',
        b'{"cmd":"list"} x\n',
        b'{"cmd":"list"}',  # no line feed
        b"",
    ],
)
def test_invalid_requests_are_closed_without_reply(running, line):
    assert exchange(running, line) == b""


def test_line_framing(running):
    token = token_of(running)
    base = json.dumps({"cmd": "auth", "token": token, "inner": {"cmd": "list"}}).encode()
    exact = base + b" " * (1_048_576 - len(base) - 1) + b"\n"
    assert len(exact) == 1_048_576
    assert exchange(running, exact) == b'{"status":"ok","data":[]}\n'
    over = base + b" " * (1_048_577 - len(base) - 1) + b"\n"
    assert exchange(running, over) == b""
    assert exchange(running, base + b"\r\n") == b'{"status":"ok","data":[]}\n'
    assert exchange(running, base + b"\n" + base + b"\n") == b'{"status":"ok","data":[]}\n'


def test_shutdown_command_is_answered_and_the_server_keeps_running(running):
    vesk.schedule("t", fn=lambda: None, every="1h")
    assert request(running, {"cmd": "shutdown"}) == b'{"status":"ok","data":{"shutdown":"requested"}}\n'
    deadline = time.monotonic() + 10
    while True:
        try:
            vesk.schedule("u", fn=lambda: None, every="1h")
        except RuntimeError as error:
            assert str(error) == "engine has already been shut down"
            break
        assert time.monotonic() < deadline
        time.sleep(0.02)
    assert json.loads(request(running, {"cmd": "list"}))["status"] == "ok"


def test_files_modes_and_token_reuse(tmp_path):
    vesk.start(str(tmp_path))
    token = token_of(tmp_path)
    for name in ("vesk.token", "vesk.port", "vesk.sock"):
        assert stat.S_IMODE(os.stat(tmp_path / name).st_mode) == 0o600, name
    assert (tmp_path / "vesk.port").read_text().startswith("127.0.0.1:")
    vesk.shutdown()
    assert not (tmp_path / "vesk.sock").exists() and not (tmp_path / "vesk.port").exists()
    vesk.start(str(tmp_path))
    try:
        assert token_of(tmp_path) == token
    finally:
        vesk.shutdown()


def test_an_empty_token_file_is_replaced(tmp_path):
    (tmp_path / "vesk.token").write_text(" \n\n")
    vesk.start(str(tmp_path))
    try:
        token = token_of(tmp_path)
        assert len(token) == 64
        assert stat.S_IMODE(os.stat(tmp_path / "vesk.token").st_mode) == 0o600
        line = json.dumps({"cmd": "auth", "token": "", "inner": {"cmd": "list"}}).encode() + b"\n"
        assert exchange(tmp_path, line) == b'{"status":"error","message":"invalid IPC token"}\n'
    finally:
        vesk.shutdown()


def test_idle_connections_are_bounded(running):
    idle = []
    try:
        for _ in range(64):
            conn = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            conn.connect(str(running / "vesk.sock"))
            idle.append(conn)
        time.sleep(0.3)  # let the server take them all
        assert exchange(running, b'{"cmd":"list"}\n') == b""  # one more: closed without a reply
    finally:
        for conn in idle:
            conn.close()
    deadline = time.monotonic() + 10
    while request(running, {"cmd": "list"}) != b'{"status":"ok","data":[]}\n':
        assert time.monotonic() < deadline
        time.sleep(0.02)


@pytest.mark.parametrize(
    ("env", "outcome"),
    [
        ({"VESK_IPC_HOST": "::1"}, "[::1]:"),
        ({"VESK_IPC_HOST": "0.0.0.0"},
         "IPC unavailable: refusing to bind IPC to non-loopback host 0.0.0.0; "
         "set VESK_UNSAFE_ALLOW_REMOTE_IPC=1 only if you understand the risk"),
        ({"VESK_IPC_HOST": "0.0.0.0", "VESK_UNSAFE_ALLOW_REMOTE_IPC": "true"}, "refusing"),
        ({"VESK_IPC_HOST": "0.0.0.0", "VESK_UNSAFE_ALLOW_REMOTE_IPC": "1"}, "0.0.0.0:"),
        ({"VESK_IPC_PORT": "not a port"}, "127.0.0.1:"),
        ({"VESK_IPC_PORT": "70000"}, "127.0.0.1:"),
    ],
)
def test_listener_host_and_port(tmp_path, env, outcome):
    result = start_with_environment(tmp_path, env)
    assert outcome in result.stdout, result.stderr


def start_with_environment(tmp_path, env):
    """Starts an engine in a child process; its stdout holds vesk.port or the error."""
    code = textwrap.dedent(
        """
        import pathlib, sys, vesk
        try:
            vesk.start(sys.argv[1])
        except RuntimeError as error:
            print(error)
        else:
            print(pathlib.Path(sys.argv[1], "vesk.port").read_text().strip())
            vesk.shutdown()
        """
    )
    clean = {k: v for k, v in os.environ.items() if not k.startswith("VESK_")}
    return subprocess.run([sys.executable, "-c", code, str(tmp_path)], env={**clean, **env},
                          capture_output=True, text=True, timeout=60)



def test_port_with_leading_zeros_is_that_port(tmp_path):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    result = start_with_environment(tmp_path, {"VESK_IPC_PORT": f"+000{port}"})
    assert result.stdout == f"127.0.0.1:{port}\n", result.stderr