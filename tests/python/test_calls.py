"""How the engine calls a scheduled Python callable.

The call form comes from the callable's signature: anything that takes a
positional argument receives {"timer_id", "run_id"}, everything else is
called with no arguments. A returned coroutine is run to completion. A
raised exception becomes the run's failure text "<type qualname>: <str>".

All timers of a test are scheduled before one `start`, so a single wait of
about a second (the first run of an `every="1s"` timer) covers them all.
Outcomes are read from the log, which records each run's failure text, and
from `status`.
"""

import inspect
import json
import time

import pytest

import vesk

DEADLINE_S = 15.0
POLL_S = 0.02


# ---------------------------------------------------------------------------
# Helpers


def log_events(data_dir):
    """The events of the log so far (a line still being written is skipped)."""
    path = data_dir / "vesk.aof"
    if not path.exists():
        return []
    events = []
    for line in path.read_text(encoding="utf-8").splitlines():
        try:
            events.append(json.loads(line)["event"])
        except (ValueError, KeyError):
            continue
    return events


def first_outcomes(data_dir, names):
    """name -> ("ok", None) or ("failed", error text) of each timer's first run.

    Polls the log until every timer has finished one run.
    """
    deadline = time.monotonic() + DEADLINE_S
    while True:
        outcomes = {}
        for event in log_events(data_dir):
            name = event.get("timer_id")
            if name not in names or name in outcomes:
                continue
            if event["type"] == "RUN_SUCCEEDED":
                outcomes[name] = ("ok", None)
            elif event["type"] == "RUN_FAILED":
                outcomes[name] = ("failed", event["error"])
        if len(outcomes) == len(names):
            return outcomes
        if time.monotonic() > deadline:
            missing = sorted(set(names) - set(outcomes))
            raise AssertionError(f"no finished run within {DEADLINE_S}s for {missing}")
        time.sleep(POLL_S)


def wait_for_status(name, predicate):
    """Polls `vesk.status(name)` until `predicate` holds; returns that status."""
    deadline = time.monotonic() + DEADLINE_S
    while True:
        status = vesk.status(name)
        if predicate(status):
            return status
        if time.monotonic() > deadline:
            raise AssertionError(f"status of {name!r} never matched; last seen {status!r}")
        time.sleep(POLL_S)


@pytest.fixture
def engine(tmp_path):
    """Schedules timers, starts on tmp_path, and always shuts down."""
    started = False

    def run(timers, **options):
        nonlocal started
        options = {"every": "1s", "max_attempts": 1, **options}
        for name, fn in timers.items():
            vesk.schedule(name, fn=fn, **options)
        vesk.start(str(tmp_path))
        started = True
        return first_outcomes(tmp_path, set(timers))

    run.data_dir = tmp_path
    yield run
    if started:
        vesk.shutdown(timeout=5.0)


# ---------------------------------------------------------------------------
# Call form


class Recorder:
    """Callables that note the arguments they were called with."""

    def __init__(self):
        self.calls = {}

    def note(self, key, args, kwargs=None):
        self.calls.setdefault(key, (args, kwargs or {}))


class ObjectWithCall:
    def __init__(self, recorder, key):
        self.recorder, self.key = recorder, key

    def __call__(self, x):
        self.recorder.note(self.key, (x,))


class UnreadableSignature:
    """inspect.signature raises ValueError for this callable."""

    def __init__(self, recorder, key):
        self.recorder, self.key = recorder, key

    @property
    def __signature__(self):
        raise ValueError("no signature for you")

    def __call__(self, *args, **kwargs):
        self.recorder.note(self.key, args, kwargs)


class DeclaredSignature:
    """Accepts anything; its declared signature alone decides the call form."""

    def __init__(self, recorder, key, signature):
        self.recorder, self.key = recorder, key
        self.__signature__ = signature

    def __call__(self, *args, **kwargs):
        self.recorder.note(self.key, args, kwargs)


P = inspect.Parameter


