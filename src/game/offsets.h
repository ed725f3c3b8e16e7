// Offsets from the game's image base, one column per edition, and the Address
// Library ids of the Special Edition's entries. These are the only place in
// the plug-in where engine addresses are written down.
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
  uintptr_t SkyGetSingleton;  // the sky's accessor, void* (*)()
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
  // Type descriptors of the classes whose objects the plug-in checks before
  // it follows a pointer to one (game/checked_reads.h).
  uintptr_t RttiSky;
  uintptr_t RttiWeather;
  uintptr_t RttiPlayerCharacter;
  uintptr_t RttiCell;
  uintptr_t RttiWorldSpace;
  uintptr_t RttiNiAVObject;
  uintptr_t RttiSkyrimVM;
  uintptr_t RttiVirtualMachine;  // BSScript::Internal::VirtualMachine
  // Code.
  uintptr_t JumpPatchSite;
  uintptr_t JumpPatchTarget;
};

// Skyrim Special Edition: one row per entry with its offset in runtime 1.5.39
// (the built-in table) and its Address Library ids, through which every other
// runtime finds it: the SE id in the 1.5.x databases, the AE id in the 1.6.x
// ones. Ids are 0 where there is none. The ids come from the public
// databases and CommonLibSSE-NG's SE/AE pairs; "names only" marks a pair
// that rests on the database author's names alone.
struct SpecialEditionEntry {
  const char* name;
  uintptr_t& (*slot)(EditionOffsets&);
  uintptr_t offset1539;  // 0: not in the built-in table
  uint32_t seId;
  uint32_t aeId;
  uint8_t flags = 0;
};

// The AE id pairs with the SE id by the database author's names alone: no
// second source confirms it.
inline constexpr uint8_t kAeIdByNameOnly = 1;
// Not bound on 1.6.x: the sky is reached there through its accessor.
inline constexpr uint8_t kNotBoundOnAe = 2;
// Not bound on 1.5.x: the sky is reached there through its holder.
inline constexpr uint8_t kNotBoundOnSe = 4;

