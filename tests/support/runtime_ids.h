// Packed game runtimes the tests name (major.minor.build.store, one byte
// each but the store's nibble; 1 is GOG, 2 Epic).
#pragma once

#include <cstdint>

namespace testsupport {

constexpr uint32_t k1_5_97 = 0x01050610;
constexpr uint32_t k1_6_1170 = 0x01064920;
constexpr uint32_t k1_7_99 = 0x01070630;
constexpr uint32_t k1_7_104 = 0x01070680;
constexpr uint32_t kGog1_6_659 = 0x01062931;
constexpr uint32_t kGog1_6_1179 = 0x010649B1;
constexpr uint32_t kEpic1_6_678 = 0x01062A62;
constexpr uint32_t kVr = 0x010400F1;

}  // namespace testsupport
