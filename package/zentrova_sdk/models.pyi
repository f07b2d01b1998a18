from __future__ import annotations

from dataclasses import dataclass as dataclass
from enum import Enum as Enum
from typing import Any as Any, Dict as Dict, Optional as Optional

class JobStatus(str, Enum):
    PENDING = "pending"
    QUEUED = "queued"
    PROCESSING = "processing"
    COMPLETED = "completed"
    FAILED = "failed"

class VORAError(RuntimeError): ...
class AuthenticationError(VORAError): ...
class RateLimitError(VORAError): ...
class ValidationError(VORAError): ...
class JobNotFoundError(VORAError): ...
class TimeoutError(VORAError): ...

@dataclass
class CircuitJob:
    job_id: str
    status: JobStatus | str = ...

@dataclass
class ProviderInfo:
    """Information about a quantum provider."""

    id: str
    name: str
    type: str = "simulator"
    num_qubits: int = 0
    available: bool = True
    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> ProviderInfo: ...

@dataclass
class BackendInfo:
    """Information about a quantum backend."""

    backend_name: str
    num_qubits: int
    backend_type: str = "simulator"
    available: bool = True
    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> BackendInfo: ...

@dataclass
class SupplierInfo:
    """Information about a quantum supplier."""

    id: str
    name: str
    enabled: bool = True
    num_providers: int = 0
    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> SupplierInfo: ...

@dataclass
class JobResult:
    job_id: str
    status: JobStatus
    counts: Optional[Dict[str, int]] = None
    num_qubits: Optional[int] = None
    shots: Optional[int] = None
    backend: Optional[str] = None
    error: Optional[str] = None
    raw: Optional[Dict[str, Any]] = None
    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> JobResult: ...
    @property
    def is_complete(self) -> bool: ...
    @property
    def is_successful(self) -> bool: ...
    def get_probabilities(self) -> Dict[str, float]: ...
