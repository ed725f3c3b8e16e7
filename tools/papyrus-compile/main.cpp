// papyrus-compile --time SECONDS INPUT.psc OUTPUT.pex
// Compiles a Papyrus script of global native functions. The time is given,
// never read from the clock, so that one source gives one set of bytes.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "pex_writer.h"
#include "psc_parser.h"

namespace {

// Fixed, so that the output does not depend on who built it where.
constexpr const char* kUser = "nimbrel";
constexpr const char* kMachine = "nimbrel-build";

int Usage() {
  std::fprintf(stderr, "usage: papyrus-compile --time SECONDS INPUT.psc OUTPUT.pex\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || std::string(argv[1]) != "--time") return Usage();
  char* end = nullptr;
  const unsigned long long time = std::strtoull(argv[2], &end, 10);
  if (!*argv[2] || *end || argv[2][0] == '-') return Usage();
  const std::string input = argv[3], output = argv[4];

  std::ifstream in(input, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "papyrus-compile: cannot read %s\n", input.c_str());
    return 1;
  }
  std::ostringstream source;
  source << in.rdbuf();
  try {
    const papyrus::Script script = papyrus::ParseScript(source.str(), input);
    const std::string sourceFile = input.substr(input.find_last_of("/\\") + 1);
    const auto bytes = papyrus::WritePex(script, {time, sourceFile, kUser, kMachine});
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
      std::fprintf(stderr, "papyrus-compile: cannot write %s\n", output.c_str());
      return 1;
    }
  } catch (const papyrus::CompileError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
