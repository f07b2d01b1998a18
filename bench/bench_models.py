"""Nanoseconds per JobResult.from_dict on a typical completed document:
zentrova_sdk.models against its pure-Python twin, in the same run.

    PYTHONPATH=build/devpkg .venv/bin/python bench/bench_models.py [--number N] [--repeat R]
"""

import argparse
import sys
import timeit
from pathlib import Path

from zentrova_sdk import models

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "twin"))
import zentrova_twin.models as baseline_models  # noqa: E402

DOCUMENT = {
    "job_id": "job-4f2a9c",
    "status": "completed",
    "result": {
        "counts": {"00": 497, "01": 12, "10": 9, "11": 506},
        "num_qubits": 2,
        "shots": 1024,
        "backend": "statevector_simulator",
    },
}


def best_ns(from_dict, number, repeat):
    """Best of `repeat` timings of `number` calls, in nanoseconds per call."""
    timer = timeit.Timer("from_dict(document)", globals={"from_dict": from_dict, "document": DOCUMENT})
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=200_000, help="calls per timing")
    parser.add_argument("--repeat", type=int, default=7, help="timings; the best one counts")
    args = parser.parse_args()

    ours, reference = models.JobResult.from_dict(DOCUMENT), baseline_models.JobResult.from_dict(DOCUMENT)
    fields = [f for f in vars(ours) if f != "status"]
    # Both must build the same record, or the comparison means nothing.
    assert [getattr(ours, f) for f in fields] == [getattr(reference, f) for f in fields]
    assert ours.status.value == reference.status.value == "completed"

    native = best_ns(models.JobResult.from_dict, args.number, args.repeat)
    python = best_ns(baseline_models.JobResult.from_dict, args.number, args.repeat)
    print(f"zentrova_sdk.models  JobResult.from_dict: {native:8.1f} ns/call")
    print(f"pure-Python baseline JobResult.from_dict: {python:8.1f} ns/call")
    print(f"speed-up (baseline / ours): {python / native:.2f}x")


if __name__ == "__main__":
    main()