def call_form_cases(rec):
    """(timer name, callable, expects the payload) for every form."""

    def bare():
        rec.note("bare", ())

    def one_param(payload):
        rec.note("one_param", (payload,))

    def one_param_default(payload=None):
        rec.note("one_param_default", (payload,))

    def var_positional(*args):
        rec.note("var_positional", args)

    def positional_only(p, /):
        rec.note("positional_only", (p,))

    def keyword_only(*, flag=True):
        rec.note("keyword_only", (), {"flag": flag})

    def var_keyword(**kwargs):
        rec.note("var_keyword", (), kwargs)

    def keyword_then_var_keyword(*, a=1, **kwargs):
        rec.note("keyword_then_var_keyword", (), {"a": a, **kwargs})

    declared_positional = inspect.Signature([P("ctx", P.POSITIONAL_OR_KEYWORD)])
    declared_keyword = inspect.Signature([P("ctx", P.KEYWORD_ONLY, default=None)])
    declared_empty = inspect.Signature([])
    return [
        ("bare", bare, False),
        ("one_param", one_param, True),
        ("one_param_default", one_param_default, True),
        ("var_positional", var_positional, True),
        ("positional_only", positional_only, True),
        ("keyword_only", keyword_only, False),
        ("var_keyword", var_keyword, False),
        ("keyword_then_var_keyword", keyword_then_var_keyword, False),
        ("object_with_call", ObjectWithCall(rec, "object_with_call"), True),
        ("lambda_one", lambda p: rec.note("lambda_one", (p,)), True),
        ("unreadable_signature", UnreadableSignature(rec, "unreadable_signature"), False),
        ("declared_positional", DeclaredSignature(rec, "declared_positional", declared_positional), True),
        ("declared_keyword", DeclaredSignature(rec, "declared_keyword", declared_keyword), False),
        ("declared_empty", DeclaredSignature(rec, "declared_empty", declared_empty), False),
    ]


def test_call_form_follows_the_signature(engine):
    rec = Recorder()
    cases = call_form_cases(rec)
    outcomes = engine({name: fn for name, fn, _ in cases})

    for name, _, wants_payload in cases:
        assert outcomes[name] == ("ok", None), name
        args, kwargs = rec.calls[name]
        assert kwargs in ({}, {"flag": True}, {"a": 1}), name
        if wants_payload:
            assert len(args) == 1, name
            assert isinstance(args[0], dict), name
            assert list(args[0]) == ["timer_id", "run_id"], name
        else:
            assert args == (), name


def test_payload_names_the_timer_and_the_run(engine):
    payloads = []
    outcomes = engine({"payload_timer": payloads.append})
    assert outcomes == {"payload_timer": ("ok", None)}

    payload = payloads[0]
    assert type(payload) is dict
    assert list(payload) == ["timer_id", "run_id"]
    assert payload["timer_id"] == "payload_timer"
    run_id = payload["run_id"]
    assert isinstance(run_id, str)
    assert run_id.startswith("run_")
    assert len(run_id) == 30

    started = [e for e in log_events(engine.data_dir) if e["type"] == "RUN_STARTED"]
    assert run_id in {e["run_id"] for e in started}


def test_each_run_gets_a_fresh_payload(engine):
    payloads = []
    seen_ids = []

    def keep(payload):
        payloads.append(payload)
        seen_ids.append(payload["timer_id"])
        payload["timer_id"] = "changed by the callee"

    engine({"fresh_payload": keep})
    deadline = time.monotonic() + DEADLINE_S
    while len(payloads) < 2:
        assert time.monotonic() < deadline, "no second run"
        time.sleep(POLL_S)
    assert payloads[0] is not payloads[1]
    assert seen_ids[:2] == ["fresh_payload", "fresh_payload"]
    assert payloads[0]["run_id"] != payloads[1]["run_id"]


# ---------------------------------------------------------------------------
# Failure text


class Outer:
    class Inner(Exception):
        pass


class UnprintableError(Exception):
    def __str__(self):
        raise RuntimeError("str() of this exception fails")


class CustomError(Exception):
    pass


def raiser(exception):
    def fn():
        raise exception

    return fn


def two_required(a, b):
    pass


