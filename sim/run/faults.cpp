#include "run/faults.h"

namespace nimbrel_sim {

const std::vector<std::string>& faultEntries() {
  static const std::vector<std::string> kEntries = {
      "FormFromId",         "EngineDynamicCast",  "SpellCastNative",      "RefMoveToNative",
      "CellAttachedNative", "ImodApplyNative",    "ImodRemoveNative",     "ScriptEventSourcesGet",
      "EventSourceAddSink", "EngineHeapAllocate", "InternedStringCreate", "InternedStringAssign",
      "RegisterFunction",   "SkyGetSingleton",
  };
  return kEntries;
}

void Faults::plan(const std::vector<Fault>& faults) {
  std::lock_guard lock(mutex_);
  rules_.clear();
  refusedBy_.clear();
  for (const Fault& f : faults) rules_[f.entry].push_back({f, 0});
  any_.store(!rules_.empty());
}

bool Faults::refuse(const char* entry) {
  if (!any_.load(std::memory_order_relaxed)) return false;
  std::lock_guard lock(mutex_);
  auto it = rules_.find(entry);
  if (it == rules_.end()) return false;
  bool fail = false;
  for (Rule& rule : it->second) {
    ++rule.calls;
    if (rule.fault.nthCall != 0 && rule.calls == rule.fault.nthCall) fail = true;
    if (rule.fault.everyCallFrom != 0 && rule.calls >= rule.fault.everyCallFrom) fail = true;
    if (rule.fault.probability > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < rule.fault.probability)
      fail = true;
  }
  if (fail) {
    refused_.fetch_add(1);
    ++refusedBy_[it->first];
  }
  return fail;
}

}  // namespace nimbrel_sim

namespace nimbrel_sim {

std::map<std::string, uint64_t> Faults::refusedByEntry() const {
  std::lock_guard lock(mutex_);
  return refusedBy_;
}

}  // namespace nimbrel_sim
