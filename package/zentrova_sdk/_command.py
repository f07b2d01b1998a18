"""The ``zentrova-sdk`` command as the shell runs it: ``zentrova_sdk.cli.main``
with its failures reported for the user who ran it.

- A failure the user can act on ends the run with one line,
  ``zentrova-sdk: <ErrorClass>: <message>``, on standard error and exit
  status 1: the service refuses, fails or cannot be reached (a
  ``VORAError``), or the QASM file named on the command line cannot be opened
  (an ``OSError`` about that file) or is not UTF-8 text.
- A job that ran and failed: the command prints its document, then one line
  naming the job and its error, and exits with status 1 (``zentrova_sdk.cli``
  does that).
- Anything else is a fault of the program, or an answer of the service that
  the SDK cannot read: it is reported with Python's traceback, and exit
  status 1. ``ZENTROVA_SDK_TRACEBACK=1`` asks for the traceback of the
  failures above too.
- The API key (``VORA_API_KEY``) never appears in what the command writes: on
  standard output and standard error, tracebacks included, it reads ``***``.
"""

from __future__ import annotations

import contextlib
import functools
import os
import sys
import traceback
from types import TracebackType
from typing import Iterator, TextIO

import typer

# Both modules are needed for every run, ``--help`` included, and the package
# initialiser has imported the models already: importing them here costs nothing.
from zentrova_sdk import cli
from zentrova_sdk.models import VORAError

PROGRAM = "zentrova-sdk"
TRACEBACK_VARIABLE = "ZENTROVA_SDK_TRACEBACK"
KEY_VARIABLE = "VORA_API_KEY"
MASK = "***"


def main() -> int:
    """Runs the command; returns the exit status of a run ended by a failure
    reported in one line (typer exits the process itself otherwise)."""
    key = os.environ.get(KEY_VARIABLE)
    with _masked_output(key):
        try:
            cli.main()
        except Exception as exc:
            line = None if _traceback_asked() else _one_line(exc, sys.argv[1:])
            if line is None:
                # The interpreter reports it, with every frame from the
                # program's own down, through Python's hook rather than typer's.
                sys.excepthook = functools.partial(_report, key)
                raise
            print(line, file=sys.stderr)
            return 1
    return 0


def _report(key: str | None, kind: type[BaseException], exc: BaseException, tb: TracebackType | None) -> None:
    """Python's traceback, with the key masked."""
    text = "".join(traceback.format_exception(kind, exc, tb))
    sys.stderr.write(text.replace(key, MASK) if key else text)


def _traceback_asked() -> bool:
    return os.environ.get(TRACEBACK_VARIABLE, "") not in ("", "0")


def _one_line(exc: Exception, arguments: list[str]) -> str | None:
    """The one-line report of a failure the user can act on, or None for any
    other: ``zentrova-sdk: Class: message``. A service's error body may span
    lines (an HTML error page): they are joined."""
    if isinstance(exc, VORAError):
        message = str(exc)
    elif isinstance(exc, OSError) and _about_an_argument(exc, arguments):
        message = str(exc)
    elif isinstance(exc, UnicodeDecodeError) and (path := _undecodable_input(arguments)) is not None:
        message = "%s: %s" % (path, exc)
    else:
        return None
    message = " ".join(part.strip() for part in message.splitlines() if part.strip())
    line = PROGRAM + ": " + type(exc).__name__
    return line + ": " + message if message else line


def _about_an_argument(exc: OSError, arguments: list[str]) -> bool:
    # The QASM file is the command's only path; an OSError naming some other
    # file (or none) did not come from the user's input and stays a traceback.
    return exc.filename is not None and exc.filename in arguments


def _undecodable_input(arguments: list[str]) -> str | None:
    """The QASM file of this run if it is not UTF-8 text. The command reads it
    before anything else, so a decoding error of such a run is the file's; one
    in a run whose file is good came from elsewhere (an answer of the service)."""
    command = typer.main.get_command(cli.app)
    with command.make_context(PROGRAM, list(arguments), resilient_parsing=True) as context:
        path = context.params.get("qasm_file")
    if not isinstance(path, str):
        return None
    try:
        with open(path, "rb") as f:
            f.read().decode("utf-8")
    except UnicodeDecodeError:
        return path
    except OSError:
        pass
    return None


class _Masked:
    """A text stream that passes what is written on to `stream` a line at a
    time, with `secret` replaced by ``***``: a secret written in pieces is
    masked too. Anything else (encoding, isatty, ...) is the stream's."""

    def __init__(self, stream: TextIO, secret: str) -> None:
        self._stream, self._secret, self._pending = stream, secret, ""

    def write(self, text: str) -> int:
        lines = (self._pending + text).split("\n")
        self._pending = lines.pop()
        if lines:
            self._stream.write("".join(line.replace(self._secret, MASK) + "\n" for line in lines))
        return len(text)

    def finish(self) -> None:
        """Writes out an unfinished last line."""
        if self._pending:
            self._stream.write(self._pending.replace(self._secret, MASK))
            self._pending = ""
        self._stream.flush()

    def __getattr__(self, name: str) -> object:
        return getattr(self._stream, name)


@contextlib.contextmanager
def _masked_output(secret: str | None) -> Iterator[None]:
    """Standard output and standard error with `secret` masked, for the
    duration of the block."""
    if not secret:
        yield
        return
    streams = sys.stdout, sys.stderr
    masked = _Masked(sys.stdout, secret), _Masked(sys.stderr, secret)
    sys.stdout, sys.stderr = masked
    try:
        yield
    finally:
        sys.stdout, sys.stderr = streams
        for stream in masked:
            stream.finish()
