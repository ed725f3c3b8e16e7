// Writes the compiled form (.pex) of a script of global native functions, as
// the game's own compiler lays it out for Skyrim SE and VR.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "psc_parser.h"

namespace papyrus {

struct PexHeader {
  uint64_t compileTime = 0;  // seconds since 1970
  std::string sourceFile;    // e.g. NimbrelPluginScript.psc
  std::string user;
  std::string machine;
};

// Throws CompileError when a table outgrows its 16-bit count.
std::vector<uint8_t> WritePex(const Script& script, const PexHeader& header);

}  // namespace papyrus
