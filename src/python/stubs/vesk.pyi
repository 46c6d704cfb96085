"""Type information for the extension module `vesk`."""

import builtins
import datetime
from collections.abc import Awaitable, Callable
from typing import Any, TypedDict, TypeVar

_F = TypeVar("_F")

__version__: str

class TimerStatusDict(TypedDict):
    id: str
    state: str  # "scheduled", "running", "retrying", "dead", "orphaned", "paused" or "cancelled"
    fn_name: str | None
    last_run_at: str | None  # RFC 3339, ending in "+00:00"
    last_duration_ms: int | None
    last_status: str | None  # "OK", "FAILED: <error>" or "DEAD"
    next_run_at: str | None  # RFC 3339, ending in "+00:00"
    retries_last_7d: int

def schedule(
    name: str,
    *,
    fn: Callable[..., Any],
    cron: str = ...,
    every: str = ...,
    after: str = ...,
    at: datetime.datetime | str = ...,
    timezone: str = ...,
    max_attempts: int = ...,
    **kwargs: Any,
) -> None: ...
def start(data_dir: str | None = None) -> None: ...
def astart(data_dir: str | None = None) -> Awaitable[None]: ...
def shutdown(timeout: float = 5.0) -> None: ...
def ashutdown(timeout: float = 5.0) -> Awaitable[None]: ...
def status(name: str) -> TimerStatusDict | None: ...
def astatus(name: str) -> Awaitable[TimerStatusDict | None]: ...
def list() -> builtins.list[TimerStatusDict]: ...
def alist() -> Awaitable[builtins.list[TimerStatusDict]]: ...

class Client:
    """Timers on a remote scheduling service."""

    def __init__(self, server: str, token: str) -> None: ...
    def list(self) -> Any: ...
    def status(self, name: str) -> Any: ...
    def history(self, name: str) -> Any: ...
    def schedule(
        self,
        name: str,
        *,
        task: str,
        payload: Any = None,
        cron: str | None = None,
        every: str | None = None,
        after: str | None = None,
        at: str | None = None,
        timezone: str | None = None,
        max_attempts: int = 3,
    ) -> Any: ...

class PyTaskDecorator:
    def __call__(self, fn: _F) -> _F: ...

class Worker:
    """Runs handed out by a remote scheduling service, executed here."""

    def __init__(self, server: str, token: str, worker_id: str | None = None) -> None: ...
    def task(self, name: str) -> PyTaskDecorator: ...
    def register(self) -> None: ...
    def run_once(self, timeout: float = 20.0) -> bool: ...
    def run(self) -> None: ...
