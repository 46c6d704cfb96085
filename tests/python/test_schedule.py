"""vesk.schedule: how its arguments are checked, and what it registers.

A rejected call must leave nothing behind, so every error case ends by
starting an engine and checking that no timer was queued for it. The
accepted calls are checked through vesk.status on an engine started in a
temporary directory, both for a call made before start (queued, registered
when the engine starts) and for one made while the engine runs.
"""

import ctypes
import datetime as dt
import functools

import pytest

import vesk

UTC = dt.timezone.utc
PLUS_2 = dt.timezone(dt.timedelta(hours=2))
MINUS_0530 = dt.timezone(-dt.timedelta(hours=5, minutes=30))
MINUS_1 = dt.timezone(dt.timedelta(hours=-1))

FUTURE = "2099-03-02T10:00:00Z"
EXACTLY_ONE = "schedule() requires exactly one of cron, every, after, at"
AT_TYPE = "at must be timezone-aware datetime or RFC3339 string, got "
OUT_OF_RANGE_INT = "out of range integral type conversion attempted"


def job():
    pass


def host_long_long_overflow(value):
    """CPython's own message when `value` does not fit a C long long."""
    convert = ctypes.pythonapi.PyLong_AsLongLong
    convert.restype = ctypes.c_longlong
    convert.argtypes = [ctypes.py_object]
    with pytest.raises(OverflowError) as raised:
        convert(value)
    return str(raised.value)


class Nameless:
    """A callable without __name__: its repr stands in for the name."""

    def __call__(self):
        pass

    def __repr__(self):
        return "<Nameless job>"


class NonStrName(Nameless):
    __name__ = 42


class RaisingName(Nameless):
    @property
    def __name__(self):
        raise RuntimeError("no name")


class Anonymous:
    """Neither __name__ nor a working repr."""

    def __call__(self):
        pass

    def __repr__(self):
        raise RuntimeError("no repr")


@pytest.fixture
def nothing_queued(tmp_path):
    """After the test, an engine started on a fresh directory has no timer:
    the rejected calls queued nothing."""
    yield
    vesk.start(str(tmp_path / "after-errors"))
    try:
        assert vesk.list() == []
    finally:
        vesk.shutdown()


@pytest.fixture
def engine(tmp_path):
    """`start()` starts an engine on a temporary directory. It is shut down
    after the test, and started first if the test never did, so that what
    the test queued does not leak into the next one."""
    started = []

    def start():
        vesk.start(str(tmp_path / "data"))
        started.append(True)

    yield start
    if not started:
        start()
    vesk.shutdown()


# ---------------------------------------------------------------------------
# Rejected calls: (positional args, keyword args, exception type, message).

