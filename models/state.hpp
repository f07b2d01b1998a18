// What the functions of zentrova_sdk.models share: the module state.
#pragma once

#include <iterator>

#include "module.hpp"

namespace models {

using namespace zcore;

// Names and keys used by the module's functions, interned once.
// clang-format off
#define MODELS_NAMES(X)                                                                                 \
  X(get) X(lower) X(values) X(items) X(status) X(result) X(counts) X(job_id) X(num_qubits) X(shots)     \
  X(backend) X(error) X(raw) X(id) X(name) X(type) X(available) X(backend_name) X(backend_type)         \
  X(enabled) X(num_providers) X(JobStatus) X(PENDING) X(COMPLETED) X(FAILED) X(dict) X(sum)             \
  X(isinstance) X(__new__) X(_missing_) X(_value2member_map_)
// clang-format on

enum class Name {
#define MODELS_ENUM(n) n,
  MODELS_NAMES(MODELS_ENUM)
#undef MODELS_ENUM
};

inline constexpr const char* kNameTexts[] = {
#define MODELS_TEXT(n) #n,
    MODELS_NAMES(MODELS_TEXT)
#undef MODELS_TEXT
};

// The JobStatus class as the module made it, and what its lookup by value
// goes through, to recognise it unchanged at call time.
struct StatusClass {
  Ref cls;
  Ref value_to_member;  // its _value2member_map_
  Ref new_method;       // what JobStatus.__new__ resolves to (Enum.__new__)
  Ref missing;          // what JobStatus._missing_ resolves to (Enum._missing_)
  ternaryfunc metaclass_call = nullptr;
  Ref pending;  // the member PENDING

  template <class F>
  void for_each_ref(F&& f) {
    for (Ref* r : {&cls, &value_to_member, &new_method, &missing, &pending}) f(*r);
  }
};

struct State : ModuleStateBase {
  NameTable<Name, std::size(kNameTexts)> names;
  Ref empty_text;  // ""
  Ref simulator;   // "simulator"
  Ref pending;     // "pending"
  Ref zero, one;
  RecordClass provider, backend, supplier, job_result;
  StatusClass job_status;
  Ref builtin_isinstance, builtin_sum;

  Handle operator[](Name n) const noexcept { return names[n]; }

  template <class F>
  void for_each_ref(F&& f) {
    types.for_each_ref(f);
    names.for_each_ref(f);
    for (RecordClass* record : {&provider, &backend, &supplier, &job_result}) record->for_each_ref(f);
    job_status.for_each_ref(f);
    for (Ref* r : {&empty_text, &simulator, &pending, &zero, &one, &builtin_isinstance, &builtin_sum}) f(*r);
  }
};

// `mapping.get(key, fallback)`, as the module's functions read documents.
inline Ref get(const State& st, Handle mapping, Handle key, Handle fallback = {}) {
  return mapping_get(mapping, st[Name::get], key, fallback);
}

// Define the classes in the module, in the module's order.
Status add_records(Handle module, State& state, Handle dataclass);  // CircuitJob, then the catalogue
Status add_job_result(Handle module, State& state, Handle dataclass);

}  // namespace models
