#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "settings/conversions.h"
#include "settings/script_bridge.h"

using namespace NimbrelVR;

namespace {

ScriptValue Value(uint64_t type, uint64_t raw) {
  ScriptValue value{};
  value.type = type;
  value.payload.raw = raw;
  return value;
}
ScriptValue Float(float f) {
  ScriptValue value{};
  value.type = kScriptFloat;
  value.payload.real = f;
  return value;
}
ScriptValue Int(int32_t i) {
  ScriptValue value{};
  value.type = kScriptInteger;
  value.payload.integer = i;
  return value;
}

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::nanf("");

}  // namespace

TEST(Conversions, TruncationTowardZeroIsDefinedForEveryFloat) {
  EXPECT_EQ(TruncateToInt32(3.7), 3);
  EXPECT_EQ(TruncateToInt32(0.9), 0);
  EXPECT_EQ(TruncateToInt32(-1.0), -1);
  EXPECT_EQ(TruncateToInt32(-0.9), 0);
  EXPECT_EQ(TruncateToInt32(kNaN), 0);
  EXPECT_EQ(TruncateToInt32(kInf), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(TruncateToInt32(-kInf), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(TruncateToInt32(3e9), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(TruncateToInt32(-3e9), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(TruncateToInt64(1e30), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(TruncateToInt64(-1e30), std::numeric_limits<int64_t>::min());
}

TEST(Conversions, ScriptValuesForTheIntegerSetter) {
  ScriptValue value = Float(2.9f);
  EXPECT_EQ(ScriptArgumentToInt(&value), 2u);
  value = Float(-1.5f);
  EXPECT_EQ(ScriptArgumentToInt(&value), 0xFFFFFFFFu);
  value = Float(3e9f);  // beyond int32 but within the low 32 bits of a wider truncation
  EXPECT_EQ(ScriptArgumentToInt(&value), 3000000000u);
  value = Float(kNaN);
  EXPECT_EQ(ScriptArgumentToInt(&value), 0u);
  value = Float(-kInf);
  EXPECT_EQ(ScriptArgumentToInt(&value), 0u);  // low 32 bits of the most negative 64-bit value
  value = Int(-7);
  EXPECT_EQ(ScriptArgumentToInt(&value), 0xFFFFFFF9u);
  value = Value(kScriptBool, 1);
  EXPECT_EQ(ScriptArgumentToInt(&value), 1u);
  value = Value(kScriptBool, 0xFF00);  // only the first byte is the bool
  EXPECT_EQ(ScriptArgumentToInt(&value), 0u);
  for (uint64_t other : {0ull, 1ull, 2ull, 6ull, 11ull, 0xFFFFull}) {
    value = Value(other, 0x4040404040404040ull);
    EXPECT_EQ(ScriptArgumentToInt(&value), 0u) << other;
  }
  EXPECT_EQ(ScriptArgumentToInt(nullptr), 0u);
}

TEST(Conversions, ScriptValuesForTheFloatSetter) {
  ScriptValue value = Int(3);
  EXPECT_EQ(ScriptArgumentToFloat(&value), 3.0f);
  value = Int(-2);
  EXPECT_EQ(ScriptArgumentToFloat(&value), -2.0f);
  value = Value(kScriptBool, 1);
  EXPECT_EQ(ScriptArgumentToFloat(&value), 1.0f);
  value = Value(kScriptBool, 0);
  EXPECT_EQ(ScriptArgumentToFloat(&value), 0.0f);
  value = Float(2.5f);
  EXPECT_EQ(ScriptArgumentToFloat(&value), 2.5f);
  value = Float(kNaN);
  EXPECT_TRUE(std::isnan(ScriptArgumentToFloat(&value)));  // stored as given, like any float
  value = Value(kScriptString, 0x1234);
  EXPECT_EQ(ScriptArgumentToFloat(&value), 0.0f);
  EXPECT_EQ(ScriptArgumentToFloat(nullptr), 0.0f);
}
