"""The client under test in one run: its module's globals replaced by logging
stand-ins (os, time, httpx and the model names), a scripted HTTP client, and
optionally a subclass that overrides one method and delegates to it."""

from __future__ import annotations

import asyncio
import builtins

import httpx

from harness import Proxy, Run, patched

MODEL_NAMES = ["CircuitJob", "JobResult", "JobStatus", "VORAError", "AuthenticationError", "RateLimitError",
               "ValidationError", "JobNotFoundError", "TimeoutError", "ProviderInfo"]


class Stop(BaseException):
    """Ends a run that would otherwise go on for ever (a job that never
    finishes on a clock that never moves)."""


class FakeTime:
    def __init__(self, run: Run, ticks, raise_on_sleep):
        self.run, self.ticks, self.raise_on_sleep = run, list(ticks) or [0.0], raise_on_sleep
        self.now, self.reads, self.sleeps = 1000.0, 0, 0

    def time(self):
        self.run.note("time.time")
        self.reads += 1
        if self.reads > 40:
            raise Stop("clock read too often")
        self.now += self.ticks[min(self.reads - 1, len(self.ticks) - 1)]
        return self.now

    def sleep(self, seconds):
        self.run.note("time.sleep", seconds)
        self.sleeps += 1
        if self.sleeps == self.raise_on_sleep:
            raise KeyboardInterrupt("interrupted in sleep")


class Answers:
    """The scripted answers of `request`, one a call, the last repeated."""

    def __init__(self, run: Run, answers):
        self.run, self.answers, self.calls = run, answers, 0

    def next(self, *args, **kwargs):
        self.run.note("http.request", args, kwargs)
        self.calls += 1
        if self.calls > 30:
            raise Stop("too many requests")
        kind, recipe = self.answers[min(self.calls - 1, len(self.answers) - 1)]
        if kind == "raise":
            raise self.run.exc(recipe)
        return self.run.build(recipe)


class FakeHTTP:
    def __init__(self, answers: Answers):
        self.answers = answers

    def request(self, *args, **kwargs):
        return self.answers.next(*args, **kwargs)


class Step:
    """What the asynchronous fake's `request` returns: an awaitable that
    suspends `ticks` times before it gives its answer."""

    def __init__(self, run: Run, ticks: int, answer):
        self.run, self.ticks, self.answer = run, ticks, answer

    def __await__(self):
        return self.run.register(StepIterator(self), "it")


class StepIterator:
    def __init__(self, step: Step):
        self.step, self.done = step, 0

    def __iter__(self):
        return self

    def __next__(self):
        return self.send(None)

    def send(self, value):
        run = self.step.run
        run.note(run.label_of(self), "send", value)
        if self.done < self.step.ticks:
            self.done += 1
            return None if not run.hand_driven else ("tick", run.label_of(self), self.done)
        raise StopIteration(self.step.answer())

    def throw(self, typ, val=None, tb=None):
        run = self.step.run
        run.note(run.label_of(self), "throw", typ, val)
        raise typ if val is None else val

    def close(self):
        self.step.run.note(self.step.run.label_of(self), "close")


class FakeAsyncHTTP:
    def __init__(self, answers: Answers, ticks: int):
        self.answers, self.ticks = answers, ticks

    def request(self, *args, **kwargs):
        # The call itself is not awaited yet: the answer comes when it is.
        self.answers.run.note("http.request.call")
        return Step(self.answers.run, self.ticks, lambda: self.answers.next(*args, **kwargs))


def logged_class(run: Run, cls):
    """A subclass of `cls` whose instance checks are logged and answered as
    `cls` answers them: isinstance and an `except` clause differ here."""

    class Checked(type(cls)):
        def __instancecheck__(self, instance):
            run.note("instancecheck", cls.__name__, instance)
            return isinstance(instance, cls)

    return Checked(cls.__name__, (cls,), {})


def fake_isinstance(run: Run, recipe):
    """Stands in for the builtin isinstance: logs its arguments, then answers
    as the builtin does, or with the value the recipe builds."""

    def check(obj, classes):
        run.note("isinstance", obj, classes)
        return builtins.isinstance(obj, classes) if recipe == "logged" else run.build(recipe)

    return check


def fake_globals(run: Run, recipe, http):
    module = run.impl.client
    env = recipe.get("env")

    def getenv(*args):
        run.note("os.getenv", args)
        return env

    def factory(name):
        def make(*args, **kwargs):
            run.note(f"httpx.{name}", args, kwargs)
            return http

        return make

    http_names = {"Client": factory("Client"), "AsyncClient": factory("AsyncClient")}
    if recipe.get("checked_class"):
        http_names[recipe["checked_class"]] = logged_class(run, getattr(httpx, recipe["checked_class"]))
    names = {
        "time": FakeTime(run, recipe.get("ticks", ()), recipe.get("raise_on_sleep")),
        "os": Proxy(run, "os", None, {"getenv": getenv}),
        "httpx": Proxy(run, "httpx", httpx, http_names),
    }
    if recipe.get("isinstance"):
        names["isinstance"] = fake_isinstance(run, recipe["isinstance"])
    names.update({name: Proxy(run, name, getattr(module, name)) for name in MODEL_NAMES})
    return patched(module, **names)


def client_class(run: Run, asynchronous: bool, override: str | None):
    """The client class itself, or a subclass that overrides one method and
    logs every attribute read through the instance, so that the order of those
    reads is compared too. "fake submit" answers a job of its own instead of
    calling the base class."""
    base = run.impl.client.AsyncVORAClient if asynchronous else run.impl.client.VORAClient
    if override is None:
        return base
    name = override
    if override == "fake submit":
        name = "submit"

        def method(self, *args, **kwargs):
            run.note("override", override, args, kwargs)
            return run.build(("probe", (("job_id", ("val", "job-7")),)))
    elif asynchronous:
        async def method(self, *args, **kwargs):
            run.note("override", override, args, kwargs)
            return await getattr(super(cls, self), override)(*args, **kwargs)
    else:
        def method(self, *args, **kwargs):
            run.note("override", override, args, kwargs)
            return getattr(super(cls, self), override)(*args, **kwargs)

    def __getattribute__(self, attribute):
        if not attribute.startswith("__"):
            run.note("self." + attribute)
        return super(cls, self).__getattribute__(attribute)

    cls = type("Sub", (base,), {name: method, "__getattribute__": __getattribute__})
    return cls


def fake_asyncio_sleep(run: Run, ticks: int):
    """Stands in for asyncio.sleep: logs its argument and suspends `ticks` times."""
    real = asyncio.sleep

    async def sleep(delay, result=None):
        run.note("asyncio.sleep", delay)
        for _ in range(ticks):
            if run.hand_driven:
                await Step(run, 1, lambda: None)
            else:
                await real(0)
        return result

    return patched(asyncio, sleep=sleep)
