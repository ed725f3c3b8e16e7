// The script machine's entry to the settings: the native functions
// SetIntValue and SetFloatValue of "NimbrelPluginScript".
#pragma once

#include <cstddef>
#include <cstdint>

namespace NimbrelVR {

// A script value as the machine passes arguments and results.
struct ScriptValue {
  uint64_t type;  // 0 none, 2 string, 3 integer, 4 float, 5 bool
  union {
    const char* text;
    int32_t integer;
    float real;
    uint8_t boolean;
    uint64_t raw;
  } payload;
};
static_assert(sizeof(ScriptValue) == 16);

inline constexpr uint64_t kScriptNone = 0;
inline constexpr uint64_t kScriptString = 2;
inline constexpr uint64_t kScriptInteger = 3;
inline constexpr uint64_t kScriptFloat = 4;
inline constexpr uint64_t kScriptBool = 5;

// The object the machine calls: 96 bytes from the engine's heap, its vtable
// first. The engine's part is set up by the engine itself.
struct NativeFunctionRecord {
  const void* const* vtable;
  uint64_t engine08;  // not touched
  void* functionName;
  void* className;
  void* stateName;
  uint64_t returnType;
  struct Parameter {
    uint64_t engine;
    uint64_t type;
  } * parameters;
  uint16_t engine38;  // not touched
  uint16_t parameterCount;
  uint32_t engine3c;  // not touched
  uint8_t isStatic;
  uint8_t flag41;
  uint16_t engine42;  // not touched
  uint32_t value44;
  void* docString;
  void* callback;
  uint8_t wantsContext;
  uint8_t padding[7];
};
static_assert(sizeof(NativeFunctionRecord) == 96);
static_assert(offsetof(NativeFunctionRecord, functionName) == 16);
static_assert(offsetof(NativeFunctionRecord, className) == 24);
static_assert(offsetof(NativeFunctionRecord, stateName) == 32);
static_assert(offsetof(NativeFunctionRecord, returnType) == 40);
static_assert(offsetof(NativeFunctionRecord, parameters) == 48);
static_assert(offsetof(NativeFunctionRecord, parameterCount) == 58);
static_assert(offsetof(NativeFunctionRecord, isStatic) == 64);
static_assert(offsetof(NativeFunctionRecord, flag41) == 65);
static_assert(offsetof(NativeFunctionRecord, value44) == 68);
static_assert(offsetof(NativeFunctionRecord, docString) == 72);
static_assert(offsetof(NativeFunctionRecord, callback) == 80);
static_assert(offsetof(NativeFunctionRecord, wantsContext) == 88);

// The slot count of the machine's function interface.
inline constexpr int kFunctionSlots = 23;

// Handed to the host's script interface; the host calls it with the game's
// script registry once the script machine exists. Registers both setters.
bool RegisterScriptFunctions(void* registry);

// The argument conversions of the call operation.
uint32_t ScriptArgumentToInt(const ScriptValue* value);
float ScriptArgumentToFloat(const ScriptValue* value);

}  // namespace NimbrelVR