ERROR_CASES = [
    # name
    pytest.param((), {"fn": job, "at": FUTURE}, TypeError,
                 "schedule() missing 1 required positional argument: 'name'", id="name-missing"),
    pytest.param((), {}, TypeError,
                 "schedule() missing 1 required positional argument: 'name'", id="no-arguments"),
    pytest.param(("a", "b"), {"fn": job, "at": FUTURE}, TypeError,
                 "schedule() takes 1 positional argument but 2 were given", id="two-positionals"),
    pytest.param(("a", "b", "c"), {}, TypeError,
                 "schedule() takes 1 positional argument but 3 were given", id="three-positionals"),
    pytest.param(("a",), {"name": "b", "fn": job, "at": FUTURE}, TypeError,
                 "schedule() got multiple values for argument 'name'", id="name-twice"),
    pytest.param((5,), {"fn": job, "at": FUTURE}, TypeError,
                 "argument 'name': 'int' object cannot be converted to 'PyString'", id="name-int"),
    pytest.param((), {"name": None, "fn": job, "at": FUTURE}, TypeError,
                 "argument 'name': 'NoneType' object cannot be converted to 'PyString'", id="name-keyword-none"),
    pytest.param((b"a",), {}, TypeError,
                 "argument 'name': 'bytes' object cannot be converted to 'PyString'", id="name-checked-before-kwargs"),
    # keyword arguments at all
    pytest.param(("a",), {}, ValueError, "schedule() requires keyword args", id="no-kwargs"),
    pytest.param((), {"name": "a"}, ValueError, "schedule() requires keyword args", id="only-name-keyword"),
    # fn
    pytest.param(("a",), {"cron": "* * * * *"}, ValueError,
                 "schedule() requires fn=<callable>", id="decorator-style-without-fn"),
    pytest.param(("a",), {"fn": None, "at": FUTURE}, ValueError, "fn must be callable", id="fn-none"),
    pytest.param(("a",), {"fn": "job", "at": FUTURE}, ValueError, "fn must be callable", id="fn-str"),
    pytest.param(("a",), {"fn": "job", "timezone": None}, ValueError,
                 "fn must be callable", id="fn-checked-before-timezone"),
    # timezone
    pytest.param(("a",), {"fn": job, "at": FUTURE, "timezone": None}, TypeError,
                 "'NoneType' object cannot be converted to 'PyString'", id="timezone-none"),
    pytest.param(("a",), {"fn": job, "at": FUTURE, "timezone": 1}, TypeError,
                 "'int' object cannot be converted to 'PyString'", id="timezone-int"),
    pytest.param(("a",), {"fn": job, "timezone": None, "max_attempts": -1}, TypeError,
                 "'NoneType' object cannot be converted to 'PyString'", id="timezone-checked-before-max-attempts"),
    # max_attempts
    pytest.param(("a",), {"fn": job, "at": FUTURE, "max_attempts": -1}, OverflowError,
                 OUT_OF_RANGE_INT, id="max-attempts-negative"),
    pytest.param(("a",), {"fn": job, "at": FUTURE, "max_attempts": 2**32}, OverflowError,
                 OUT_OF_RANGE_INT, id="max-attempts-2**32"),
    pytest.param(("a",), {"fn": job, "at": FUTURE, "max_attempts": -(2**40)}, OverflowError,
                 OUT_OF_RANGE_INT, id="max-attempts-far-negative"),
    pytest.param(("a",), {"fn": job, "at": FUTURE, "max_attempts": 2**70}, OverflowError,
                 host_long_long_overflow(2**70), id="max-attempts-2**70"),
    pytest.param(("a",), {"fn": job, "at": FUTURE, "max_attempts": "3"}, TypeError,
                 "'str' object cannot be interpreted as an integer", id="max-attempts-str"),
    pytest.param(("a",), {"fn": job, "at": FUTURE, "max_attempts": 3.0}, TypeError,
                 "'float' object cannot be interpreted as an integer", id="max-attempts-float"),
    pytest.param(("a",), {"fn": job, "at": FUTURE, "max_attempts": None}, TypeError,
                 "'NoneType' object cannot be interpreted as an integer", id="max-attempts-none"),
    pytest.param(("a",), {"fn": job, "cron": "* * * * *", "every": "5m", "max_attempts": -1}, OverflowError,
                 OUT_OF_RANGE_INT, id="max-attempts-checked-before-schedule"),
    # which schedule
    pytest.param(("a",), {"fn": job}, ValueError, EXACTLY_ONE, id="no-schedule"),
    pytest.param(("a",), {"fn": job, "payload": {"x": 1}}, ValueError, EXACTLY_ONE, id="payload-is-not-a-schedule"),
    pytest.param(("a",), {"fn": job, "cron": "* * * * *", "every": "5m"}, ValueError,
                 EXACTLY_ONE, id="cron-and-every"),
    pytest.param(("a",), {"fn": job, "cron": "* * * * *", "at": None}, ValueError,
                 EXACTLY_ONE, id="cron-and-at-none"),
    pytest.param(("a",), {"fn": job, "every": "5m", "after": "5m", "at": FUTURE, "cron": "* * * * *"},
                 ValueError, EXACTLY_ONE, id="all-four"),
    pytest.param(("a",), {"fn": job, "every": 300}, TypeError,
                 "'int' object cannot be converted to 'PyString'", id="every-int"),
    pytest.param(("a",), {"fn": job, "cron": None}, TypeError,
                 "'NoneType' object cannot be converted to 'PyString'", id="cron-none"),
    pytest.param(("a",), {"fn": job, "after": 5.0}, TypeError,
                 "'float' object cannot be converted to 'PyString'", id="after-float"),
    pytest.param(("a",), {"fn": job, "cron": 5, "every": "5m"}, TypeError,
                 "'int' object cannot be converted to 'PyString'", id="type-checked-before-count"),
    # durations
    pytest.param(("a",), {"fn": job, "every": "5M"}, ValueError,
                 "invalid cron expression: duration must end with s/m/h/d: 5M", id="every-upper-unit"),
    pytest.param(("a",), {"fn": job, "every": "5 m"}, ValueError,
                 "invalid cron expression: invalid duration: 5 m", id="every-space-before-unit"),
    pytest.param(("a",), {"fn": job, "after": "m"}, ValueError,
                 "invalid cron expression: invalid duration: m", id="after-no-number"),
    pytest.param(("a",), {"fn": job, "after": "10"}, ValueError,
                 "invalid cron expression: duration must end with s/m/h/d: 10", id="after-no-unit"),
    # at: the value's type
    pytest.param(("a",), {"fn": job, "at": dt.datetime(2099, 3, 2, 10, 0)}, ValueError,
                 AT_TYPE + "datetime", id="at-naive-datetime"),
    pytest.param(("a",), {"fn": job, "at": 5}, ValueError, AT_TYPE + "int", id="at-int"),
    pytest.param(("a",), {"fn": job, "at": None}, ValueError, AT_TYPE + "NoneType", id="at-none"),
    pytest.param(("a",), {"fn": job, "at": dt.date(2099, 3, 2)}, ValueError, AT_TYPE + "date", id="at-date"),
    pytest.param(("a",), {"fn": job, "at": b"2099-03-02T10:00:00Z"}, ValueError,
                 AT_TYPE + "bytes", id="at-bytes"),
    pytest.param(("a",), {"fn": job, "at": dt.datetime(9999, 12, 31, 23, 30, tzinfo=MINUS_1)}, OverflowError,
                 "date value out of range", id="at-datetime-past-year-9999-in-utc"),
    # at: the text
    pytest.param(("a",), {"fn": job, "at": ""}, ValueError,
                 "invalid at datetime: premature end of input", id="at-empty"),
    pytest.param(("a",), {"fn": job, "at": "2026-03-02"}, ValueError,
                 "invalid at datetime: premature end of input", id="at-date-only"),
    pytest.param(("a",), {"fn": job, "at": "2026-03-02T10:00"}, ValueError,
                 "invalid at datetime: premature end of input", id="at-no-seconds"),
    pytest.param(("a",), {"fn": job, "at": "2026-03-02T10:00:00"}, ValueError,
                 "invalid at datetime: premature end of input", id="at-no-offset"),
    pytest.param(("a",), {"fn": job, "at": "2026-03-02T10:00:00."}, ValueError,
                 "invalid at datetime: premature end of input", id="at-dot-at-end"),
    pytest.param(("a",), {"fn": job, "at": "2026-03-02T10:00:00+02"}, ValueError,
                 "invalid at datetime: premature end of input", id="at-offset-hours-only"),
    pytest.param(("a",), {"fn": job, "at": "x"}, ValueError,
                 "invalid at datetime: input contains invalid characters", id="at-x"),
    pytest.param(("a",), {"fn": job, "at": "2026/03/02T10:00:00Z"}, ValueError,
                 "invalid at datetime: input contains invalid characters", id="at-slashes"),
    pytest.param(("a",), {"fn": job, "at": "2026-3-02T10:00:00Z"}, ValueError,
                 "invalid at datetime: input contains invalid characters", id="at-one-digit-month"),
    pytest.param(("a",), {"fn": job, "at": "2026-03-02X10:00:00Z"}, ValueError,
                 "invalid at datetime: input contains invalid characters", id="at-bad-date-time-separator"),
    pytest.param(("a",), {"fn": job, "at": "2026-03-02T10:00:00.Z"}, ValueError,
                 "invalid at datetime: input contains invalid characters", id="at-dot-without-digits"),
    pytest.param(("a",), {"fn": job, "at": "2026-03-02T10:00:00UTC"}, ValueError,
                 "invalid at datetime: input contains invalid characters", id="at-zone-name"),
    pytest.param(("a",), {"fn": job, "at": "2026-03-02T10:00:00+0200"}, ValueError,
                 "invalid at datetime: input contains invalid characters", id="at-offset-without-colon"),
    pytest.param(("a",), {"fn": job, "at": "２０２６-03-02T10:00:00Z"}, ValueError,
                 "invalid at datetime: input contains invalid characters", id="at-fullwidth-digits"),
    pytest.param(("a",), {"fn": job, "at": "2026-03-02T10:00:00Zjunk"}, ValueError,
                 "invalid at datetime: trailing input", id="at-trailing-junk"),
    pytest.param(("a",), {"fn": job, "at": "2026-03-02T10:00:00+02:00 "}, ValueError,
                 "invalid at datetime: trailing input", id="at-trailing-space"),
    pytest.param(("a",), {"fn": job, "at": "2026-13-02T00:00:00Z"}, ValueError,
                 "invalid at datetime: input is out of range", id="at-month-13"),
    pytest.param(("a",), {"fn": job, "at": "2026-00-02T00:00:00Z"}, ValueError,
                 "invalid at datetime: input is out of range", id="at-month-0"),
    pytest.param(("a",), {"fn": job, "at": "2026-03-32T00:00:00Z"}, ValueError,
                 "invalid at datetime: input is out of range", id="at-day-32"),
    pytest.param(("a",), {"fn": job, "at": "2026-03-02T25:00:00Z"}, ValueError,
                 "invalid at datetime: input is out of range", id="at-hour-25"),
    pytest.param(("a",), {"fn": job, "at": "2026-03-02T10:61:00Z"}, ValueError,
                 "invalid at datetime: input is out of range", id="at-minute-61"),
    pytest.param(("a",), {"fn": job, "at": "2026-03-02T10:00:61Z"}, ValueError,
                 "invalid at datetime: input is out of range", id="at-second-61"),
    pytest.param(("a",), {"fn": job, "at": "2026-03-02T10:00:00+24:00"}, ValueError,
                 "invalid at datetime: input is out of range", id="at-offset-hour-24"),
    pytest.param(("a",), {"fn": job, "at": "2026-03-02T10:00:00+02:60"}, ValueError,
                 "invalid at datetime: input is out of range", id="at-offset-minute-60"),
    pytest.param(("a",), {"fn": job, "at": "9999-12-31T23:30:00-01:00"}, ValueError,
                 "invalid at datetime: input is out of range", id="at-past-year-9999-in-utc"),
    pytest.param(("a",), {"fn": job, "at": "2026-13-02"}, ValueError,
                 "invalid at datetime: input is out of range", id="at-range-before-end"),
    pytest.param(("a",), {"fn": job, "at": "2026-02-30T00:00:00Z"}, ValueError,
                 "invalid at datetime: no possible date and time matching input", id="at-february-30"),
    pytest.param(("a",), {"fn": job, "at": "2026-02-29T00:00:00Z"}, ValueError,
                 "invalid at datetime: no possible date and time matching input", id="at-february-29-common-year"),
    pytest.param(("a",), {"fn": job, "at": "2026-04-31T00:00:00Z"}, ValueError,
                 "invalid at datetime: no possible date and time matching input", id="at-april-31"),
    pytest.param(("a",), {"fn": job, "at": "2026-02-30T00:00:00Zjunk"}, ValueError,
                 "invalid at datetime: trailing input", id="at-trailing-before-impossible"),
]


