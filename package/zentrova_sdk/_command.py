"""The ``zentrova-sdk`` command as the shell runs it: ``zentrova_sdk.cli.main``
with the failures a user can act on reported in one line.

When the service refuses, fails or cannot be reached (a ``VORAError``), or the
QASM file named on the command line cannot be opened (an ``OSError`` about that
file), the run ends with ``zentrova-sdk: <ErrorClass>: <message>`` on standard
error and exit status 1. Anything else is a fault of the program or an
interrupt and keeps the report typer gives it, traceback included.
``ZENTROVA_SDK_TRACEBACK=1`` keeps the traceback for the SDK's own errors too.
"""

from __future__ import annotations

import os
import sys

# Both modules are needed for every run, ``--help`` included, and the package
# initialiser has imported the models already: importing them here costs nothing.
from zentrova_sdk import cli
from zentrova_sdk.models import VORAError

PROGRAM = "zentrova-sdk"
TRACEBACK_VARIABLE = "ZENTROVA_SDK_TRACEBACK"
KEY_VARIABLE = "VORA_API_KEY"


def main() -> int:
    """Runs the command; returns the exit status of a run ended by an SDK
    error (typer exits the process itself otherwise)."""
    if os.environ.get(TRACEBACK_VARIABLE, "") not in ("", "0"):
        cli.main()
        return 0
    try:
        cli.main()
    except (VORAError, OSError) as exc:
        if isinstance(exc, OSError) and not _about_an_argument(exc, sys.argv[1:]):
            raise
        print(_one_line(exc, os.environ.get(KEY_VARIABLE)), file=sys.stderr)
        return 1
    return 0


def _about_an_argument(exc: OSError, arguments: list[str]) -> bool:
    # The QASM file is the command's only path; an OSError naming some other
    # file (or none) did not come from the user's input and stays a traceback.
    return exc.filename is not None and exc.filename in arguments


def _one_line(exc: BaseException, api_key: str | None) -> str:
    """``zentrova-sdk: Class: message`` on one line. A service's error body
    may span lines (an HTML error page) or, from a server that echoes request
    headers, hold the key: lines are joined and the key is masked."""
    message = " ".join(part.strip() for part in str(exc).splitlines() if part.strip())
    if api_key:
        message = message.replace(api_key, "***")
    line = PROGRAM + ": " + type(exc).__name__
    return line + ": " + message if message else line
