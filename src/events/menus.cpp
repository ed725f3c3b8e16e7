#include "events/menus.h"

#include <array>
#include <atomic>
#include <unordered_map>

#include "platform/process_wide.h"

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

// The map's structure is fixed when the library loads; only the flags change
// afterwards, from the game's event thread while the monitor reads them.
struct MenuRecord {
  std::unordered_map<std::string_view, int> index;
  std::array<std::atomic<bool>, kTrackedMenus.size()> open{};
  std::array<int, kPauseMenus.size()> pauseIndex{};

  MenuRecord() {
    for (int i = 0; i < static_cast<int>(kTrackedMenus.size()); ++i) index.emplace(kTrackedMenus[i], i);
    for (size_t i = 0; i < kPauseMenus.size(); ++i) pauseIndex[i] = index.at(kPauseMenus[i]);
  }
};

ProcessWide<MenuRecord> record;

}  // namespace

const std::span<const char* const> pauseMenuNames{kPauseMenus};

bool IsMenuOpen(std::string_view name) {
  const auto found = record->index.find(name);
  return found != record->index.end() && record->open[found->second].load(std::memory_order_relaxed);
}

void RecordMenuEvent(std::string_view name, bool opening) {
  const auto found = record->index.find(name);
  if (found != record->index.end()) record->open[found->second].store(opening, std::memory_order_relaxed);
}

const char* FirstOpenPauseMenu() {
  for (size_t i = 0; i < kPauseMenus.size(); ++i) {
    if (record->open[record->pauseIndex[i]].load(std::memory_order_relaxed)) return kPauseMenus[i];
  }
  return nullptr;
}

}  // namespace NimbrelVR
