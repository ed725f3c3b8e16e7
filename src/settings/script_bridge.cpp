#include "settings/script_bridge.h"

#include <array>

#include "game/engine_binding.h"
#include "game/script_machine.h"
#include "log/debug_log.h"
#include "platform/process_wide.h"
#include "settings/conversions.h"
#include "settings/settings.h"

namespace NimbrelVR {
namespace {

constexpr const char* kScriptClass = "NimbrelPluginScript";

using Record = NativeFunctionRecord;
using IntSetter = void (*)(void* tag, const char* key, uint32_t value);
using FloatSetter = void (*)(void* tag, const char* key, float value);

void CallIntSetter(void*, const char* key, uint32_t value) { SetIntValue(key, value); }
void CallFloatSetter(void*, const char* key, float value) { SetFloatValue(key, value); }

// --- the operations of the function interface, in slot order -------------

void* Destroy(Record* self, unsigned flags) {
  const game::EngineBinding& engine = game::Engine();
  engine.NativeFunctionBaseRelease(self);
  if ((flags & 1) && !(flags & 4)) engine.EngineHeapFree(engine.EngineHeap, self, false);
  return self;
}
void* GetName(Record* self) { return &self->functionName; }
void* GetClassName(Record* self) { return &self->className; }
void* GetStateName(Record* self) { return &self->stateName; }
uint64_t* GetReturnType(Record* self, uint64_t* out) {
  *out = self->returnType;
  return out;
}
uint32_t GetParameterCount(Record* self) { return self->parameterCount; }
bool IsNative(Record*) { return true; }
bool IsStatic(Record* self) { return self->isStatic != 0; }
bool IsEmpty(Record*) { return false; }
uint32_t GetFunctionType(Record*) { return 0; }
uint32_t GetValue44(Record* self) { return self->value44; }
void* GetDocString(Record* self) { return &self->docString; }
void Nothing(Record*) {}
// The engine's TranslateIPToLineNumber(instructionOffset, lineOut): a native
// has no source lines.
bool NoLineNumber(Record*, uint32_t, uint32_t* lineOut) {
  *lineOut = 0;
  return false;
}
bool GetFlag41(Record* self) { return self->flag41 != 0; }
void SetFlag41(Record* self, uint8_t value) { self->flag41 = value; }
bool HasCallback(Record* self) { return self->callback != nullptr; }

// The call: arguments from the script's stack frame, converted, handed on.
template <typename Value>
bool Run(Record* self, void*, void* registry, uint32_t stackId, ScriptValue* result, void* frame) {
  try {
    const game::EngineBinding& engine = game::Engine();
    void* stack = *static_cast<void**>(frame);
    const uint32_t offset = engine.StackFrameArgOffset(stack, frame);

    const char* keyHandle = nullptr;  // an interned-string handle is the text pointer
    engine.InternedStringCreate(&keyHandle, "");
    auto* key = static_cast<ScriptValue*>(engine.StackFrameArgValue(stack, frame, 0, offset));
    if (key && key->type == kScriptString) engine.InternedStringAssign(&keyHandle, key->payload.text);

    auto* argument = static_cast<ScriptValue*>(engine.StackFrameArgValue(stack, frame, 1, offset));
    Value value{};
    if constexpr (std::is_same_v<Value, float>) {
      value = ScriptArgumentToFloat(argument);
    } else {
      value = ScriptArgumentToInt(argument);
    }

    const char* keyText = keyHandle ? keyHandle : "";
    if (self->wantsContext) {
      using ContextSetter = void (*)(void*, uint32_t, void*, const char*, Value);
      reinterpret_cast<ContextSetter>(self->callback)(registry, stackId, nullptr, keyText, value);
    } else {
      using Setter = void (*)(void*, const char*, Value);
      reinterpret_cast<Setter>(self->callback)(nullptr, keyText, value);
    }

    if (result) {
      engine.ScriptValueClear(result);
      result->type = kScriptNone;
      result->payload.raw = 0;
    }
  } catch (...) {
  }
  return true;
}

template <typename Value>
struct FunctionTable {
  // Filled at registration: four slots forward straight to the engine's own
  // implementations, whose addresses exist only once the binding does.
  static inline constinit ProcessWide<std::array<const void*, kFunctionSlots>> slots;

