// The script machine calls SetIntValue / SetFloatValue with fuzzed frames:
// any argument count the machine can give a two-parameter function, any type
// words and raw values, keys of any bytes and length.
#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "settings/settings.h"
#include "support/fuzz_game.h"
#include "support/fuzz_support.h"

using namespace NimbrelVR;
using nimbrel_sim::ScriptArg;

namespace {

constexpr const char* kClass = "NimbrelPluginScript";

// The conversions a script value goes through, as scripts are promised them.
uint32_t ExpectedInt(const ScriptArg& arg) {
  const auto low = static_cast<uint32_t>(arg.raw);
  switch (arg.type) {
    case 3:
      return low;
    case 4: {
      const double value = std::bit_cast<float>(low);
      if (std::isnan(value)) return 0;
      if (value >= 9223372036854775808.0) return static_cast<uint32_t>(INT64_MAX);
      if (value <= -9223372036854775808.0) return 0;  // INT64_MIN's low 32 bits
      return static_cast<uint32_t>(static_cast<int64_t>(value));
    }
    case 5:
      return (arg.raw & 0xFF) != 0 ? 1 : 0;
    default:
      return 0;
  }
}

uint32_t ExpectedFloatBits(const ScriptArg& arg) {
  const auto low = static_cast<uint32_t>(arg.raw);
  switch (arg.type) {
    case 3:
      return std::bit_cast<uint32_t>(static_cast<float>(static_cast<int32_t>(low)));
    case 4:
      return low;
    case 5:
      return std::bit_cast<uint32_t>((arg.raw & 0xFF) != 0 ? 1.0f : 0.0f);
    default:
      return std::bit_cast<uint32_t>(0.0f);
  }
}

ScriptArg ConsumeArg(FuzzedDataProvider& in) {
  ScriptArg arg;
  const uint8_t pick = in.ConsumeIntegral<uint8_t>();
  arg.type = pick < 0xF0 ? pick % 7 : in.ConsumeIntegral<uint64_t>();  // 0..5 and one the machine never uses
  if (arg.type == 2) {
    arg.text = in.ConsumeRandomLengthString(8192);
  } else if (arg.type == 4 && in.ConsumeBool()) {
    arg.raw = std::bit_cast<uint32_t>(fuzzsupport::ConsumeFloat(in)) | (uint64_t{in.ConsumeIntegral<uint32_t>()} << 32);
  } else {
    arg.raw = in.ConsumeIntegral<uint64_t>();
  }
  return arg;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nimbrel_sim::GameDouble& game = fuzzsupport::StartedGame();
  FuzzedDataProvider in(data, size);
  fuzzsupport::ResetSettings();

  const bool isFloat = in.ConsumeBool();
  // The machine checks the count against the function's two parameters, so a
  // frame holds at least two values; more are values the callee never reads.
  const size_t count = in.ConsumeIntegralInRange<size_t>(2, 6);
  std::vector<ScriptArg> args;
  for (size_t i = 0; i < count; ++i) args.push_back(ConsumeArg(in));

  uint64_t resultType = 0xFF;
  const bool returned = game.scripts().callNative(kClass, isFloat ? "SetFloatValue" : "SetIntValue", args, &resultType);
  FUZZ_CHECK(returned, "the call operation answered false");
  FUZZ_CHECK(resultType == 0, "the script got a result of type %llu", static_cast<unsigned long long>(resultType));
  fuzzsupport::CheckDouble();

  // The key is the interned text up to its first NUL; anything else than a
  // string gives the empty key, which matches nothing.
  const std::string key = args[0].type == 2 ? std::string(args[0].text.c_str()) : std::string();
  if (isFloat) {
    for (int i = 0; i < kFloatSettingCount; ++i) {
      const auto setting = static_cast<FloatSetting>(i);
      const uint32_t bits = std::bit_cast<uint32_t>(Get(setting));
      const uint32_t expected =
          key == KeyOf(setting) ? ExpectedFloatBits(args[1]) : std::bit_cast<uint32_t>(DefaultOf(setting));
      FUZZ_CHECK(bits == expected, "%s holds 0x%08x, expected 0x%08x", KeyOf(setting), bits, expected);
    }
  } else {
    for (int i = 0; i < kIntSettingCount; ++i) {
      const auto setting = static_cast<IntSetting>(i);
      const auto value = static_cast<uint32_t>(Get(setting));
      const uint32_t expected =
          key == KeyOf(setting) ? ExpectedInt(args[1]) : static_cast<uint32_t>(DefaultOf(setting));
      FUZZ_CHECK(value == expected, "%s holds %u, expected %u", KeyOf(setting), value, expected);
    }
  }
  fuzzsupport::BoundLog();
  return 0;
}
