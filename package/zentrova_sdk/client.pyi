from __future__ import annotations

import os as os
import time as time
from typing import Any as Any, Dict as Dict, Optional as Optional, Union as Union

import httpx as httpx

from zentrova_sdk.models import (
    AuthenticationError as AuthenticationError,
    BackendInfo as BackendInfo,
    CircuitJob as CircuitJob,
    JobNotFoundError as JobNotFoundError,
    JobResult as JobResult,
    JobStatus as JobStatus,
    ProviderInfo as ProviderInfo,
    RateLimitError as RateLimitError,
    SupplierInfo as SupplierInfo,
    TimeoutError as TimeoutError,
    ValidationError as ValidationError,
    VORAError as VORAError,
)

class VORAClient:
    """Synchronous client of the VORA service."""

    api_key: str
    base_url: str
    timeout: float
    max_retries: int
    _client: httpx.Client
    def __init__(
        self,
        api_key: Optional[str] = None,
        base_url: str = ...,
        timeout: float = 300.0,
        max_retries: int = 3,
    ) -> None: ...
    def execute(self, qasm: str, shots: int = 1024) -> JobResult: ...
    def submit(self, qasm: str, shots: int = 1024) -> CircuitJob: ...
    def get_status(self, job_id: str) -> JobResult: ...
    def get_result(self, job_id: str) -> JobResult: ...
    def wait_for_result(self, job_id: str, timeout: float = 300.0, poll_interval: float = 2.0) -> JobResult: ...
    def list_providers(self, supplier: str = "azure_quantum") -> list[ProviderInfo]: ...
    def execute_on_backend(
        self, qasm: str, backend: str, supplier: str = "azure_quantum", shots: int = 1024
    ) -> JobResult: ...
    def _request_with_retries(self, method: str, url: str, **kwargs: Any) -> httpx.Response: ...

class AsyncVORAClient:
    """Asynchronous client of the VORA service."""

    api_key: str
    base_url: str
    timeout: float
    max_retries: int
    _client: httpx.AsyncClient
    def __init__(
        self,
        api_key: Optional[str] = None,
        base_url: str = ...,
        timeout: float = 300.0,
        max_retries: int = 3,
    ) -> None: ...
    async def submit(self, qasm: str, shots: int = 1024) -> CircuitJob: ...
    async def get_status(self, job_id: str) -> JobResult: ...
    async def _request_with_retries(self, method: str, url: str, **kwargs: Any) -> httpx.Response: ...
    async def _sleep(self, seconds: float) -> None: ...
