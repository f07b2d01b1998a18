"""The pure-Python twin of zentrova_sdk's extension modules.

``zentrova_twin.models``, ``.client`` and ``.cli`` are what the C++ modules
``zentrova_sdk.models``, ``.client`` and ``.cli`` stand for, written as the
most natural Python for each step. The differential tests run both side by
side and compare everything a caller can observe; the benchmarks use the twin
as the baseline. It is never installed with the package.
"""
