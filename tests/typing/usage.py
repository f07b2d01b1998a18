# Checked by mypy against the stubs: how callers use the SDK.
import asyncio

from zentrova_sdk import AsyncVORAClient, JobResult, JobStatus, ProviderInfo, VORAClient, VORAError


def run(qasm: str) -> dict[str, float]:
    client = VORAClient(api_key="key", timeout=10.0)
    result: JobResult = client.execute(qasm, shots=100)
    if result.is_successful and result.status == JobStatus.COMPLETED:
        return result.get_probabilities()
    providers: list[ProviderInfo] = client.list_providers("braket")
    return {p.name: float(p.num_qubits) for p in providers}


async def poll(qasm: str) -> int:
    client = AsyncVORAClient(base_url="http://127.0.0.1:1")
    job = await client.submit(qasm)
    status = await client.get_status(job.job_id)
    try:
        return status.shots or 0
    except VORAError:
        return 0


asyncio.run(poll("OPENQASM 2.0;"))
