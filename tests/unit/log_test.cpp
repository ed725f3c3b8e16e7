#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "log/debug_log.h"
#include "settings/settings.h"
#include "support/temp_dir.h"

using namespace NimbrelVR;
using testsupport::ReadFile;

namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.path() + "/NimbrelPlugin.log";
    IDebugLog::OpenLogFile(path_.c_str());
    IDebugLog::SetLevels(5, 1);
  }
  std::string Log() const { return ReadFile(path_); }

  testsupport::TempDir dir_;
  std::string path_;
};

}  // namespace

TEST_F(LogTest, LinesAreTheTextAndANewlineOnly) {
  LogMessage("Nimbrel: %s", "banner");
  PluginLog(2, "Weather: %x -> %d", 0xABCu, 30);
  EXPECT_EQ(Log(), "Nimbrel: banner\nWeather: abc -> 30\n");
}

TEST_F(LogTest, EnableLogFiltersPluginLogButNotLogMessage) {
  Set(IntSetting::EnableLog, -1);
  PluginLog(0, "level zero at -1");
  LogMessage("always");
  Set(IntSetting::EnableLog, 0);
  PluginLog(0, "level zero at 0");
  PluginLog(1, "level one at 0");
  Set(IntSetting::EnableLog, 2);
  PluginLog(1, "level one at 2");
  PluginLog(2, "level two at 2");
  PluginLog(3, "level three at 2");
  EXPECT_EQ(Log(), "always\nlevel zero at 0\nlevel one at 2\nlevel two at 2\n");
}

TEST_F(LogTest, FormattedTextIsNotInterpretedAgain) {
  PluginLog(2, "Value change - %s: %d", "Sheet%sFrequency%n", 3);
  EXPECT_EQ(Log(), "Value change - Sheet%sFrequency%n: 3\n");
}

TEST_F(LogTest, EntriesLongerThanTheirBuffersAreCut) {
  const std::string longKey(5000, 'k');
  PluginLog(2, "%s", longKey.c_str());
  const std::string longer(9000, 'm');
  LogMessage("%s", longer.c_str());
  EXPECT_EQ(Log(), std::string(4095, 'k') + "\n" + std::string(8191, 'm') + "\n");
}

// The process's count of write calls, from the kernel's own accounting.
uint64_t WriteCalls() {
  const std::string io = ReadFile("/proc/self/io");
  const size_t at = io.find("syscw: ");
  return at == std::string::npos ? 0 : std::stoull(io.substr(at + 7));
}

TEST_F(LogTest, EachEntryReachesTheFileInOneWriteSoAKillLeavesNoPartialLine) {
  ASSERT_GT(WriteCalls(), 0u) << "no write accounting in /proc/self/io";
  for (const std::string& text : {std::string("short"), std::string(8191, 'w')}) {
    const uint64_t before = WriteCalls();
    LogMessage("%s", text.c_str());
    EXPECT_EQ(WriteCalls() - before, 1u) << text.size() << " characters";
  }
  const uint64_t before = WriteCalls();
  PluginLog(2, "Value change - %s: %d", "EnableLog", 2);
  EXPECT_EQ(WriteCalls() - before, 1u);
  EXPECT_EQ(Log(), "short\n" + std::string(8191, 'w') + "\nValue change - EnableLog: 2\n");
}

TEST_F(LogTest, EchoReachesStandardOutputOnlyAtOrBelowEchoLevel) {
  testing::internal::CaptureStdout();
  LogMessage("file only");
  IDebugLog::Write(0, "both %d", 0);
  const std::string echoed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(echoed, "both 0\n");
  EXPECT_EQ(Log(), "file only\nboth 0\n");
}

TEST_F(LogTest, AssertionLineUsesTheWideFormForA64BitCode) {
  IDebugLog::ReportFailedAssertion("IDebugLog", 64, "SUCCEEDED(err)",
                                   static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(0x80004005))));
  IDebugLog::ReportFailedAssertion("IDebugLog", 64, "SUCCEEDED(err)", 5);
  EXPECT_EQ(Log(),
            "Assertion failed in IDebugLog (64): SUCCEEDED(err) (code = FFFFFFFF80004005 (-2147467259))\n"
            "Assertion failed in IDebugLog (64): SUCCEEDED(err) (code = 00000005 (5))\n");
}

TEST_F(LogTest, ConcurrentEntriesStayWhole) {
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) PluginLog(2, "thread %d line %03d %s", t, i, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    });
  }
  for (auto& thread : threads) thread.join();
  const std::string log = Log();
  size_t lines = 0;
  size_t start = 0;
  for (size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = log.substr(start, end - start);
    ASSERT_EQ(line.size(), std::string("thread 0 line 000 ABCDEFGHIJKLMNOPQRSTUVWXYZ").size()) << line;
    ++lines;
  }
  EXPECT_EQ(lines, static_cast<size_t>(kThreads * kLines));
}

TEST(LogFallback, AFileHeldByAnotherWriterSendsTheLogToTheNextNumberedName) {
  testsupport::TempDir dir;
  const std::string path = dir.path() + "/NimbrelPlugin.log";
  const int heldMain = testsupport::HoldForWriting(path);
  const int heldZero = testsupport::HoldForWriting(path + "0");
  ASSERT_GE(heldMain, 0);
  ASSERT_GE(heldZero, 0);
  IDebugLog::OpenLogFile(path.c_str());
  LogMessage("banner");
  EXPECT_EQ(ReadFile(path + "1"), "banner\n");
  EXPECT_EQ(ReadFile(path), "");
  EXPECT_FALSE(testsupport::FileExists(path + "2"));
}

TEST(LogFallback, AfterFiveRefusalsFileOutputIsDroppedWithoutHarm) {
  testsupport::TempDir dir;
  const std::string path = dir.path() + "/NimbrelPlugin.log";
  std::vector<int> held{testsupport::HoldForWriting(path)};
  for (int i = 0; i < 5; ++i) held.push_back(testsupport::HoldForWriting(path + std::to_string(i)));
  for (int fd : held) ASSERT_GE(fd, 0);
  IDebugLog::OpenLogFile(path.c_str());
  EXPECT_FALSE(IDebugLog::IsFileOpen());
  IDebugLog::SetLevels(5, 1);
  testing::internal::CaptureStdout();
  LogMessage("dropped");
  IDebugLog::Write(0, "still echoed");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "still echoed\n");
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ReadFile(path + std::to_string(i)), "");
}
