#include "game/id_tables.h"

#include <algorithm>

namespace NimbrelVR {
namespace {

constexpr uint32_t kSheetArtIds[] = {0x800, 0x80C, 0x814, 0x815, 0x816, 0x817, 0x818, 0x819,
                                     0x81A, 0x81B, 0x81C, 0x81D, 0x81E, 0xAB6, 0xAB7};
constexpr uint32_t kForkArtIds[] = {0x801, 0x811, 0xA6B, 0xA6C, 0xA6D, 0xA6E, 0xA6F,
                                    0xA70, 0xA71, 0xA72, 0xA73, 0xA74, 0xA75, 0xA76};
constexpr uint32_t kExemptWeatherIds[] = {0x5ED7A, 0x6ED5A, 0x6ED5B, 0x7548F, 0x75491,  0x75DE5,  0x777CF, 0x8277A,
                                          0x8282A, 0xAEE84, 0xD4886, 0xECC96, 0x101910, 0x10C32F, 0x10DA13};
constexpr uint32_t kInteriorWorldspaceIds[] = {0x69857, 0x1EE62, 0x20DCB, 0x1FAE2, 0x34240, 0x50015, 0x2C965,
                                               0x29AB7, 0x4F838, 0x3A9D6, 0x243DE, 0xC97EB, 0xC350D, 0x1CDD3,
                                               0x1CDD9, 0x21EDB, 0x1E49D, 0x2B101, 0x2A9D8, 0x20BFE};
constexpr uint32_t kDawnguardWorldspaceLocalIds[] = {0x48C7, 0x4BEA, 0x2F64};

}  // namespace

constinit const std::span<const uint32_t> sheetArtIds{kSheetArtIds};
constinit const std::span<const uint32_t> forkArtIds{kForkArtIds};
constinit const std::span<const uint32_t> exemptWeatherIds{kExemptWeatherIds};
constinit const std::span<const uint32_t> interiorWorldspaceIds{kInteriorWorldspaceIds};
constinit const std::span<const uint32_t> dawnguardWorldspaceLocalIds{kDawnguardWorldspaceLocalIds};

bool IsExemptWeather(uint32_t formId) {
  return std::find(exemptWeatherIds.begin(), exemptWeatherIds.end(), formId) != exemptWeatherIds.end();
}

}  // namespace NimbrelVR
