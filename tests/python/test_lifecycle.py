"""Start, shutdown, status and list of the process's engine, and the module
surface around them: signatures, argument errors, awaitable variants, the
default data directory, a second writer, and exit without shutdown.
"""

import asyncio
import gc
import inspect
import math
import os
import pathlib
import subprocess
import sys
import textwrap
import time

import pytest

import vesk

DEADLINE_S = 15.0


def wait_for(predicate, what):
    deadline = time.monotonic() + DEADLINE_S
    while not predicate():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.02)


@pytest.fixture
def running(tmp_path):
    """An engine on tmp_path, always shut down afterwards."""
    vesk.start(str(tmp_path))
    yield tmp_path
    vesk.shutdown(timeout=10.0)


def run_python(code, *, cwd=None, env=None, args=()):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=60,
    )


# ---------------------------------------------------------------------------
# Module surface


@pytest.mark.parametrize(
    ("name", "signature"),
    [
        ("schedule", "(name, **kwargs)"),
        ("start", "(data_dir=None)"),
        ("astart", "(data_dir=None)"),
        ("shutdown", "(timeout=5.0)"),
        ("ashutdown", "(timeout=5.0)"),
        ("status", "(name)"),
        ("astatus", "(name)"),
        ("list", "()"),
        ("alist", "()"),
    ],
)
def test_functions_show_only_their_signature(name, signature):
    function = getattr(vesk, name)
    assert str(inspect.signature(function)) == signature
    assert not function.__doc__


