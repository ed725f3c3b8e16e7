// Packed runtime versions: the host packs one as
// major << 24 | minor << 16 | build << 4 | sub.
#pragma once

#include <cstdint>
#include <cstdio>

namespace NimbrelVR::game {

struct RuntimeParts {
  unsigned major, minor, build, sub;
};
constexpr RuntimeParts PartsOf(uint32_t runtime) {
  return {runtime >> 24, (runtime >> 16) & 0xFF, (runtime >> 4) & 0xFFF, runtime & 0xF};
}
constexpr uint32_t PackRuntime(unsigned major, unsigned minor, unsigned build) {
  return major << 24 | minor << 16 | build << 4;
}

// On the Special Edition's runtimes (1.5 on) the host's sub-version is the
// store the game was bought from. Below 1.5 (VR 1.4.15.1) it is a true
// sub-version.
enum class Store { None, Steam, Gog, Epic, Unknown };
constexpr bool HasStore(uint32_t runtime) { return (runtime >> 16) >= 0x0105; }
constexpr Store StoreOf(uint32_t runtime) {
  if (!HasStore(runtime)) return Store::None;
  switch (runtime & 0xF) {
    case 0:
      return Store::Steam;
    case 1:
      return Store::Gog;
    case 2:
      return Store::Epic;
    default:
      return Store::Unknown;
  }
}

// The game's version alone, for comparisons: a store's build of a runtime
// has the layout and the ids of the same version on Steam. VR's
// sub-version is kept.
constexpr uint32_t VersionOf(uint32_t runtime) { return HasStore(runtime) ? runtime & ~0xFu : runtime; }

// A runtime in the words players know it by: "1.5.39", "1.6.1179 (GOG)",
// "1.4.15.1" (VR's sub-version). The store is named always, never, or only
// where it is not Steam.
enum class StoreShown { Never, UnlessSteam, Always };
struct RuntimeText {
  char text[48];
  explicit RuntimeText(uint32_t runtime, StoreShown shown = StoreShown::Never) {
    const RuntimeParts p = PartsOf(runtime);
    if (!HasStore(runtime) && p.sub) {
      std::snprintf(text, sizeof text, "%u.%u.%u.%u", p.major, p.minor, p.build, p.sub);
      return;
    }
    const Store store = StoreOf(runtime);
    const bool named = store != Store::None &&
                       (shown == StoreShown::Always || (shown == StoreShown::UnlessSteam && store != Store::Steam));
    if (!named) {
      std::snprintf(text, sizeof text, "%u.%u.%u", p.major, p.minor, p.build);
    } else if (store == Store::Unknown) {
      std::snprintf(text, sizeof text, "%u.%u.%u (unknown store %u)", p.major, p.minor, p.build, p.sub);
    } else {
      const char* name = store == Store::Steam ? "Steam" : store == Store::Gog ? "GOG" : "Epic";
      std::snprintf(text, sizeof text, "%u.%u.%u (%s)", p.major, p.minor, p.build, name);
    }
  }
};

}  // namespace NimbrelVR::game
