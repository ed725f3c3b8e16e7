// Test entry for the plug-in's internals: every test starts from the default
// settings, so tests also pass when run together in one process.
#include <gtest/gtest.h>

#include "log/debug_log.h"
#include "settings/settings.h"

namespace {

class DefaultSettings : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    using namespace NimbrelVR;
    for (int i = 0; i < kIntSettingCount; ++i) Set(static_cast<IntSetting>(i), DefaultOf(static_cast<IntSetting>(i)));
    for (int i = 0; i < kFloatSettingCount; ++i)
      Set(static_cast<FloatSetting>(i), DefaultOf(static_cast<FloatSetting>(i)));
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Keep the console to failures, as after a real query.
  NimbrelVR::IDebugLog::SetLevels(5, 1);
  ::testing::UnitTest::GetInstance()->listeners().Append(new DefaultSettings);
  return RUN_ALL_TESTS();
}