def test_module_functions_in_order_and_no_docstring():
    public = [n for n in vars(vesk) if not n.startswith("_")]
    assert public == ["schedule", "start", "astart", "shutdown", "ashutdown", "status", "astatus", "list", "alist",
                      "Client", "Worker"]
    assert vesk.__doc__ == ""


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: vesk.start(1), TypeError, "argument 'data_dir': 'int' object cannot be converted to 'PyString'"),
        (lambda: vesk.start(pathlib.Path("x")), TypeError,
         "argument 'data_dir': 'PosixPath' object cannot be converted to 'PyString'"),
        (lambda: vesk.start("a", "b"), TypeError, "start() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: vesk.start(x=1), TypeError, "start() got an unexpected keyword argument 'x'"),
        (lambda: vesk.status(), TypeError, "status() missing 1 required positional argument: 'name'"),
        (lambda: vesk.status("a", name="b"), TypeError, "status() got multiple values for argument 'name'"),
        (lambda: vesk.status(1), TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (lambda: vesk.astatus(1), TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (lambda: vesk.list(1), TypeError, "list() takes 0 positional arguments but 1 was given"),
        (lambda: vesk.alist(x=1), TypeError, "alist() got an unexpected keyword argument 'x'"),
        (lambda: vesk.shutdown("soon"), TypeError, "argument 'timeout': must be real number, not str"),
        (lambda: vesk.ashutdown("soon"), TypeError, "argument 'timeout': must be real number, not str"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message


def test_idle_module():
    assert vesk.status("x") is None
    assert vesk.list() == []
    assert vesk.shutdown() is None
    assert vesk.shutdown(-1) is None  # the time-out is only checked with an engine running
    assert asyncio.run(vesk.alist()) == []
    assert asyncio.run(vesk.astatus("x")) is None


# ---------------------------------------------------------------------------
# Start and shutdown


def test_start_twice_keeps_the_first_engine(running):
    vesk.schedule("t", fn=lambda: None, every="1h")
    with pytest.raises(RuntimeError, match="^engine already started$"):
        vesk.start(str(running))
    assert vesk.status("t")["state"] == "scheduled"


@pytest.mark.parametrize("bad", [-1, -0.5, math.nan, math.inf, -math.inf])
def test_invalid_timeout_leaves_the_engine_running(running, bad):
    vesk.schedule("t", fn=lambda: None, every="1h")
    with pytest.raises(ValueError, match="^timeout must be a non-negative number$"):
        vesk.shutdown(bad)
    assert vesk.status("t")["state"] == "scheduled"


@pytest.mark.parametrize("zero", [0, -0.0])
def test_zero_timeout_is_accepted(tmp_path, zero):
    vesk.start(str(tmp_path))
    assert vesk.shutdown(zero) is None
    assert vesk.status("t") is None


def test_status_dictionary(running):
    vesk.schedule("t", fn=lambda: None, every="1s")
    wait_for(lambda: vesk.status("t")["last_status"] == "OK", "a run")
    status = vesk.status("t")
    assert list(status) == ["id", "state", "fn_name", "last_run_at", "last_duration_ms", "last_status",
                            "next_run_at", "retries_last_7d"]
    assert status["id"] == "t" and status["fn_name"] == "<lambda>"
    assert status["last_run_at"].endswith("+00:00") and "Z" not in status["last_run_at"]
    assert status["next_run_at"].endswith("+00:00")
    assert isinstance(status["last_duration_ms"], int)
    assert status["retries_last_7d"] == 0
    assert vesk.list() == [vesk.status("t")] or vesk.list()[0]["id"] == "t"


def test_shutdown_removes_the_channel_files_and_a_restart_recovers(tmp_path):
    vesk.schedule("t", fn=lambda: None, every="1h")
    vesk.start(str(tmp_path))
    assert (tmp_path / "vesk.sock").exists() and (tmp_path / "vesk.port").exists()
    token = (tmp_path / "vesk.token").read_text()
    vesk.shutdown()
    assert not (tmp_path / "vesk.sock").exists() and not (tmp_path / "vesk.port").exists()
    assert (tmp_path / "vesk.token").read_text() == token
    assert vesk.shutdown() is None
    vesk.start(str(tmp_path))
    try:
        assert vesk.status("t")["state"] == "orphaned"  # known, but no function in this process yet
        vesk.schedule("t", fn=lambda: None, every="1h")
        assert vesk.status("t")["state"] == "scheduled"
    finally:
        vesk.shutdown()


def test_awaitable_variants(tmp_path):
    async def main():
        await vesk.astart(str(tmp_path))
        vesk.schedule("t", fn=lambda: None, every="1h")
        listed = await vesk.alist()
        status = await vesk.astatus("t")
        await vesk.ashutdown()
        return listed, status

    listed, status = asyncio.run(main())
    assert [s["id"] for s in listed] == ["t"] and status["id"] == "t"
    assert vesk.status("t") is None


def test_a_timer_function_may_use_the_module(running):
    seen = {}

    def inspect_itself():
        seen["status"] = vesk.status("self")
        seen["list"] = vesk.list()
        try:
            vesk.shutdown(timeout=0.2)
        except RuntimeError as error:
            seen["shutdown"] = str(error)

    vesk.schedule("self", fn=inspect_itself, every="1s", max_attempts=1)
    wait_for(lambda: "shutdown" in seen, "the function's own shutdown attempt")
    assert seen["status"]["state"] == "running"
    assert [s["id"] for s in seen["list"]] == ["self"]
    assert seen["shutdown"] == "shutdown timed out after 200ms"
    # The engine went back to the module and still answers; the fixture's
    # shutdown from outside succeeds.
    wait_for(lambda: vesk.status("self")["last_status"] == "OK", "the run's end")


def test_handlers_are_released_after_shutdown(tmp_path):
    class Job:
        calls = 0

        def __call__(self, run):
            Job.calls += 1

    jobs = [Job() for _ in range(200)]
    before = [sys.getrefcount(job) for job in jobs]
    for i in range(len(jobs)):
        vesk.schedule(f"t{i}", fn=jobs[i], every="1s")
    vesk.start(str(tmp_path))
    wait_for(lambda: Job.calls >= 400, "400 calls")
    vesk.shutdown(timeout=10.0)
    vesk.list()  # releases dropped on engine threads are completed here
    gc.collect()
    assert [sys.getrefcount(job) for job in jobs] == before


# ---------------------------------------------------------------------------
# Other processes


def test_second_process_gets_the_lock_conflict(running):
    result = run_python(
        """
        import sys, vesk
        try:
            vesk.start(sys.argv[1])
        except RuntimeError as error:
            print(error)
        """,
        args=(str(running),),
    )
    assert result.stdout.strip() == (
        f"data directory is already locked: {running}/vesk.lock; another writer may be active; "
        f"socket: {running}/vesk.sock"
    )


def test_default_data_directory(tmp_path):
    show = "import vesk; vesk.start(); print('started'); vesk.shutdown()"
    env = {k: v for k, v in os.environ.items() if k not in ("VESK_HOME", "HOME")}

    chosen = tmp_path / "chosen"
    result = run_python(show, cwd=tmp_path, env={**env, "VESK_HOME": str(chosen), "HOME": str(tmp_path)})
    assert result.stdout.strip() == "started", result.stderr
    assert (chosen / "vesk.lock").exists()

    home = tmp_path / "home"
    home.mkdir()
    result = run_python(show, cwd=tmp_path, env={**env, "HOME": str(home)})  # -c: no script directory
    assert result.stdout.strip() == "started", result.stderr
    assert (home / ".vesk" / "vesk.lock").exists()

    not_utf8 = str(tmp_path / "bad") + "\udcff"  # the byte 0xFF in the environment
    result = run_python(show, cwd=tmp_path, env={**env, "VESK_HOME": not_utf8, "HOME": str(home)})
    assert result.stdout.strip() == "started", result.stderr
    assert not (tmp_path / "bad\udcff").exists()

    app = tmp_path / "app"
    app.mkdir()
    (app / "main.py").write_text(show)
    result = subprocess.run([sys.executable, str(app / "main.py")], cwd=tmp_path, env={**env, "HOME": str(home)},
                            capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == "started", result.stderr
    assert (app / ".vesk" / "vesk.lock").exists()

    bare = tmp_path / "bare"
    bare.mkdir()
    result = run_python(show, cwd=bare, env=env)  # neither VESK_HOME nor HOME
    assert result.stdout.strip() == "started", result.stderr
    assert (bare / ".vesk" / "vesk.lock").exists()


def test_exit_without_shutdown_while_a_function_runs(tmp_path):
    result = run_python(
        """
        import sys, time, vesk
        def slow():
            time.sleep(30)
        vesk.schedule("slow", fn=slow, every="1s")
        vesk.start(sys.argv[1])
        while vesk.status("slow")["state"] != "running":
            time.sleep(0.02)
        sys.exit(7)
        """,
        args=(str(tmp_path),),
    )
    assert result.returncode == 7, result.stderr
    assert "terminate" not in result.stderr and "Fatal" not in result.stderr
    # The directory is recoverable by the next process.
    vesk.start(str(tmp_path))
    try:
        assert vesk.status("slow")["state"] == "orphaned"
    finally:
        vesk.shutdown()


def test_type_stubs_describe_the_module():
    import ast

    site = pathlib.Path(vesk.__file__).parent
    for stub in (site / "vesk.pyi", site / "vesk-stubs" / "__init__.pyi"):
        tree = ast.parse(stub.read_text(encoding="utf-8"))
        functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
        assert list(functions) == [n for n in vars(vesk) if not n.startswith("_") and inspect.isbuiltin(getattr(vesk, n))]
        classes = [node.name for node in tree.body
                   if isinstance(node, ast.ClassDef) and node.name not in ("TimerStatusDict", "PyTaskDecorator")]
        assert classes == [n for n in vars(vesk) if isinstance(getattr(vesk, n), type)]
        for name, node in functions.items():
            runtime = [p for p in inspect.signature(getattr(vesk, name)).parameters if p != "kwargs"]
            declared = [a.arg for a in node.args.args]
            assert declared == runtime, name
