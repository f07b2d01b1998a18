"""The records against their twin: from_dict of every record on arbitrary
documents and mappings, the properties and get_probabilities on arbitrary
field values, with the module's globals replaced or not."""

from __future__ import annotations

import builtins

from hypothesis import given
from hypothesis import strategies as st

import strategies as s
from harness import Proxy, compare, observe, patched

RECORDS = ["ProviderInfo", "BackendInfo", "SupplierInfo", "JobResult"]
# Module globals a from_dict or property reads at the moment of use.
PATCHES = st.sampled_from([None, "JobStatus", "dict", "sum", "isinstance"])


def record_class(run, name, subclass):
    cls = getattr(run.impl.models, name)
    return type("Sub", (cls,), {}) if subclass else cls


def patches(run, which):
    """The replacement of one module global by a logging stand-in."""
    if which is None:
        return {}
    if which == "JobStatus":
        return {"JobStatus": Proxy(run, "JobStatus", run.impl.models.JobStatus)}
    if which == "dict":  # a different class for the type test of the result block
        return {"dict": type("OtherDict", (dict,), {})}
    real = getattr(builtins, which)

    def logged(*args):
        run.note(which, args)
        return real(*args)

    return {which: logged}


@given(name=st.sampled_from(RECORDS), subclass=st.booleans(), patch=PATCHES,
       data=s.job_documents() | s.CATALOGUE_DOCUMENTS)
def test_from_dict(name, subclass, patch, data):
    def scenario(run, recipe):
        cls = record_class(run, name, subclass)
        document = run.build(data)
        with patched(run.impl.models, **patches(run, patch)):
            return observe(run, cls.from_dict, document)

    compare("from_dict", (name, subclass, patch, data), scenario)


@given(status=s.STATUS_VALUES | st.sampled_from([("model", "JobStatus")]).map(lambda m: m),
       member=st.sampled_from([None, "PENDING", "COMPLETED", "FAILED"]),
       counts=s.COUNTS, error=s.VALUES, patch=PATCHES, subclass=st.booleans(),
       use=st.sampled_from(["is_complete", "is_successful", "get_probabilities"]))
def test_properties_and_probabilities(status, member, counts, error, patch, subclass, use):
    def scenario(run, recipe):
        cls = record_class(run, "JobResult", subclass)
        value = getattr(run.impl.models.JobStatus, member) if member else run.build(status)
        record = cls(job_id="j", status=value, counts=run.build(counts), error=run.build(error))
        with patched(run.impl.models, **patches(run, patch)):
            first = observe(run, getattr, record, use) if use != "get_probabilities" else \
                observe(run, record.get_probabilities)
            return first, observe(run, setattr, record, "is_complete", True)

    compare("properties", (status, member, counts, error, patch, subclass, use), scenario)
