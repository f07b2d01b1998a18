"""Driving a coroutine by hand, step by step, recording what a caller sees
at every step: the inspect state, cr_running, cr_suspended, cr_await,
whether cr_frame is there, and what each send/throw/close gave."""

from __future__ import annotations

import inspect

from harness import Run

MAX_STEPS = 40


def coroutine_state(run: Run, coro):
    frame = coro.cr_frame
    return (inspect.getcoroutinestate(coro), coro.cr_running, coro.cr_suspended, run.canon(coro.cr_await),
            None if frame is None else (frame.f_code is coro.cr_code, frame is coro.cr_frame),
            coro.cr_code.co_name, coro.__qualname__, coro.cr_origin)


def step(run: Run, coro, action):
    kind, payload = action
    try:
        if kind == "send":
            return ("yield", run.canon(coro.send(payload)))
        if kind == "throw":
            return ("yield", run.canon(coro.throw(run.exc(payload))))
        return ("closed", run.canon(coro.close()))
    except StopIteration as e:
        return ("return", run.canon(e.value), run.canon_exc(e)[3:])
    except BaseException as e:  # noqa: B902 - whatever leaves the coroutine is the outcome
        return ("raise", run.canon_exc(e))


def drive(run: Run, coro, actions):
    run.register(coro, "coro")
    run.coro = coro
    trace = []
    pending = list(actions)
    try:
        for _ in range(MAX_STEPS):
            before = coroutine_state(run, coro)
            if before[0] == inspect.CORO_CLOSED:
                break
            action = pending.pop(0) if pending else ("send", None)
            trace.append((before, action, step(run, coro, action)))
        # A finished coroutine refuses to run again, and says so.
        for action in (("send", None), ("throw", ("ValueError", "late")), ("close", None)):
            trace.append((coroutine_state(run, coro), step(run, coro, action)))
        return trace
    finally:
        run.coro = None
        coro.close()