// clang-format off
#define NIMBREL_ENTRY(field) #field, [](EditionOffsets& o) -> uintptr_t& { return o.field; }
inline constexpr SpecialEditionEntry kSpecialEditionEntries[] = {
    // entry                                        1.5.39      SE id   AE id
    {NIMBREL_ENTRY(FormFromId),                     0x1943b0,   14461,  14617},
    {NIMBREL_ENTRY(EngineDynamicCast),              0x1363522,  102238, 109689},
    {NIMBREL_ENTRY(SpellCastNative),                0x980de0,   55149,  55747,  kAeIdByNameOnly},  // AE: names only
    {NIMBREL_ENTRY(RefMoveToNative),                0x994cf0,   55668,  56199,  kAeIdByNameOnly},  // AE: names only
    {NIMBREL_ENTRY(CellAttachedNative),             0x98f3c0,   55527,  56055,  kAeIdByNameOnly},  // AE: names only
    {NIMBREL_ENTRY(ImodApplyNative),                0x988fa0,   55366,  55936,  kAeIdByNameOnly},  // AE: names only
    {NIMBREL_ENTRY(ImodRemoveNative),               0x989010,   55369,  55939,  kAeIdByNameOnly},  // AE: names only
    {NIMBREL_ENTRY(ScriptEventSourcesGet),          0x186910,   14108,  14298},
    {NIMBREL_ENTRY(EventSourceAddSink),             0x56bab0,   34381,  35182},
    {NIMBREL_ENTRY(EngineHeapAllocate),             0xc02770,   66859,  68115},
    {NIMBREL_ENTRY(EngineHeapFree),                 0xc02a70,   66861,  68117},
    {NIMBREL_ENTRY(InternedStringCreate),           0xc28c50,   67819,  69161},
    {NIMBREL_ENTRY(InternedStringAssign),           0xc28dc0,   67823,  69165},
    {NIMBREL_ENTRY(NativeFunctionBaseInit),         0x12683e0,  97925,  104653},
    {NIMBREL_ENTRY(NativeFunctionBaseRelease),      0x1268630,  97927,  104655},
    {NIMBREL_ENTRY(StackFrameArgOffset),            0x125c0d0,  97745,  104483},
    {NIMBREL_ENTRY(StackFrameArgValue),             0x125c130,  97746,  104484},
    {NIMBREL_ENTRY(ScriptValueClear),               0x124e470,  97508,  104296},
    // Operation 19 forwards to id 97920 in every runtime (1.5.97 0x1250770,
    // VR 0x129dd10; always operation 17's function + 0x20); 0x12689a0 is id
    // 97933, another function.
    {NIMBREL_ENTRY(FunctionBaseImpl[0]),            0x1267dd0,  97909,  104637},
    {NIMBREL_ENTRY(FunctionBaseImpl[1]),            0x1267f50,  97923,  104651},
    {NIMBREL_ENTRY(FunctionBaseImpl[2]),            0x1267eb0,  97918,  104646},
    {NIMBREL_ENTRY(FunctionBaseImpl[3]),            0x1267ed0,  97920,  104648},
    // The sky's holder is named on AE by names only; the engine's accessor
    // Sky::GetSingleton() pairs on both sides and returns the holder's value.
    {NIMBREL_ENTRY(SkyHolder),                      0x2f283d8,  515512, 401651, kAeIdByNameOnly | kNotBoundOnAe},
    {NIMBREL_ENTRY(SkyGetSingleton),                0,          13789,  13878,  kNotBoundOnSe},
    {NIMBREL_ENTRY(PlayerRefHolder),                0x2f4def8,  517014, 403521},
    {NIMBREL_ENTRY(ScriptVmHolder),                 0x1eeab78,  514315, 400475},
    {NIMBREL_ENTRY(DataRegistryHolder),             0x1ee5428,  514141, 400269},
    {NIMBREL_ENTRY(MenuManagerHolder),              0x1ee5b20,  514178, 400327},
    {NIMBREL_ENTRY(EngineHeap),                     0x1ee4280,  514110, 400188},
    {NIMBREL_ENTRY(RttiForm),                       0x1e36e80,  513848, 392216},
    {NIMBREL_ENTRY(RttiSpell),                      0x1e36ea0,  513849, 392217},
    {NIMBREL_ENTRY(RttiEffectArt),                  0x1e37240,  513868, 392239},
    {NIMBREL_ENTRY(RttiImageSpaceModifier),         0x1e37670,  513871, 392256},
    {NIMBREL_ENTRY(RttiFormList),                   0x1e37818,  513877, 392264},
    {NIMBREL_ENTRY(RttiGlobalVariable),             0x1e38090,  513882, 392299},
    {NIMBREL_ENTRY(RttiObjectReference),            0x1e397e8,  513899, 392437},
    {NIMBREL_ENTRY(RttiPlayer),                     0x1e3ab28,  513915, 392538},
    {NIMBREL_ENTRY(RttiSky),                        0x1e47670,  685534, 393319},
    {NIMBREL_ENTRY(RttiWeather),                    0x1e3ff68,  513983, 392883},
    {NIMBREL_ENTRY(RttiPlayerCharacter),            0x1e66228,  686898, 394747},
    {NIMBREL_ENTRY(RttiCell),                       0x1e396d0,  513892, 392430},
    {NIMBREL_ENTRY(RttiWorldSpace),                 0x1e396a8,  513891, 392429},
    {NIMBREL_ENTRY(RttiNiAVObject),                 0x1e3a6e0,  684827, 392520},
    {NIMBREL_ENTRY(RttiSkyrimVM),                   0x1eab010,  689129, 396984},
    {NIMBREL_ENTRY(RttiVirtualMachine),             0x1edfce8,  691844, 399888},
    // Inside the function with id 98084, +0x38d and +0x3bf: no id of their
    // own, known in 1.5.39 only (docs/CODE-PATCH.md).
    {NIMBREL_ENTRY(JumpPatchSite),                  0x12734bd,  0,      0},
    {NIMBREL_ENTRY(JumpPatchTarget),                0x12734ef,  0,      0},
};
// clang-format on
#undef NIMBREL_ENTRY

// Every field has its row.
static_assert(sizeof kSpecialEditionEntries / sizeof kSpecialEditionEntries[0] ==
              sizeof(EditionOffsets) / sizeof(uintptr_t));

// The built-in table of runtime 1.5.39, from the rows.
inline constexpr EditionOffsets kSpecialEditionOffsets = [] {
  EditionOffsets offsets{};
  for (const SpecialEditionEntry& entry : kSpecialEditionEntries) entry.slot(offsets) = entry.offset1539;
  return offsets;
}();

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
    .SkyGetSingleton = 0,  // not known; the holder serves
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
    .RttiSky = 0x1ee7560,
    .RttiWeather = 0x1edfe58,
    .RttiPlayerCharacter = 0x1f07958,
    .RttiCell = 0x1ed95a0,
    .RttiWorldSpace = 0x1ed9578,
    .RttiNiAVObject = 0x1eda610,
    .RttiSkyrimVM = 0x1f4c540,
    .RttiVirtualMachine = 0x1f7cd28,
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
