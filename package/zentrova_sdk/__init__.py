"""Python client SDK of the VORA quantum-circuit service.

The modules are C++ extension modules; this initialiser only gathers their
public names. It imports them when a name is first asked for, so that
``import zentrova_sdk.models`` costs neither httpx nor typer. Type checkers
read the names from ``__init__.pyi``.
"""

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

_HOME = {"AsyncVORAClient": "client", "VORAClient": "client"}


def __getattr__(name: str) -> object:
    if name not in __all__:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import import_module

    value = getattr(import_module(f"{__name__}.{_HOME.get(name, 'models')}"), name)
    globals()[name] = value  # found directly from now on
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
