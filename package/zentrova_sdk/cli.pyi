"""Minimal CLI wrapper for the SDK.

This is intentionally named `zentrova-sdk` as an entrypoint to avoid colliding
with the core CLI (`zentrova`).
"""

from __future__ import annotations

import json as json
import sys as sys

import typer as typer

from zentrova_sdk.client import VORAClient as VORAClient

app: typer.Typer

def execute(qasm_file: str, shots: int = 1024, base_url: str = ...) -> None:
    """Submit a QASM file and wait for counts."""

def main() -> None: ...