@pytest.mark.usefixtures("nothing_queued")
@pytest.mark.parametrize(("args", "kwargs", "error", "message"), ERROR_CASES)
def test_rejected_calls_raise_and_queue_nothing(args, kwargs, error, message):
    with pytest.raises(error) as raised:
        vesk.schedule(*args, **kwargs)
    assert type(raised.value) is error
    assert str(raised.value) == message


def test_host_overflow_is_not_our_range_message():
    # The two overflow paths must stay distinguishable: a C long long
    # overflow is CPython's, the uint32 range is ours.
    assert host_long_long_overflow(2**70) != OUT_OF_RANGE_INT


# ---------------------------------------------------------------------------
# Accepted calls.

WHEN = pytest.mark.parametrize("when", ["before-start", "while-running"])


def register(start, when, *args, **kwargs):
    """Schedules before or after starting the engine; returns schedule()'s result."""
    if when == "while-running":
        start()
        return vesk.schedule(*args, **kwargs)
    result = vesk.schedule(*args, **kwargs)
    start()
    return result


AT_CASES = [
    pytest.param(dt.datetime(2099, 3, 2, 10, 0, tzinfo=PLUS_2), "2099-03-02T08:00:00+00:00", id="datetime-plus-2"),
    pytest.param("2099-03-02T10:00:00+02:00", "2099-03-02T08:00:00+00:00", id="text-plus-2"),
    pytest.param(dt.datetime(2099, 3, 2, 10, 0, 0, 123456, tzinfo=PLUS_2), "2099-03-02T08:00:00.123456+00:00",
                 id="datetime-microseconds"),
    pytest.param("2099-03-02T10:00:00.123456+02:00", "2099-03-02T08:00:00.123456+00:00", id="text-microseconds"),
    pytest.param(dt.datetime(2099, 3, 2, 10, 0, tzinfo=MINUS_0530), "2099-03-02T15:30:00+00:00",
                 id="datetime-minus-0530"),
    pytest.param("2099-03-02T10:00:00-05:30", "2099-03-02T15:30:00+00:00", id="text-minus-0530"),
    pytest.param(dt.datetime(2099, 3, 1, 23, 0, tzinfo=MINUS_1), "2099-03-02T00:00:00+00:00",
                 id="datetime-offset-crosses-midnight"),
    pytest.param(dt.datetime(2099, 3, 2, 0, 30, 0, 250000, tzinfo=PLUS_2), "2099-03-01T22:30:00.250+00:00",
                 id="datetime-offset-crosses-back-a-day"),
    # A float timestamp of this instant cannot hold its microseconds.
    pytest.param(dt.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC), "9999-12-31T23:59:59.999999+00:00",
                 id="datetime-last-microsecond"),
    pytest.param("2099-03-02t10:00:00z", "2099-03-02T10:00:00+00:00", id="text-lowercase-t-z"),
    pytest.param("2099-03-02 10:00:00Z", "2099-03-02T10:00:00+00:00", id="text-space-separator"),
    pytest.param("2099-03-02T10:00:00.5Z", "2099-03-02T10:00:00.500+00:00", id="text-one-fraction-digit"),
    pytest.param("2099-03-02T10:00:00.1234567891Z", "2099-03-02T10:00:00.123456789+00:00",
                 id="text-digits-past-nine-dropped"),
    pytest.param("2099-12-31T23:59:60Z", "2099-12-31T23:59:60+00:00", id="text-leap-second"),
    pytest.param("9999-12-31T23:59:59.999999999Z", "9999-12-31T23:59:59.999999999+00:00", id="text-last-instant"),
]


