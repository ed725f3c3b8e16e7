#include "lightning/lightning_state.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "game/data_files.h"
#include "game/id_tables.h"
#include "platform/platform.h"

namespace NimbrelVR {
namespace {

// How long ending a window waits for strikes inside a world access: they
// hold it for one engine call, microseconds; the bound only matters if the
// engine stalls one of them.
constexpr int kAccessDrainTries = 50;
constexpr uint32_t kAccessDrainSleepMs = 1;

// The built-in ids stay in their table; only those added later are kept here,
// so nothing is allocated when the library loads (the host unloads a plug-in
// it refuses, and an allocation made then would be lost).
struct InteriorWorldspaces {
  std::mutex mutex;
  std::vector<uint32_t> added;
};
ProcessWide<InteriorWorldspaces> interiors;

}  // namespace

constinit ProcessWide<LightningState> gLightningState;

namespace {
ProcessWide<platform::Bell> effectsBell;
}  // namespace

platform::Bell& EffectsBell() { return *effectsBell; }

// The epoch moves before the flag in both directions, and every access here
// is sequentially consistent: a reader that sees the flag it expects also
// sees the epoch of that change or a later one.
bool BeginEffectsWindow() {
  if (game::StoodDown()) return false;
  gLightningState->effectsEpoch.fetch_add(1);
  gLightningState->effectsRunning.exchange(1);
  // A stand-down between the test above and here may have ended the window
  // before this one opened: end it again.
  if (!game::StoodDown()) return true;
  EndEffectsWindow();
  return false;
}

namespace {

// Ends the window; then waits until at most `ownAccesses` strikes (the
// caller's own) are inside a world access.
void EndWindowAndDrain(uint32_t ownAccesses) {
  gLightningState->effectsEpoch.fetch_add(1);
  gLightningState->effectsRunning.exchange(0);
  effectsBell->Ring();
  // A strike that entered its access before the bump above may still be in
  // its engine call; one entering later sees the new epoch and backs off.
  for (int i = 0; i < kAccessDrainTries && gLightningState->worldAccesses.load() > ownAccesses; ++i)
    platform::SleepMs(kAccessDrainSleepMs);
}

}  // namespace

void EndEffectsWindow() { EndWindowAndDrain(0); }

void EndEffectsForStandDown(game::Holding finder) { EndWindowAndDrain(finder == game::Holding::WorldAccess ? 1 : 0); }

uint32_t CurrentEffectsWindow() { return gLightningState->effectsEpoch.load(); }

bool EffectsWindowOpen(uint32_t window) {
  return gLightningState->effectsRunning.load() != 0 && gLightningState->effectsEpoch.load() == window &&
         !game::StoodDown();
}

WindowAccess::WindowAccess(uint32_t window) {
  gLightningState->worldAccesses.fetch_add(1);
  open_ = EffectsWindowOpen(window);
}

WindowAccess::~WindowAccess() { gLightningState->worldAccesses.fetch_sub(1); }

bool IsInteriorWorldspace(uint32_t formId) {
  if (std::find(interiorWorldspaceIds.begin(), interiorWorldspaceIds.end(), formId) != interiorWorldspaceIds.end())
    return true;
  std::lock_guard lock(interiors->mutex);
  return std::find(interiors->added.begin(), interiors->added.end(), formId) != interiors->added.end();
}

void AppendInteriorWorldspace(uint32_t formId) {
  std::lock_guard lock(interiors->mutex);
  interiors->added.push_back(formId);
}

size_t InteriorWorldspaceCount() {
  std::lock_guard lock(interiors->mutex);
  return interiorWorldspaceIds.size() + interiors->added.size();
}

void AppendDawnguardWorldspaces() {
  const game::LoadedFile* dawnguard = game::FindLoadedFile(game::kDawnguardFileName);
  if (!dawnguard) return;
  for (uint32_t localId : dawnguardWorldspaceLocalIds)
    AppendInteriorWorldspace(game::ComposeFormId(dawnguard, localId));
}

}  // namespace NimbrelVR
