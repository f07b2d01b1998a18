"""Python client SDK of the VORA quantum-circuit service."""

from zentrova_sdk.client import AsyncVORAClient as AsyncVORAClient
from zentrova_sdk.client import VORAClient as VORAClient
from zentrova_sdk.models import AuthenticationError as AuthenticationError
from zentrova_sdk.models import BackendInfo as BackendInfo
from zentrova_sdk.models import CircuitJob as CircuitJob
from zentrova_sdk.models import JobNotFoundError as JobNotFoundError
from zentrova_sdk.models import JobResult as JobResult
from zentrova_sdk.models import JobStatus as JobStatus
from zentrova_sdk.models import ProviderInfo as ProviderInfo
from zentrova_sdk.models import RateLimitError as RateLimitError
from zentrova_sdk.models import SupplierInfo as SupplierInfo
from zentrova_sdk.models import TimeoutError as TimeoutError
from zentrova_sdk.models import ValidationError as ValidationError
from zentrova_sdk.models import VORAError as VORAError

__version__: str
__all__: list[str]
