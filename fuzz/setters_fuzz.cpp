// Both setters with arbitrary keys and values: known keys, near misses and
// any bytes; NaN, infinities and extremes. A key changes its own setting and
// nothing else; a changed fade duration reaches every effect-art form.
#include <array>
#include <bit>
#include <span>
#include <string>
#include <vector>

#include "game/checked_reads.h"
#include "game/id_tables.h"
#include "game/stand_down.h"
#include "settings/settings.h"
#include "support/fuzz_game.h"
#include "support/fuzz_support.h"

using namespace NimbrelVR;

namespace {

struct Snapshot {
  std::array<uint32_t, kIntSettingCount> ints;
  std::array<uint32_t, kFloatSettingCount> floats;
};

Snapshot Take() {
  Snapshot s;
  for (int i = 0; i < kIntSettingCount; ++i) s.ints[i] = static_cast<uint32_t>(Get(static_cast<IntSetting>(i)));
  for (int i = 0; i < kFloatSettingCount; ++i) s.floats[i] = std::bit_cast<uint32_t>(Get(static_cast<FloatSetting>(i)));
  return s;
}

std::string ConsumeKey(FuzzedDataProvider& in, bool isFloat) {
  const uint8_t how = in.ConsumeIntegralInRange<uint8_t>(0, 4);
  const int index = in.ConsumeIntegralInRange<int>(0, (isFloat ? kFloatSettingCount : kIntSettingCount) - 1);
  std::string known = isFloat ? KeyOf(static_cast<FloatSetting>(index)) : KeyOf(static_cast<IntSetting>(index));
  switch (how) {
    case 0:
      return known;
    case 1: {  // one letter's case flipped
      const size_t at = in.ConsumeIntegralInRange<size_t>(0, known.size() - 1);
      known[at] = static_cast<char>(known[at] ^ 0x20);
      return known;
    }
    case 2:  // cut short or run on
      return in.ConsumeBool() ? known.substr(0, in.ConsumeIntegralInRange<size_t>(0, known.size()))
                              : known + in.ConsumeRandomLengthString(16);
    case 3:  // a key of the other setter
      return isFloat ? KeyOf(static_cast<IntSetting>(index % kIntSettingCount))
                     : KeyOf(static_cast<FloatSetting>(index % kFloatSettingCount));
    default:
      return in.ConsumeRandomLengthString(8192);
  }
}

int Matching(const char* key, bool isFloat) {
  const int count = isFloat ? kFloatSettingCount : kIntSettingCount;
  for (int i = 0; i < count; ++i) {
    const char* known = isFloat ? KeyOf(static_cast<FloatSetting>(i)) : KeyOf(static_cast<IntSetting>(i));
    if (std::strcmp(key, known) == 0) return i;
  }
  return -1;
}

// The fade durations of one kind's effect-art forms.
std::vector<uint32_t> FadeForms(nimbrel_sim::GameDouble& game, std::span<const uint32_t> artIds) {
  std::vector<uint32_t> fades;
  for (uint32_t localId : artIds)
    fades.push_back(std::bit_cast<uint32_t>(game.data().fadeDuration(game.data().pluginFormId(localId))));
  return fades;
}

// A pushed value reaches every form when it can be a fade duration; one that
// cannot leaves the forms as they were.
void CheckFadeForms(nimbrel_sim::GameDouble& game, std::span<const uint32_t> artIds, float value,
                    const std::vector<uint32_t>& before) {
  const std::vector<uint32_t> after = FadeForms(game, artIds);
  for (size_t i = 0; i < artIds.size(); ++i) {
    const uint32_t wanted = NimbrelVR::game::PlausibleFadeDuration(value) ? std::bit_cast<uint32_t>(value) : before[i];
    FUZZ_CHECK(after[i] == wanted, "effect art %x has fade 0x%08x, not 0x%08x", artIds[i], after[i], wanted);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nimbrel_sim::GameDouble& game = fuzzsupport::StartedGame();
  FuzzedDataProvider in(data, size);
  fuzzsupport::ResetSettings();

  for (int call = 0; call < 8 && in.remaining_bytes() > 0; ++call) {
    const bool isFloat = in.ConsumeBool();
    const std::string key = ConsumeKey(in, isFloat);
    const Snapshot before = Take();
    int changed = Matching(key.c_str(), isFloat);
    if (isFloat) {
      const float value = fuzzsupport::ConsumeFloat(in);
      const bool fade = changed == static_cast<int>(FloatSetting::SheetFadeDuration) ||
                        changed == static_cast<int>(FloatSetting::ForkFadeDuration);
      // A fade duration equal to the stored one (0 and -0 alike) is no change.
      const bool pushed = fade && !(value == std::bit_cast<float>(before.floats[changed]));
      const std::span<const uint32_t> artIds = changed == static_cast<int>(FloatSetting::SheetFadeDuration)
                                                   ? std::span<const uint32_t>(sheetArtIds)
                                                   : std::span<const uint32_t>(forkArtIds);
      const std::vector<uint32_t> fadesBefore = FadeForms(game, artIds);
      SetFloatValue(key.c_str(), value);
      Snapshot expected = before;
      if (changed >= 0 && (!fade || pushed)) expected.floats[changed] = std::bit_cast<uint32_t>(value);
      const Snapshot after = Take();
      FUZZ_CHECK(after.ints == expected.ints && after.floats == expected.floats,
                 "SetFloatValue(\"%s\", %g) changed more or less than its own setting", key.c_str(),
                 static_cast<double>(value));
      if (pushed) CheckFadeForms(game, artIds, value, fadesBefore);
      FUZZ_CHECK(!NimbrelVR::game::StoodDown(), "SetFloatValue(\"%s\", %g) stood a healthy game down", key.c_str(),
                 static_cast<double>(value));
    } else {
      const auto value = static_cast<uint32_t>(fuzzsupport::ConsumeInt(in));
      SetIntValue(key.c_str(), value);
      Snapshot expected = before;
      if (changed >= 0) expected.ints[changed] = value;
      const Snapshot after = Take();
      FUZZ_CHECK(after.ints == expected.ints && after.floats == expected.floats,
                 "SetIntValue(\"%s\", %u) changed more or less than its own setting", key.c_str(), value);
    }
  }
  fuzzsupport::CheckDouble();
  fuzzsupport::BoundLog();
  return 0;
}
