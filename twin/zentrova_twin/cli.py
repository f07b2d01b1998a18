"""Minimal CLI wrapper for the SDK.

This is intentionally named `zentrova-sdk` as an entrypoint to avoid colliding
with the core CLI (`zentrova`).
"""

from __future__ import annotations

import json
import sys

import typer

from zentrova_twin.client import VORAClient

app = typer.Typer(add_completion=False, help="Zentrova SDK CLI (client for VORA public API)")


@app.command()
def execute(qasm_file: str, shots: int = 1024, base_url: str = "https://api.vora.zentrova.cloud"):
    """Submit a QASM file and wait for counts."""
    with open(qasm_file, "r", encoding="utf-8") as f:
        qasm = f.read()
    client = VORAClient(base_url=base_url)
    res = client.execute(qasm=qasm, shots=shots)
    print(json.dumps(res.raw or {}, indent=2, sort_keys=True))
    if not res.is_successful:
        error = " ".join(f"{res.error or 'no error text given'}".split())
        print(f"zentrova-sdk: job {res.job_id} failed: {error}", file=sys.stderr)
        raise typer.Exit(code=1)


def main() -> None:
    app()


if __name__ == "__main__":
    raise SystemExit(main())