@WHEN
@pytest.mark.parametrize(("at", "next_run_at"), AT_CASES)
def test_at_is_stored_as_its_utc_instant(engine, when, at, next_run_at):
    assert register(engine, when, "t", fn=job, at=at) is None
    assert vesk.status("t")["next_run_at"] == next_run_at


class DatetimeSubclass(dt.datetime):
    pass


def test_aware_datetime_subclass_is_accepted(engine):
    at = DatetimeSubclass(2099, 3, 2, 10, 0, tzinfo=PLUS_2)
    assert register(engine, "before-start", "t", fn=job, at=at) is None
    assert vesk.status("t")["next_run_at"] == "2099-03-02T08:00:00+00:00"


def test_naive_datetime_subclass_names_the_subclass(nothing_queued):
    with pytest.raises(ValueError) as raised:
        vesk.schedule("t", fn=job, at=DatetimeSubclass(2099, 3, 2, 10, 0))
    assert str(raised.value) == AT_TYPE + "DatetimeSubclass"


NAMELESS = Nameless()
NON_STR_NAME = NonStrName()
RAISING_NAME = RaisingName()
PARTIAL = functools.partial(job)

FN_NAME_CASES = [
    pytest.param(job, "job", id="function"),
    pytest.param(lambda: None, "<lambda>", id="lambda"),
    pytest.param(Nameless, "Nameless", id="class"),
    pytest.param(len, "len", id="builtin"),
    pytest.param(NAMELESS, "<Nameless job>", id="no-name-uses-repr"),
    pytest.param(NON_STR_NAME, "<Nameless job>", id="non-str-name-uses-repr"),
    pytest.param(RAISING_NAME, "<Nameless job>", id="raising-name-uses-repr"),
    pytest.param(PARTIAL, repr(PARTIAL), id="partial-uses-repr"),
    pytest.param(Anonymous(), "<callable>", id="no-name-no-repr"),
]


