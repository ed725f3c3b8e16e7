// Strike placement and the effects loop's wait and launch under fuzzed
// settings (grid bounds in any order, NaN and infinite heights, curves,
// distances and rates), fuzzed shared state and caster/target lists with
// null entries and odd lengths.
#include <cmath>
#include <vector>

#include "events/combat_pause.h"
#include "game/plugin_forms.h"
#include "lightning/effects_loop.h"
#include "lightning/lightning_state.h"
#include "lightning/random.h"
#include "lightning/strike_positions.h"
#include "log/debug_log.h"
#include "settings/settings.h"
#include "support/fuzz_support.h"

using namespace NimbrelVR;

namespace {

constexpr IntSetting kIntSettings[] = {
    IntSetting::SheetDistanceMin,    IntSetting::SheetDistanceMax,    IntSetting::ForkDistanceMin,
    IntSetting::ForkDistanceMax,     IntSetting::MinFlashAmount,      IntSetting::SheetFlashAmount,
    IntSetting::ForkFlashAmount,     IntSetting::EnableSheetFlash,    IntSetting::EnableForkFlash,
    IntSetting::MinChainChildAmount, IntSetting::MaxChainChildAmount, IntSetting::EnableLog};
constexpr FloatSetting kFloatSettings[] = {FloatSetting::SheetFrequency, FloatSetting::ForkFrequency,
                                           FloatSetting::StrikeDistance, FloatSetting::SheetHeightMin,
                                           FloatSetting::SheetHeightMax, FloatSetting::FlashDropDistanceMin,
                                           FloatSetting::SkyCurve,       FloatSetting::ChainLightningPercentage};

// Stand-ins for references: the launcher only checks what it is handed.
alignas(8) char gReferences[8];

struct Launches {
  int singles = 0;
  int chains = 0;
} gLaunches;

void CheckIndex(const FormSequence* list, uint32_t index, const char* what) {
  FUZZ_CHECK(index < list->size(), "%s index %u of a list of %zu", what, index, list->size());
}

void Single(LightningType type, const FormSequence* casters, const FormSequence* targets, uint32_t casterIndex,
            uint32_t targetIndex) {
  ++gLaunches.singles;
  FUZZ_CHECK(type == Sheet || type == Fork, "a strike of type %d", type);
  const FormSequence& ownCasters = type == Sheet ? gPluginForms->sheetCasters : gPluginForms->forkCasters;
  const FormSequence& ownTargets = type == Sheet ? gPluginForms->sheetTargets : gPluginForms->forkTargets;
  FUZZ_CHECK(casters == &ownCasters && targets == &ownTargets, "a strike got another type's lists");
  CheckIndex(casters, casterIndex, "caster");
  CheckIndex(targets, targetIndex, "target");
  // The strike relies on both entries being there.
  FUZZ_CHECK((*casters)[casterIndex] && (*targets)[targetIndex], "a strike on a null entry");
}

void Chain(std::vector<uint32_t> casterIndexes, std::vector<uint32_t> targetIndexes, int count) {
  ++gLaunches.chains;
  FUZZ_CHECK(count >= 2 && count <= kChainChildCountLimit, "a chain of %d", count);
  FUZZ_CHECK(casterIndexes.size() == static_cast<size_t>(count) && targetIndexes.size() == static_cast<size_t>(count),
             "a chain of %d with %zu casters and %zu targets", count, casterIndexes.size(), targetIndexes.size());
  for (uint32_t i : casterIndexes) CheckIndex(&gPluginForms->sheetCasters, i, "chain caster");
  for (uint32_t i : targetIndexes) CheckIndex(&gPluginForms->sheetTargets, i, "chain target");
}

void FillList(FuzzedDataProvider& in, FormSequence& list) {
  list.clear();
  const size_t size = in.ConsumeIntegralInRange<size_t>(0, 7);
  for (size_t i = 0; i < size; ++i)
    list.push_back(in.ConsumeIntegralInRange<int>(0, 3) == 0 ? nullptr : &gReferences[i]);
}

void FuzzSettings(FuzzedDataProvider& in) {
  for (IntSetting s : kIntSettings)
    if (in.ConsumeBool()) Set(s, fuzzsupport::ConsumeInt(in));
  for (FloatSetting s : kFloatSettings)
    if (in.ConsumeBool()) Set(s, fuzzsupport::ConsumeFloat(in));
}

bool SameFloat(float a, float b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

void Place(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) {
    const LightningType type = in.ConsumeBool() ? Sheet : Fork;
    const float playerZ = fuzzsupport::ConsumeFloat(in);
    const StrikePlacement p = GenerateStrikePositions(type, playerZ);
    FUZZ_CHECK(std::isfinite(p.gridDistance) && p.gridDistance >= 0.0f, "grid distance %g",
               static_cast<double>(p.gridDistance));
    const bool flashOn = Get(type == Sheet ? IntSetting::EnableSheetFlash : IntSetting::EnableForkFlash) != 0;
    const int32_t amount = Get(type == Sheet ? IntSetting::SheetFlashAmount : IntSetting::ForkFlashAmount);
    if (!flashOn) {
      FUZZ_CHECK(!p.applyFlash && p.flashMs == static_cast<uint32_t>(amount), "flash without the flash setting");
    } else if (p.applyFlash) {
      FUZZ_CHECK(static_cast<int64_t>(p.flashMs) >= Get(IntSetting::MinFlashAmount),
                 "a flash of %u ms below the minimum", p.flashMs);
    }
    if (type == Fork) {
      FUZZ_CHECK(SameFloat(p.targetOffset.z, -15000.0f - playerZ), "fork target z %g for player z %g",
                 static_cast<double>(p.targetOffset.z), static_cast<double>(playerZ));
    }
  } else {
    // Every strike of a chain costs draws from the system's random source:
    // mostly short chains, now and then one up to the loop's limit.
    const int count = in.ConsumeIntegralInRange<int>(0, 15) == 0
                          ? in.ConsumeIntegralInRange<int>(-kChainChildCountLimit, kChainChildCountLimit)
                          : in.ConsumeIntegralInRange<int>(-3, 8);
    const game::Position player{fuzzsupport::ConsumeFloat(in), fuzzsupport::ConsumeFloat(in),
                                fuzzsupport::ConsumeFloat(in)};
    const ChainPlacement c = GenerateChainPositions(count, player);
    const size_t expected = count > 0 ? static_cast<size_t>(count) : 0;
    FUZZ_CHECK(c.casterOffsets.size() == expected && c.targetOffsets.size() == expected,
               "a chain of %d placed %zu casters and %zu targets", count, c.casterOffsets.size(),
               c.targetOffsets.size());
  }
}

void Loop(FuzzedDataProvider& in) {
  FillList(in, gPluginForms->sheetCasters);
  FillList(in, gPluginForms->sheetTargets);
  FillList(in, gPluginForms->forkCasters);
  FillList(in, gPluginForms->forkTargets);
  const int typeValue =
      in.ConsumeIntegralInRange<int>(0, 9) < 9 ? in.ConsumeIntegralInRange<int>(0, 1) : in.ConsumeIntegral<int>();
  const auto type = static_cast<LightningType>(typeValue);
  gLightningState->effectsRunning.store(in.ConsumeIntegralInRange<int>(0, 7) != 0);
  EffectsLoopState state;
  const bool began = BeginEffectsLoop(type, state);
  if (type != Sheet && type != Fork) FUZZ_CHECK(!began, "a loop of type %d began", typeValue);
  if (!began) return;
  const StrikeLauncher launcher{&Single, &Chain};
  for (int pass = in.ConsumeIntegralInRange<int>(1, 6); pass > 0; --pass) {
    if (in.ConsumeBool()) {  // what other threads change meanwhile
      gLightningState->weatherLightningFreq.store(in.ConsumeIntegral<uint8_t>());
      gLightningState->minLightningFrequency.store(in.ConsumeIntegral<uint8_t>());
      gCombatPause->pauseFlag.store(in.ConsumeBool());
      FuzzSettings(in);
    }
    const float rate = Get(type == Sheet ? FloatSetting::SheetFrequency : FloatSetting::ForkFrequency);
    const bool running = gLightningState->effectsRunning.load() != 0;
    uint32_t waitMs = 0;
    const bool goOn = NextWait(type, state, &waitMs);
    FUZZ_CHECK(goOn == (running && rate > 0.0f), "the loop %s with effects %s and rate %g", goOn ? "went on" : "ended",
               running ? "on" : "off", static_cast<double>(rate));
    if (!goOn) return;
    const Launches before = gLaunches;
    LaunchStrike(type, state, launcher);
    FUZZ_CHECK(gLaunches.singles + gLaunches.chains - before.singles - before.chains <= 1, "a pass launched twice");
    if (type == Fork) FUZZ_CHECK(gLaunches.chains == before.chains, "a fork loop launched a chain");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::QuietStdout();
  IDebugLog::SetLevels(5, -1);  // no log file here: entries are formatted, then dropped
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  fuzzsupport::ResetSettings();
  gLightningState->weatherLightningFreq.store(in.ConsumeIntegral<uint8_t>());
  gLightningState->minLightningFrequency.store(in.ConsumeIntegral<uint8_t>());
  gCombatPause->pauseFlag.store(in.ConsumeBool());
  FuzzSettings(in);
  if (in.ConsumeBool()) {
    Place(in);
  } else {
    Loop(in);
  }
  gPluginForms->sheetCasters.clear();
  gPluginForms->sheetTargets.clear();
  gPluginForms->forkCasters.clear();
  gPluginForms->forkTargets.clear();
  return 0;
}
