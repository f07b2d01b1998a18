// What the functions of zentrova_sdk.models share: the module state.
#pragma once

#include <iterator>

#include "module.hpp"

namespace models {

using namespace zcore;

// Names and keys used by the module's functions, interned once.
#define MODELS_NAMES(X)                                                                                     \
  X(get) X(lower) X(values) X(items) X(status) X(result) X(counts) X(job_id) X(num_qubits) X(shots) X(backend) \
  X(error) X(raw) X(id) X(name) X(type) X(available) X(backend_name) X(backend_type) X(enabled)               \
  X(num_providers) X(JobStatus) X(PENDING) X(COMPLETED) X(FAILED) X(dict) X(sum)

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

struct State : ModuleStateBase {
  NameTable<Name, std::size(kNameTexts)> names;
  Ref empty_text;  // ""
  Ref simulator;   // "simulator"
  Ref pending;     // "pending"
  Ref zero;        // 0
  // Keyword names of the calls that build records, in field order.
  Ref provider_fields;
  Ref backend_fields;
  Ref supplier_fields;
  Ref job_result_fields;

  Handle operator[](Name n) const noexcept { return names[n]; }

  template <class F>
  void for_each_ref(F&& f) {
    types.for_each_ref(f);
    names.for_each_ref(f);
    for (Ref* r : {&empty_text, &simulator, &pending, &zero, &provider_fields, &backend_fields, &supplier_fields,
                   &job_result_fields})
      f(*r);
  }
};

// Define the classes in the module, in the module's order.
void add_records(Handle module, State& state, Handle dataclass);  // CircuitJob, then the catalogue
void add_job_result(Handle module, State& state, Handle dataclass);

}  // namespace models
