#include "support/sim_command.h"

#include <sys/wait.h>

#include <cstdio>

#include "support/temp_dir.h"

namespace testsupport {

SimRun RunSim(const std::string& arguments) {
  const std::string command = std::string("'") + NIMBREL_BIN_DIR + "/nimbrel-sim' " + arguments + " 2>&1";
  SimRun ran;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return ran;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) ran.output.append(buffer, n);
  const int status = pclose(pipe);
  ran.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return ran;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

std::string LineStarting(const std::string& text, const std::string& prefix) {
  for (const std::string& line : Lines(text))
    if (line.rfind(prefix, 0) == 0) return line;
  return "";
}

std::string PluginLogOf(const std::string& outDir, bool vr) {
  return ReadFile(outDir + (vr ? "/Documents/My Games/Skyrim VR/SKSE/NimbrelVRPlugin.log"
                               : "/Documents/My Games/Skyrim Special Edition/SKSE/NimbrelPlugin.log"));
}

}  // namespace testsupport
