// The script machine's side of native calls: stacks and frames with their
// argument values, calls of registered function objects through their own
// tables, and the bookkeeping the engine's frame functions check against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/engine.h"
#include "nimbrel_sim/types.h"
#include "run/run.h"

namespace nimbrel_sim {

class ScriptMachine {
 public:
  // The number of operations in a native function's table.
  static constexpr int kFunctionSlots = 23;
  static constexpr int kCallSlot = 23;

  ScriptMachine(Run& run, Engine& engine);
  ScriptMachine(const ScriptMachine&) = delete;
  ScriptMachine& operator=(const ScriptMachine&) = delete;

  // The operations run as the engine calls them: the engine's own parameter
  // list, every argument position it does not pass holding the address of a
  // guard word, out parameters pointing at fresh words. A write through a
  // guard fails the run.
  static constexpr int kMaxArguments = 5;  // after the object itself

  bool callNative(const std::string& className, const std::string& function, const std::vector<ScriptArg>& args,
                  uint64_t* resultType);
  // `argument` is the engine's first input of the operation; its out words
  // (at most two) go to `outs`.
  uint64_t callFunctionSlot(const std::string& function, int slot, uint64_t argument, uint64_t* outs);
  void* registeredFunction(const std::string& function) const;
  // At registration the machine reads the function's description through its
  // operations, as it does when it binds a native to a script.
  void bind(void* function);
  // The engine's own Call (operation 16): runs the dispatch operation on the
  // frame at the top of the stack.
  uint32_t dispatchCall(void* function, const void* stackRef);
  // The machine shuts down with the game: every registered function is
  // destroyed through its destructor.
  void shutDown();

  // The engine's frame functions and value clear, checked against the
  // frames of calls in progress.
  uint32_t argOffset(void* stack, void* frame);
  ScriptValue* argValue(void* stack, void* frame, uint32_t index, uint32_t offset);
  void noteCleared(const ScriptValue* value);
  // Whether the machine is running this function's destructor (slot 1), the
  // one time its memory may go back to the heap.
  bool destroying(const void* function) const;

 private:
  struct Call;
  void* find(const std::string* className, const std::string& function) const;
  uint64_t invoke(void* function, const std::string& name, int slot, const uint64_t (&in)[kMaxArguments],
                  uint64_t* outs);
  uint64_t destroy(void* function, const std::string& name, uint64_t flags);

  Run& run_;
  Engine& engine_;
  mutable std::mutex mutex_;
  std::unordered_map<uintptr_t, Call*> frames_;  // calls in progress, by frame address
  std::unordered_set<uintptr_t> destroying_;
  uint32_t nextStackId_ = 1;
  ScriptValue foreign_{};  // what a refused argument fetch points at
};

}  // namespace nimbrel_sim