@WHEN
@pytest.mark.parametrize(("fn", "fn_name"), FN_NAME_CASES)
def test_fn_name(engine, when, fn, fn_name):
    assert register(engine, when, "t", fn=fn, at=FUTURE) is None
    assert vesk.status("t")["fn_name"] == fn_name


ACCEPTED_CASES = [
    pytest.param(("t",), {"fn": job, "at": FUTURE, "payload": {"x": 1}}, id="unknown-keyword-ignored"),
    pytest.param(("t",), {"fn": job, "at": FUTURE, "max_attempts": 0}, id="max-attempts-0"),
    pytest.param(("t",), {"fn": job, "at": FUTURE, "max_attempts": 2**32 - 1}, id="max-attempts-max"),
    pytest.param(("t",), {"fn": job, "at": FUTURE, "max_attempts": True}, id="max-attempts-bool"),
    pytest.param((), {"name": "t", "fn": job, "at": FUTURE}, id="name-by-keyword"),
    pytest.param(("t",), {"fn": job, "cron": "0 0 1 1 *"}, id="cron"),
    pytest.param(("t",), {"fn": job, "cron": "0 0 1 1 *", "timezone": "Europe/Berlin"}, id="cron-timezone"),
    pytest.param(("t",), {"fn": job, "after": "1d"}, id="after"),
]


@WHEN
@pytest.mark.parametrize(("args", "kwargs"), ACCEPTED_CASES)
def test_accepted_calls_register_the_timer(engine, when, args, kwargs):
    assert register(engine, when, *args, **kwargs) is None
    status = vesk.status("t")
    assert status is not None
    assert status["fn_name"] == "job"
    assert status["next_run_at"] is not None
    assert status["next_run_at"].endswith("+00:00")


def utc_from_status(text):
    """The status instant as a datetime, fraction cut to microseconds."""
    head, _, _ = text.rpartition("+00:00")
    date_time, _, fraction = head.partition(".")
    micros = int((fraction + "000000")[:6]) if fraction else 0
    return dt.datetime.fromisoformat(date_time).replace(microsecond=micros, tzinfo=UTC)


@WHEN
def test_after_counts_from_the_call(engine, when):
    if when == "while-running":
        engine()
    before = dt.datetime.now(UTC)
    assert vesk.schedule("t", fn=job, after="1h") is None
    after = dt.datetime.now(UTC)
    if when == "before-start":
        engine()
    next_run = utc_from_status(vesk.status("t")["next_run_at"])
    hour = dt.timedelta(hours=1)
    assert before + hour - dt.timedelta(microseconds=1) <= next_run <= after + hour
