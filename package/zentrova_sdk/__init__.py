"""Python client SDK of the VORA quantum-circuit service.

The modules are C++ extension modules; this initialiser only gathers their
public names.
"""

from zentrova_sdk.client import AsyncVORAClient, VORAClient
from zentrova_sdk.models import (
    AuthenticationError,
    BackendInfo,
    CircuitJob,
    JobNotFoundError,
    JobResult,
    JobStatus,
    ProviderInfo,
    RateLimitError,
    SupplierInfo,
    TimeoutError,
    ValidationError,
    VORAError,
)

__version__ = "0.1.0"

__all__ = [
    "AsyncVORAClient",
    "AuthenticationError",
    "BackendInfo",
    "CircuitJob",
    "JobNotFoundError",
    "JobResult",
    "JobStatus",
    "ProviderInfo",
    "RateLimitError",
    "SupplierInfo",
    "TimeoutError",
    "ValidationError",
    "VORAClient",
    "VORAError",
    "__version__",
]
