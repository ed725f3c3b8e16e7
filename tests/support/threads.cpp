#include "support/threads.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace testsupport {

std::vector<ThreadInfo> ProcessThreads() {
  std::vector<ThreadInfo> threads;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    if (!std::getline(comm, name)) continue;  // ended while listed
    threads.push_back({std::stoi(entry.path().filename().string()), name});
  }
  return threads;
}

int CountThreads(const std::string& name) {
  int count = 0;
  for (const ThreadInfo& thread : ProcessThreads()) count += thread.name == name;
  return count;
}

int FindThread(const std::string& name) {
  for (const ThreadInfo& thread : ProcessThreads())
    if (thread.name == name) return thread.tid;
  return 0;
}

double ThreadCpuSeconds(int tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return -1.0;
  // Fields after the name, which is in parentheses and may hold spaces:
  // state is field 3, utime 14 and stime 15.
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace testsupport
