// Injected faults: an engine entry that refuses (answers null or false, or
// does nothing) at its n-th call or with a given probability, so that tests
// can see the plug-in go on with what still works.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "nimbrel_sim/types.h"

namespace nimbrel_sim {

// The engine entries a fault may name (the names of the trace).
const std::vector<std::string>& faultEntries();

class Faults {
 public:
  void plan(const std::vector<Fault>& faults);
  // Counts one call of `entry`; true when this call is to fail.
  bool refuse(const char* entry);
  uint64_t refused() const { return refused_.load(); }
  // Calls refused so far, by entry.
  std::map<std::string, uint64_t> refusedByEntry() const;

 private:
  struct Rule {
    Fault fault;
    uint64_t calls = 0;
  };
  std::atomic<bool> any_{false};
  std::atomic<uint64_t> refused_{0};
  mutable std::mutex mutex_;
  std::map<std::string, uint64_t> refusedBy_;
  std::map<std::string, std::vector<Rule>> rules_;
  std::mt19937 random_{0x5EED};  // the same faults for the same run
};

}  // namespace nimbrel_sim
