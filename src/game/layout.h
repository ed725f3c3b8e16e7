// Where the plug-in finds what it reads and writes inside engine objects:
// byte offsets from the start of each object, the same in both editions and
// every runtime unless a block says otherwise, one block per engine type. The
// plug-in reads only the fields listed; a type's size is given where the
// plug-in relies on it. Code outside src/game/ reaches these fields only
// through the accessors built on them.
#pragma once

#include <cstddef>

namespace NimbrelVR::game::layout {

// TESForm: the base of every form. Size not relied on.
namespace form {
inline constexpr ptrdiff_t kFormId = 0x14;  // u32
}  // namespace form

// TESWeather (a form). Size not relied on.
namespace weather {
inline constexpr ptrdiff_t kLightningFrequency = 0x66e;  // u8; lower strikes more often
inline constexpr ptrdiff_t kClassification = 0x66f;      // u8 class bits (pleasant, cloudy, rainy, snowy)
}  // namespace weather

// BGSListForm, a form list (a form). Size not relied on. Its forms are a
// BSTArray: count <= capacity, and no array while the capacity is 0.
namespace form_list {
inline constexpr ptrdiff_t kEntries = 0x20;   // pointer to an array of form pointers
inline constexpr ptrdiff_t kCapacity = 0x28;  // u32
inline constexpr ptrdiff_t kCount = 0x30;     // u32
}  // namespace form_list

// TESGlobal, a global variable of a data file (a form). Size not relied on.
namespace global_variable {
inline constexpr ptrdiff_t kValue = 0x34;  // f32
}  // namespace global_variable

// The effect-art form of the plug-in's data file, a BGSProjectile. Size not
// relied on.
namespace effect_art {
inline constexpr ptrdiff_t kModelComponent = 0x40;  // its TESModel base, with its own vtable (below)
inline constexpr ptrdiff_t kFadeDuration = 0xc4;    // f32, seconds: its projectile data (+0x80) + 0x44
}  // namespace effect_art

// The model component's vtable: byte offsets of two of its slots.
namespace model_component_vtable {
inline constexpr ptrdiff_t kGetModelPath = 0x20;  // (component) -> C string or null
inline constexpr ptrdiff_t kSetModelPath = 0x28;  // (component, C string); the engine copies it
}  // namespace model_component_vtable

// TESObjectREFR, a placed reference (the player, casters, targets). Size not
// relied on.
namespace reference {
inline constexpr ptrdiff_t kParentCell = 0x60;  // TESObjectCELL*, null while in no cell
inline constexpr ptrdiff_t kLoaded3D = 0x68;    // loaded 3D state, null without 3D
}  // namespace reference

// A reference's loaded 3D state. Size not relied on.
namespace loaded_3d {
inline constexpr ptrdiff_t kRootNode = 0x68;  // NiAVObject*
}  // namespace loaded_3d

// NiAVObject, a scene node. Size not relied on.
namespace scene_node {
inline constexpr ptrdiff_t kWorldX = 0xd4;  // f32, world units
inline constexpr ptrdiff_t kWorldY = 0xd8;  // f32
inline constexpr ptrdiff_t kWorldZ = 0xdc;  // f32
}  // namespace scene_node

// TESObjectCELL. Size not relied on. The worldspace pointer moved in runtime
// 1.6.629, when the extra-data list before it gained a vtable; the binding
// holds the one of the running runtime.
namespace cell {
inline constexpr ptrdiff_t kWorldspace = 0x120;             // TESWorldSpace*, null in an interior
inline constexpr ptrdiff_t kWorldspaceFrom1_6_629 = 0x128;  // the same from 1.6.629 on
}  // namespace cell

// Sky. Size not relied on.
namespace sky {
inline constexpr ptrdiff_t kCurrentWeather = 0x48;   // TESWeather*
inline constexpr ptrdiff_t kOutgoingWeather = 0x50;  // TESWeather*, the one being left
inline constexpr ptrdiff_t kGameHour = 0x1b0;        // f32, 0 to 24
inline constexpr ptrdiff_t kTransition = 0x1b8;      // f32; 1.0 and above: the change is complete
}  // namespace sky

// TESDataHandler, the data registry. Size not relied on.
namespace data_registry {
inline constexpr ptrdiff_t kWeathers = 0x520;        // pointer to an array of TESWeather*
inline constexpr ptrdiff_t kWeatherCount = 0x530;    // u32
inline constexpr ptrdiff_t kLoadedFileList = 0xd60;  // embedded head node of the loaded files' list
}  // namespace data_registry

// A node of the loaded files' list. Size 0x10.
namespace file_list_node {
inline constexpr ptrdiff_t kFile = 0x0;  // TESFile*
inline constexpr ptrdiff_t kNext = 0x8;  // next node, null at the end
}  // namespace file_list_node

// TESFile, a loaded data file's entry. Size not relied on.
namespace loaded_file {
inline constexpr ptrdiff_t kName = 0x58;         // char array
inline constexpr ptrdiff_t kModIndex = 0x478;    // u8
inline constexpr ptrdiff_t kLightIndex = 0x47a;  // u16; light indexes run up to 0xFFF
}  // namespace loaded_file

// The script virtual machine. Size not relied on. Runtime 1.7.99 added two
// event sinks before the registry's pointer (what lies at the old offset
// there is one of them); the binding holds the one of the running runtime.
namespace script_machine {
inline constexpr ptrdiff_t kRegistry = 0x200;            // the registry every native call takes
inline constexpr ptrdiff_t kRegistryFrom1_7_99 = 0x210;  // the same from 1.7.99 on
}  // namespace script_machine

// The script registry's vtable: byte offset of the slot that registers a
// native function.
namespace script_registry_vtable {
inline constexpr ptrdiff_t kRegisterFunction = 0xc0;  // (registry, function)
}  // namespace script_registry_vtable

// UI, the menu manager. Size not relied on.
namespace menu_manager {
inline constexpr ptrdiff_t kMenuOpenCloseSource = 0x8;  // embedded event source
}  // namespace menu_manager

// ScriptEventSourceHolder, a run of event sources; no vtable. Size not
// relied on.
namespace script_event_sources {
inline constexpr ptrdiff_t kHitSource = 0x5d8;  // embedded event source
}  // namespace script_event_sources

// BSTEventSource<E>, an event source; no vtable. Its sinks are a BSTArray of
// BSTEventSink<E> pointers: count <= capacity, no array while the capacity
// is 0. Size 0x58, not relied on.
namespace event_source {
inline constexpr ptrdiff_t kSinks = 0x0;         // pointer to an array of sink pointers
inline constexpr ptrdiff_t kSinkCapacity = 0x8;  // u32
inline constexpr ptrdiff_t kSinkCount = 0x10;    // u32
}  // namespace event_source

// MenuOpenCloseEvent. Size not relied on.
namespace menu_event {
inline constexpr ptrdiff_t kMenuName = 0x0;  // C string
inline constexpr ptrdiff_t kOpening = 0x8;   // u8, non-zero when the menu opens
}  // namespace menu_event

// TESHitEvent. Size not relied on.
namespace hit_event {
inline constexpr ptrdiff_t kTarget = 0x0;         // TESObjectREFR*
inline constexpr ptrdiff_t kSourceFormId = 0x10;  // u32
}  // namespace hit_event

// SKSEActionEvent (delivered by the host). Size not relied on.
namespace action_event {
inline constexpr ptrdiff_t kType = 0x0;   // u32
inline constexpr ptrdiff_t kActor = 0x8;  // Actor*
}  // namespace action_event

}  // namespace NimbrelVR::game::layout
