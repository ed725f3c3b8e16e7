// nimbrel-sim run as a command, as a player or a tester runs it: its exit
// code, its summary, and the lines of a text.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct SimRun {
  int exitCode = -1;
  std::string output;  // the summary and anything on the error stream
};

// Runs the nimbrel-sim beside the built plug-ins with `arguments`.
SimRun RunSim(const std::string& arguments);

std::vector<std::string> Lines(const std::string& text);
// The first line of `text` that begins with `prefix`, or "".
std::string LineStarting(const std::string& text, const std::string& prefix);

// The plug-in's log of a run in `outDir`: the SE edition's, or VR's.
std::string PluginLogOf(const std::string& outDir, bool vr);

}  // namespace testsupport