  static const void* const* Build() {
    const game::EngineBinding& engine = game::Engine();
    const void* table[kFunctionSlots] = {
        reinterpret_cast<const void*>(&Destroy),
        reinterpret_cast<const void*>(&GetName),
        reinterpret_cast<const void*>(&GetClassName),
        reinterpret_cast<const void*>(&GetStateName),
        reinterpret_cast<const void*>(&GetReturnType),
        reinterpret_cast<const void*>(&GetParameterCount),
        reinterpret_cast<const void*>(engine.FunctionBaseImpl[0]),
        reinterpret_cast<const void*>(&GetParameterCount),
        reinterpret_cast<const void*>(&IsNative),
        reinterpret_cast<const void*>(&IsStatic),
        reinterpret_cast<const void*>(&IsEmpty),
        reinterpret_cast<const void*>(&GetFunctionType),
        reinterpret_cast<const void*>(&GetValue44),
        reinterpret_cast<const void*>(&GetDocString),
        reinterpret_cast<const void*>(&Nothing),
        reinterpret_cast<const void*>(engine.FunctionBaseImpl[1]),
        reinterpret_cast<const void*>(engine.FunctionBaseImpl[2]),
        reinterpret_cast<const void*>(&NoLineNumber),
        reinterpret_cast<const void*>(engine.FunctionBaseImpl[3]),
        reinterpret_cast<const void*>(&GetFlag41),
        reinterpret_cast<const void*>(&SetFlag41),
        reinterpret_cast<const void*>(&HasCallback),
        reinterpret_cast<const void*>(&Run<Value>),
    };
    for (int i = 0; i < kFunctionSlots; ++i) (*slots)[i] = table[i];
    return slots->data();
  }
};

void RegisterSetter(void* registry, const char* name, const void* const* vtable, void* callback, uint64_t valueType) {
  const game::EngineBinding& engine = game::Engine();
  auto* self = static_cast<Record*>(engine.EngineHeapAllocate(engine.EngineHeap, sizeof(Record), 0, false));
  if (!self) {
    PluginLog(0, "Out of engine memory: %s is not available to scripts.", name);
    return;
  }
  // A null handle is the empty string: the engine reads these even when the
  // string table refused to make one.
  for (void** handle : {&self->functionName, &self->className, &self->stateName, &self->docString}) {
    *handle = nullptr;
    engine.InternedStringCreate(handle, "");
  }
  engine.NativeFunctionBaseInit(self, name, kScriptClass, true, 2);

  self->vtable = vtable;
  self->callback = callback;
  self->wantsContext = 0;
  if (self->parameters) {
    self->parameters[0].type = kScriptString;
    self->parameters[1].type = valueType;
  }
  self->returnType = kScriptNone;

  game::RegisterNativeFunction(registry, self);
}

}  // namespace

uint32_t ScriptArgumentToInt(const ScriptValue* value) {
  if (!value) return 0;
  switch (value->type) {
    case kScriptInteger:
      return static_cast<uint32_t>(value->payload.integer);
    case kScriptFloat:
      return TruncateToLow32(value->payload.real);
    case kScriptBool:
      return value->payload.boolean != 0 ? 1 : 0;
    default:
      return 0;
  }
}

float ScriptArgumentToFloat(const ScriptValue* value) {
  if (!value) return 0.0f;
  switch (value->type) {
    case kScriptInteger:
      return static_cast<float>(value->payload.integer);
    case kScriptFloat:
      return value->payload.real;
    case kScriptBool:
      return value->payload.boolean != 0 ? 1.0f : 0.0f;
    default:
      return 0.0f;
  }
}

bool RegisterScriptFunctions(void* registry) {
  try {
    if (!registry) return true;
    RegisterSetter(registry, "SetIntValue", FunctionTable<uint32_t>::Build(), reinterpret_cast<void*>(&CallIntSetter),
                   kScriptInteger);
    RegisterSetter(registry, "SetFloatValue", FunctionTable<float>::Build(), reinterpret_cast<void*>(&CallFloatSetter),
                   kScriptFloat);
  } catch (...) {
  }
  return true;
}

}  // namespace NimbrelVR
