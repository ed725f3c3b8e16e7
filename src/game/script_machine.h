// The game's script machine, as the plug-in's native calls and native
// functions meet it.
#pragma once

#include "game/engine_binding.h"
#include "game/fields.h"
#include "game/layout.h"

namespace NimbrelVR::game {

// The script machine's registry, read afresh for every native call; null
// while the machine does not exist. Unchecked: the plug-in reads it through
// CheckedScriptRegistry (game/checked_reads.h).
inline void* ScriptRegistry() {
  void* machine = ReadHolder(Engine().ScriptVmHolder);
  return machine ? LoadField<void*>(machine, Engine().scriptMachineRegistry) : nullptr;
}

// Hands a native function object to the registry (the one the host passes
// to the registration callback); the registry owns it from then on.
inline void RegisterNativeFunction(void* registry, void* function) {
  using Register = void (*)(void* registry, void* function);
  VirtualSlot<Register>(registry, layout::script_registry_vtable::kRegisterFunction)(registry, function);
}

}  // namespace NimbrelVR::game