FAILURE_CASES = [
    # (timer name, callable, expected failure text)
    ("key_error", raiser(KeyError("x")), "KeyError: 'x'"),
    ("value_error", raiser(ValueError("bad value")), "ValueError: bad value"),
    ("empty_message", raiser(ValueError()), "ValueError: "),
    ("nested_class", raiser(Outer.Inner("message")), "Outer.Inner: message"),
    ("custom_error", raiser(CustomError("multi\nline")), "CustomError: multi\nline"),
    ("unprintable", raiser(UnprintableError("hidden")), "UnprintableError: <exception str() failed>"),
    ("non_ascii", raiser(RuntimeError("h\u00e9llo \u2603")), "RuntimeError: h\u00e9llo \u2603"),
    ("system_exit", raiser(SystemExit(3)), "SystemExit: 3"),
    ("keyboard_interrupt", raiser(KeyboardInterrupt()), "KeyboardInterrupt: "),
]


def test_a_raised_exception_becomes_the_failure_text(engine):
    outcomes = engine({name: fn for name, fn, _ in FAILURE_CASES})
    for name, _, text in FAILURE_CASES:
        assert outcomes[name] == ("failed", text), name


def test_a_call_that_does_not_fit_the_signature_fails_with_its_type_error(engine):
    outcomes = engine({"two_required": two_required})
    state, text = outcomes["two_required"]
    assert state == "failed"
    assert text.startswith("TypeError: ")
    assert "missing 1 required positional argument: 'b'" in text


def test_status_after_success_and_after_a_final_failure(engine):
    def ok():
        pass

    engine({"status_ok": ok, "status_dead": raiser(KeyError("x"))})

    ok_status = wait_for_status("status_ok", lambda s: s["last_status"] is not None)
    assert ok_status["last_status"] == "OK"
    assert ok_status["id"] == "status_ok"
    assert ok_status["last_run_at"] is not None

    # One attempt only: the failure is final, so the timer is dead.
    dead = wait_for_status("status_dead", lambda s: s["state"] == "dead")
    assert dead["last_status"] == "DEAD"


def test_a_failure_with_attempts_left_is_shown_in_status(engine):
    # The default backoff puts the retry half a minute later, so the failure
    # stays visible.
    engine({"status_failed": raiser(KeyError("x"))}, max_attempts=2)
    status = wait_for_status("status_failed", lambda s: s["last_status"] is not None)
    assert status["last_status"] == "FAILED: KeyError: 'x'"
    assert status["state"] == "retrying"


# ---------------------------------------------------------------------------
# Coroutines


def test_coroutines_run_to_completion_and_their_outcome_counts(engine):
    ran = []

    async def async_bare():
        ran.append("async_bare")

    async def async_payload(payload):
        ran.append(("async_payload", payload["timer_id"]))

    async def async_awaits():
        import asyncio

        await asyncio.sleep(0)
        ran.append("async_awaits")

    async def async_raises():
        ran.append("async_raises")
        raise KeyError("x")

    async def async_raises_after_await():
        import asyncio

        await asyncio.sleep(0)
        raise Outer.Inner("late")

    def returns_coroutine():
        return async_bare_again()

    async def async_bare_again():
        ran.append("returns_coroutine")

    outcomes = engine(
        {
            "async_bare": async_bare,
            "async_payload": async_payload,
            "async_awaits": async_awaits,
            "async_raises": async_raises,
            "async_raises_after_await": async_raises_after_await,
            "returns_coroutine": returns_coroutine,
        }
    )

    assert outcomes == {
        "async_bare": ("ok", None),
        "async_payload": ("ok", None),
        "async_awaits": ("ok", None),
        "async_raises": ("failed", "KeyError: 'x'"),
        "async_raises_after_await": ("failed", "Outer.Inner: late"),
        "returns_coroutine": ("ok", None),
    }
    for body in [
        "async_bare",
        ("async_payload", "async_payload"),
        "async_awaits",
        "async_raises",
        "returns_coroutine",
    ]:
        assert body in ran, body


def test_a_returned_value_that_is_not_a_coroutine_is_ignored(engine):
    class Awaitable:
        """Awaitable, but not a coroutine: returned as a plain value."""

        def __await__(self):
            raise AssertionError("must not be awaited")

    outcomes = engine(
        {
            "returns_int": lambda: 42,
            "returns_awaitable": lambda: Awaitable(),
            "returns_generator": lambda: (x for x in [1]),
        }
    )
    assert set(outcomes.values()) == {("ok", None)}
