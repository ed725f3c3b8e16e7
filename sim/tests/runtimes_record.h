// runtimes.md's published offsets, read from its own text for the tests
// that hold the double to it: the engine's entries ("Entries" and the two
// tables of "Runtimes 1.7.x"), the type descriptors ("Type checks") and the
// sizes of the format-5 databases. A row or a sentence the reader cannot
// read is a problem, never skipped: a skipped row would let a wrong column
// pass.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace nimbrel_sim_tests {

// One published offset: a row's name and ids, and one of its columns.
struct PublishedOffset {
  std::string name;   // as the table writes it: "FormFromId", "FunctionBaseImpl[0]", "BSScript::IVirtualMachine"
  uint32_t seId = 0;  // 0: the row gives none ("none", or a place inside another function)
  uint32_t aeId = 0;  // 0: the row gives none
  bool hasSeId = false, hasAeId = false;  // whether the table has the column
  std::string runtime;                    // the column: "1.5.97", "1.7.104", "VR"
  uint32_t offset = 0;                    // 0: none published ("none", "inferred only")
  std::string row;                        // the row's text, for messages
};

struct RuntimesRecord {
  std::vector<PublishedOffset> entries;
  std::vector<PublishedOffset> descriptors;
  // Runtime ("1.7.99") to the offsets its format-5 database holds.
  std::map<std::string, uint32_t> databaseCounts;
  // What could not be read, each with its text.
  std::vector<std::string> problems;
};

RuntimesRecord readRuntimesRecord(const std::string& markdown);

}  // namespace nimbrel_sim_tests
