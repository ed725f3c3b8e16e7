// Calls into the engine's code as the double's trace names them: the
// function entries and the vtable slots of the engine's objects.
#pragma once

#include <set>
#include <string>

namespace testsupport {

inline const std::set<std::string> kEngineCallNames = {
    "FormFromId",           "EngineDynamicCast",      "SpellCastNative",
    "RefMoveToNative",      "CellAttachedNative",     "ImodApplyNative",
    "ImodRemoveNative",     "ScriptEventSourcesGet",  "EventSourceAddSink",
    "EngineHeapAllocate",   "EngineHeapFree",         "InternedStringCreate",
    "InternedStringAssign", "NativeFunctionBaseInit", "NativeFunctionBaseRelease",
    "StackFrameArgOffset",  "StackFrameArgValue",     "ScriptValueClear",
    "IFunctionBase7",       "IFunctionBase16",        "IFunctionBase17",
    "IFunctionBase19",      "SkyGetSingleton",        "RegisterFunction",
    "ScriptRegistrySlot",   "ScriptVmOtherSlot",      "ModelPathGet",
    "ModelPathSet",         "ModelComponentSlot",
};

// The entry a trace line names (its "fn" field), or "" where it names none.
inline std::string TraceFn(const std::string& traceLine) {
  const size_t at = traceLine.find("\"fn\":\"");
  if (at == std::string::npos) return "";
  return traceLine.substr(at + 6, traceLine.find('"', at + 6) - at - 6);
}

}  // namespace testsupport
