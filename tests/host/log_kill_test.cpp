// A storm in nimbrel-sim killed outright at a random moment: the log it
// leaves holds whole lines only, whatever the plug-in was writing then.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace {

constexpr int kRounds = 4;
constexpr auto kLogWait = std::chrono::seconds(20);

// A thunderstorm that lasts well past the kill, with strikes (and their log
// lines) a few dozen times a second.
constexpr const char* kStorm =
    "end 600\n"
    "at 0 set-float SheetFrequency 20\n"
    "at 0 set-float ForkFrequency 20\n"
    "at 0 set-int SheetDistanceMax 1\n"
    "at 0 set-int ForkDistanceMax 1\n"
    "at 1 weather thunderstorm\n";

pid_t StartStorm(const std::string& folder) {
  const std::string scenario = folder + "/storm.txt";
  std::FILE* file = std::fopen(scenario.c_str(), "w");
  if (!file || std::fputs(kStorm, file) < 0 || std::fclose(file) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    const std::string sim = std::string(NIMBREL_BIN_DIR) + "/nimbrel-sim";
    if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr)) _exit(126);
    execl(sim.c_str(), "nimbrel-sim", "--edition", "se", "--out", folder.c_str(), "--scenario", scenario.c_str(),
          "--time-scale", "10", static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

}  // namespace

TEST(LogFile, AStormKilledAtARandomMomentLeavesOnlyWholeLines) {
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < kRounds; ++round) {
    testsupport::TempDir dir;
    const std::string log = dir.path() + "/Documents/My Games/Skyrim Special Edition/SKSE/NimbrelPlugin.log";
    const pid_t pid = StartStorm(dir.path());
    ASSERT_GT(pid, 0);

    // Strikes log all the time once the storm is on; kill somewhere in it.
    const auto deadline = std::chrono::steady_clock::now() + kLogWait;
    while (testsupport::ReadFile(log).find("positions are ready") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 300000)(random)));
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the storm ended before the kill, round " << round;

    const std::string text = testsupport::ReadFile(log);
    ASSERT_NE(text.find("positions are ready"), std::string::npos) << "no strike logged, round " << round;
    EXPECT_EQ(text.back(), '\n') << "round " << round
                                 << " ends in a partial line: " << text.substr(text.rfind('\n') + 1);
    EXPECT_EQ(text.find('\0'), std::string::npos) << "round " << round;
  }
}
