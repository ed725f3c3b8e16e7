// Every call from the double into the plug-in's code: exports, callbacks and
// virtual slots. The slots are read raw from the object's table, as the
// engine and the host do, so the plug-in's layout is what gets tested.
#pragma once

#include <cstdint>

namespace nimbrel_sim::plugin_calls {

// Entry points and callbacks handed over as plain function pointers.
bool query(void* fn, const void* host, void* description);
bool load(void* fn, const void* host);
void listener(void* fn, void* message);
bool registerFunctions(void* fn, void* registry);

// Virtual operations, by slot index of the object's table.
uint32_t receiveEvent(void* sink, const void* event, void* source);  // slot 1
void taskExecute(void* task);                                        // slot 0
void taskRelease(void* task);                                        // slot 1

}  // namespace nimbrel_sim::plugin_calls
