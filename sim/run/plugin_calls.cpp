#include "run/plugin_calls.h"

namespace nimbrel_sim::plugin_calls {

namespace {

// A volatile read keeps the compiler from assuming anything about the table.
template <typename Fn>
Fn slot(void* object, int index) {
  void* const* table = *static_cast<void* const* volatile*>(object);
  void* volatile entry = table[index];
  return reinterpret_cast<Fn>(entry);
}

template <typename Fn>
Fn pointer(void* fn) {
  void* volatile raw = fn;
  return reinterpret_cast<Fn>(raw);
}

}  // namespace

bool query(void* fn, const void* host, void* description) {
  return pointer<bool (*)(const void*, void*)>(fn)(host, description);
}

bool load(void* fn, const void* host) { return pointer<bool (*)(const void*)>(fn)(host); }

void listener(void* fn, void* message) { pointer<void (*)(void*)>(fn)(message); }

bool registerFunctions(void* fn, void* registry) { return pointer<bool (*)(void*)>(fn)(registry); }

uint32_t receiveEvent(void* sink, const void* event, void* source) {
  return slot<uint32_t (*)(void*, const void*, void*)>(sink, 1)(sink, event, source);
}

void taskExecute(void* task) { slot<void (*)(void*)>(task, 0)(task); }

void taskRelease(void* task) { slot<void (*)(void*)>(task, 1)(task); }

}  // namespace nimbrel_sim::plugin_calls
