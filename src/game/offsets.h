// Offsets from the game's image base, one column per edition. These are the
// only place in the plug-in where engine addresses are written down.
#pragma once

#include <cstdint>

namespace NimbrelVR::game {

struct EditionOffsets {
  // Functions.
  uintptr_t FormFromId;
  uintptr_t EngineDynamicCast;
  uintptr_t SpellCastNative;
  uintptr_t RefMoveToNative;
  uintptr_t CellAttachedNative;
  uintptr_t ImodApplyNative;
  uintptr_t ImodRemoveNative;
  uintptr_t ScriptEventSourcesGet;
  uintptr_t EventSourceAddSink;
  uintptr_t EngineHeapAllocate;
  uintptr_t EngineHeapFree;
  uintptr_t InternedStringCreate;
  uintptr_t InternedStringAssign;
  uintptr_t NativeFunctionBaseInit;
  uintptr_t NativeFunctionBaseRelease;
  uintptr_t StackFrameArgOffset;
  uintptr_t StackFrameArgValue;
  uintptr_t ScriptValueClear;
  // The engine's own implementations of four IFunction operations, in the
  // order of the slots that forward to them.
  uintptr_t FunctionBaseImpl[4];
  // Holders and objects.
  uintptr_t SkyHolder;
  uintptr_t PlayerRefHolder;
  uintptr_t ScriptVmHolder;
  uintptr_t DataRegistryHolder;
  uintptr_t MenuManagerHolder;
  uintptr_t EngineHeap;
  // Type descriptors.
  uintptr_t RttiForm;
  uintptr_t RttiSpell;
  uintptr_t RttiEffectArt;
  uintptr_t RttiImageSpaceModifier;
  uintptr_t RttiFormList;
  uintptr_t RttiGlobalVariable;
  uintptr_t RttiObjectReference;
  uintptr_t RttiPlayer;
  // Code.
  uintptr_t JumpPatchSite;
  uintptr_t JumpPatchTarget;
};

// Skyrim Special Edition, runtime 1.5.39. Beside each entry its Address
// Library id, the same in every 1.5.x runtime.
inline constexpr EditionOffsets kSpecialEditionOffsets{
    .FormFromId = 0x1943b0,                  // id 14461
    .EngineDynamicCast = 0x1363522,          // id 102238
    .SpellCastNative = 0x980de0,             // id 55149
    .RefMoveToNative = 0x994cf0,             // id 55668
    .CellAttachedNative = 0x98f3c0,          // id 55527
    .ImodApplyNative = 0x988fa0,             // id 55366
    .ImodRemoveNative = 0x989010,            // id 55369
    .ScriptEventSourcesGet = 0x186910,       // id 14108
    .EventSourceAddSink = 0x56bab0,          // id 34381
    .EngineHeapAllocate = 0xc02770,          // id 66859
    .EngineHeapFree = 0xc02a70,              // id 66861
    .InternedStringCreate = 0xc28c50,        // id 67819
    .InternedStringAssign = 0xc28dc0,        // id 67823
    .NativeFunctionBaseInit = 0x12683e0,     // id 97925
    .NativeFunctionBaseRelease = 0x1268630,  // id 97927
    .StackFrameArgOffset = 0x125c0d0,        // id 97745
    .StackFrameArgValue = 0x125c130,         // id 97746
    .ScriptValueClear = 0x124e470,           // id 97508
    // ids 97909, 97923, 97918 and 97920: operation 19 forwards to id 97920 in
    // every runtime (1.5.97 0x1250770, VR 0x129dd10; always operation 17's
    // function + 0x20).
    .FunctionBaseImpl = {0x1267dd0, 0x1267f50, 0x1267eb0, 0x1267ed0},  // [3] id 97920; 0x12689a0 is id 97933
    .SkyHolder = 0x2f283d8,                                            // id 515512
    .PlayerRefHolder = 0x2f4def8,                                      // id 517014
    .ScriptVmHolder = 0x1eeab78,                                       // id 514315
    .DataRegistryHolder = 0x1ee5428,                                   // id 514141
    .MenuManagerHolder = 0x1ee5b20,                                    // id 514178
    .EngineHeap = 0x1ee4280,                                           // id 514110
    .RttiForm = 0x1e36e80,                                             // id 513848
    .RttiSpell = 0x1e36ea0,                                            // id 513849
    .RttiEffectArt = 0x1e37240,                                        // id 513868
    .RttiImageSpaceModifier = 0x1e37670,                               // id 513871
    .RttiFormList = 0x1e37818,                                         // id 513877
    .RttiGlobalVariable = 0x1e38090,                                   // id 513882
    .RttiObjectReference = 0x1e397e8,                                  // id 513899
    .RttiPlayer = 0x1e3ab28,                                           // id 513915
    .JumpPatchSite = 0x12734bd,                                        // inside id 98084, +0x38d
    .JumpPatchTarget = 0x12734ef,                                      // inside id 98084, +0x3bf
};

// Skyrim VR.
inline constexpr EditionOffsets kVrOffsets{
    .FormFromId = 0x1a3f60,
    .EngineDynamicCast = 0x138baba,
    .SpellCastNative = 0x9bb6b0,
    .RefMoveToNative = 0x9cf360,
    .CellAttachedNative = 0x9c9d60,
    .ImodApplyNative = 0x9c3c70,
    .ImodRemoveNative = 0x9c3ce0,
    .ScriptEventSourcesGet = 0x1964c0,
    .EventSourceAddSink = 0x571c00,
    .EngineHeapAllocate = 0xc3d0e0,
    .EngineHeapFree = 0xc3d3e0,
    .InternedStringCreate = 0xc6db20,
    .InternedStringAssign = 0xc6dc90,
    .NativeFunctionBaseInit = 0x129e220,
    .NativeFunctionBaseRelease = 0x129e470,
    .StackFrameArgOffset = 0x129a6c0,
    .StackFrameArgValue = 0x129a720,
    .ScriptValueClear = 0x126f1c0,
    .FunctionBaseImpl = {0x129dc10, 0x129dd90, 0x129dcf0, 0x129dd10},
    .SkyHolder = 0x2fc62c8,
    .PlayerRefHolder = 0x2feb9f0,
    .ScriptVmHolder = 0x1f889d8,
    .DataRegistryHolder = 0x1f82ad8,
    .MenuManagerHolder = 0x1f83200,
    .EngineHeap = 0x1f81900,
    .RttiForm = 0x1ed6d20,
    .RttiSpell = 0x1ed6d40,
    .RttiEffectArt = 0x1ed70e0,
    .RttiImageSpaceModifier = 0x1ed7510,
    .RttiFormList = 0x1ed76b8,
    .RttiGlobalVariable = 0x1ed7f30,
    .RttiObjectReference = 0x1ed96b8,
    .RttiPlayer = 0x1edaa58,
    .JumpPatchSite = 0x127b7ed,
    .JumpPatchTarget = 0x127b81f,
};

#if NIMBREL_EDITION_VR
inline constexpr const EditionOffsets& kOffsets = kVrOffsets;
#else
inline constexpr const EditionOffsets& kOffsets = kSpecialEditionOffsets;
#endif

static_assert(kSpecialEditionOffsets.JumpPatchTarget - kSpecialEditionOffsets.JumpPatchSite == 0x32);
static_assert(kVrOffsets.JumpPatchTarget - kVrOffsets.JumpPatchSite == 0x32);

}  // namespace NimbrelVR::game
