// The threads of this process as the kernel lists them: names and CPU time.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct ThreadInfo {
  int tid = 0;
  std::string name;
};

std::vector<ThreadInfo> ProcessThreads();
// Threads whose name is exactly `name`.
int CountThreads(const std::string& name);
// Id of the first thread named `name`, 0 if none.
int FindThread(const std::string& name);
// CPU time (user + system) a thread of this process has used, in seconds;
// negative when the thread is gone.
double ThreadCpuSeconds(int tid);

}  // namespace testsupport
