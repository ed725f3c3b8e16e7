#include "events/menus.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <string_view>

namespace NimbrelVR {
namespace {

constexpr std::array<const char*, 42> kTrackedMenus = {
    "BarterMenu",
    "Book Menu",
    "Console",
    "Native UI Menu",
    "ContainerMenu",
    "Dialogue Menu",
    "Crafting Menu",
    "Credits Menu",
    "Cursor Menu",
    "Debug Text Menu",
    "Fader Menu",
    "FavoritesMenu",
    "GiftMenu",
    "HUD Menu",
    "InventoryMenu",
    "Journal Menu",
    "Kinect Menu",
    "Loading Menu",
    "Lockpicking Menu",
    "MagicMenu",
    "Main Menu",
    "MapMarkerText3D",
    "MapMenu",
    "MessageBoxMenu",
    "Mist Menu",
    "Overlay Interaction Menu",
    "Overlay Menu",
    "Quantity Menu",
    "RaceSex Menu",
    "Sleep/Wait Menu",
    "StatsMenu",
    "StatsMenuPerks",
    "StatsMenuSkillRing",
    "TitleSequence Menu",
    "Top Menu",
    "Training Menu",
    "Tutorial Menu",
    "TweenMenu",
    "WSEnemyMeters",
    "WSDebugOverlay",
    "WSActivateRollover",
    "LoadWaitSpinner",
};

constexpr std::array<const char*, 30> kPauseMenus = {
    "BarterMenu",         "Book Menu",      "Console",       "Native UI Menu",  "ContainerMenu",
    "Crafting Menu",      "Credits Menu",   "Cursor Menu",   "Debug Text Menu", "FavoritesMenu",
    "GiftMenu",           "InventoryMenu",  "Journal Menu",  "Kinect Menu",     "Loading Menu",
    "Lockpicking Menu",   "MagicMenu",      "Main Menu",     "MapMarkerText3D", "MapMenu",
    "MessageBoxMenu",     "Mist Menu",      "Quantity Menu", "RaceSex Menu",    "Sleep/Wait Menu",
    "StatsMenuSkillRing", "StatsMenuPerks", "Training Menu", "Tutorial Menu",   "TweenMenu",
};

// Where a menu sits in kTrackedMenus, or -1. A scan of the fixed list rather
// than a map, so that nothing is allocated when the library loads: the host
// unloads a plug-in it refuses, and an allocation made then would be lost.
constexpr int TrackedIndex(std::string_view name) {
  for (size_t i = 0; i < kTrackedMenus.size(); ++i) {
    if (name == kTrackedMenus[i]) return static_cast<int>(i);
  }
  return -1;
}

constexpr std::array<int, kPauseMenus.size()> kPauseIndex = [] {
  std::array<int, kPauseMenus.size()> index{};
  for (size_t i = 0; i < kPauseMenus.size(); ++i) index[i] = TrackedIndex(kPauseMenus[i]);
  return index;
}();
static_assert(std::find(kPauseIndex.begin(), kPauseIndex.end(), -1) == kPauseIndex.end(),
              "every pause menu is a tracked menu");

// Only the flags change, from the game's event thread while the monitor reads them.
constinit std::array<std::atomic<bool>, kTrackedMenus.size()> menuOpen{};

}  // namespace

const std::span<const char* const> pauseMenuNames{kPauseMenus};

bool IsMenuOpen(std::string_view name) {
  const int at = TrackedIndex(name);
  return at >= 0 && menuOpen[at].load(std::memory_order_relaxed);
}

void RecordMenuEvent(std::string_view name, bool opening) {
  const int at = TrackedIndex(name);
  if (at >= 0) menuOpen[at].store(opening, std::memory_order_relaxed);
}

const char* FirstOpenPauseMenu() {
  for (size_t i = 0; i < kPauseMenus.size(); ++i) {
    if (menuOpen[kPauseIndex[i]].load(std::memory_order_relaxed)) return kPauseMenus[i];
  }
  return nullptr;
}

}  // namespace NimbrelVR
