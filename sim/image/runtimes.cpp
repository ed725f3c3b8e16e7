#include "image/runtimes.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace nimbrel_sim {

namespace {

constexpr uint32_t kMajorMinor1_5 = 0x0105;
constexpr uint32_t kMajorMinor1_6 = 0x0106;
constexpr uint32_t kMajorMinor1_7 = 0x0107;
constexpr uint32_t kMajorMinorVr = 0x0104;

uint32_t majorMinor(uint32_t runtime) { return runtime >> 16; }

// The host word of 1.5.39 and VR is the double's own (the plug-in reads none
// of them).
constexpr uint32_t kHostSe1_5_39 = 0x02001000;

// SKSE's runtime types, the low nibble of a packed runtime.
constexpr uint32_t kStoreGog = 1;
constexpr uint32_t kStoreEpic = 2;

bool decimal(const std::string& part, unsigned limit, unsigned& out) {
  if (part.empty() || part.size() > 5) return false;
  unsigned value = 0;
  for (char c : part) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  out = value;
  return value <= limit;
}

// Strips a store suffix ("-gog", "-epic", any case) off `text`; 0 when none.
unsigned storeSuffix(std::string& text) {
  std::string lower;
  for (char c : text) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  for (const auto& [suffix, store] : {std::pair<const char*, unsigned>{"-gog", kStoreGog}, {"-epic", kStoreEpic}}) {
    const std::string s = suffix;
    if (lower.size() > s.size() && lower.compare(lower.size() - s.size(), s.size(), s) == 0) {
      text.resize(text.size() - s.size());
      return store;
    }
  }
  return 0;
}

// On the Special Edition's runtimes the nibble is the store; below them (VR
// 1.4.15.1) it is a sub-version.
bool storeBearing(Edition edition, uint32_t runtime) {
  return edition == Edition::SpecialEdition && majorMinor(runtime) >= kMajorMinor1_5;
}

}  // namespace

std::string runtimeName(uint32_t packed) {
  char text[32];
  const RuntimeParts p = partsOf(packed);
  if (p.sub)
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", p.major, p.minor, p.build, p.sub);
  else
    std::snprintf(text, sizeof text, "%u.%u.%u", p.major, p.minor, p.build);
  return text;
}

bool parseRuntime(const std::string& given, uint32_t& packed, std::string& problem) {
  if (given.find('.') != std::string::npos) {
    std::string text = given;
    const unsigned store = storeSuffix(text);
    std::vector<std::string> parts{""};
    for (char c : text) {
      if (c == '.')
        parts.emplace_back();
      else
        parts.back().push_back(c);
    }
    unsigned major = 0, minor = 0, build = 0, sub = store;
    if ((parts.size() != 3 && (parts.size() != 4 || store)) || !decimal(parts[0], 255, major) ||
        !decimal(parts[1], 255, minor) || !decimal(parts[2], 0xFFF, build) ||
        (parts.size() == 4 && !decimal(parts[3], 0xF, sub))) {
      problem =
          "a runtime reads MAJOR.MINOR.BUILD[.SUB] (1.6.1170; build up to 4095, sub up to 15), MAJOR.MINOR.BUILD "
          "with a store (1.6.1179-gog, 1.6.678-epic) or packed hex";
      return false;
    }
    packed = major << 24 | minor << 16 | build << 4 | sub;
    if (store && !storeBearing(Edition::SpecialEdition, packed)) {
      problem = "a store names a Special Edition runtime (1.5 on); before, the last number is a sub-version (1.4.15.1)";
      return false;
    }
    return true;
  }
  const std::string digits = given.rfind("0x", 0) == 0 || given.rfind("0X", 0) == 0 ? given.substr(2) : given;
  char* end = nullptr;
  const unsigned long value = std::strtoul(digits.c_str(), &end, 16);
  if (digits.empty() || digits.size() > 8 || *end || value == 0 || digits[0] == '-' || digits[0] == '+') {
    problem =
        "a runtime is a name (1.5.39, 1.5.97, 1.6.353, 1.6.1170, 1.7.99, 1.7.104, 1.6.1179-gog) or the packed hex "
        "(0x01070630)";
    return false;
  }
  packed = static_cast<uint32_t>(value);
  return true;
}

Store storeOf(Edition edition, uint32_t runtime) {
  if (!storeBearing(edition, runtime)) return Store::Steam;
  switch (runtime & 0xF) {
    case 0:
      return Store::Steam;
    case kStoreGog:
      return Store::Gog;
    case kStoreEpic:
      return Store::Epic;
    default:
      return Store::Unknown;
  }
}

uint32_t versionOf(Edition edition, uint32_t runtime) {
  return storeBearing(edition, runtime) ? runtime & ~0xFu : runtime;
}

std::string runtimeLabel(Edition edition, uint32_t runtime) {
  const std::string version = runtimeName(versionOf(edition, runtime));
  switch (storeOf(edition, runtime)) {
    case Store::Steam:
      return version;
    case Store::Gog:
      return version + " GOG";
    case Store::Epic:
      return version + " Epic";
    case Store::Unknown:
      break;
  }
  return version + " store " + std::to_string(runtime & 0xF);
}

uint32_t runtimeOf(const Options& options) {
  if (options.runtimeVersion != 0) return options.runtimeVersion;
  return options.edition == Edition::VR ? kRuntimeVR : kRuntimeSE;
}

Layout layoutFor(Edition edition, uint32_t runtime) {
  if (edition == Edition::VR) return Layout::Vr;
  switch (runtime) {
    case kRuntime1_5_39:
      return Layout::Se1_5_39;
    case kRuntime1_6_353:
      return Layout::Ae1_6_353;
    default:
      break;
  }
  if (majorMinor(runtime) >= kMajorMinor1_7)
    return versionOf(edition, runtime) < kRuntime1_7_104 ? Layout::Ae1_7_99 : Layout::Ae1_7_104;
  return majorMinor(runtime) == kMajorMinor1_6 ? Layout::Ae1_6_1170 : Layout::Se1_5_97;
}

// Only Steam's executables have public offsets: another store's build of the
// same version is laid out differently.
bool layoutExact(Edition edition, uint32_t runtime) {
  if (edition == Edition::VR) return majorMinor(runtime) == kMajorMinorVr;
  return runtime == kRuntime1_5_39 || runtime == kRuntime1_5_97 || runtime == kRuntime1_6_353 ||
         runtime == kRuntime1_6_1170 || runtime == kRuntime1_7_99 || runtime == kRuntime1_7_104;
}

const char* layoutName(Layout layout) {
  switch (layout) {
    case Layout::Se1_5_39:
      return "1.5.39";
    case Layout::Se1_5_97:
      return "1.5.97";
    case Layout::Ae1_6_353:
      return "1.6.353";
    case Layout::Ae1_6_1170:
      return "1.6.1170";
    case Layout::Ae1_7_99:
      return "1.7.99";
    case Layout::Ae1_7_104:
      return "1.7.104";
    case Layout::Vr:
      return "VR 1.4.15.1";
    case Layout::Count:
      break;
  }
  return "?";
}

bool isAnniversaryRuntime(Edition edition, uint32_t runtime) {
  return edition == Edition::SpecialEdition && majorMinor(runtime) >= kMajorMinor1_6;
}

uint32_t hostVersionFor(Edition edition, uint32_t runtime) {
  if (edition == Edition::VR || runtime == kRuntime1_5_39) return kHostSe1_5_39;
  if (!isAnniversaryRuntime(edition, runtime)) return kSkse2_0_20;
  const uint32_t version = versionOf(edition, runtime);
  if (majorMinor(version) >= kMajorMinor1_7) return version >= kRuntime1_7_104 ? kSkse2_3_1 : kSkse2_3_0;
  return version == kRuntime1_6_353 ? kSkse2_1_5 : kSkse2_2_6;
}

std::string hostName(Edition edition, uint32_t runtime) {
  if (edition == Edition::VR) return "SKSEVR";
  if (runtime == kRuntime1_5_39) return "SKSE64 for SE 1.5.39";
  const std::string version = runtimeName(hostVersionFor(edition, runtime));
  std::string name = (isAnniversaryRuntime(edition, runtime) ? "SKSE for AE " : "SKSE64 ") + version;
  if (!hostStandInNote(edition, runtime).empty()) return name + " (a stand-in)";
  if (storeOf(edition, runtime) == Store::Gog) name += " (its GOG build, v" + version + "-gog)";
  return name;
}

std::string hostStandInNote(Edition edition, uint32_t runtime) {
  const Store store = storeOf(edition, runtime);
  if (store == Store::Steam || (store == Store::Gog && majorMinor(runtime) == kMajorMinor1_6)) return "";
  std::string none;
  if (store == Store::Epic)
    none = "no SKSE for the Epic store is public (SKSE refuses the Epic runtime outright)";
  else if (store == Store::Gog)
    none = "no GOG build of SKSE for " + runtimeName(versionOf(edition, runtime)) + " is public";
  else
    none = "no SKSE for store " + std::to_string(runtime & 0xF) + " is public";
  return none + "; the double plays the nearest SKSE in its place, with the runtime " + runtimeLabel(edition, runtime) +
         " as it is, so that the plug-in's own answer can be seen";
}

std::string databaseFileName(Edition edition, uint32_t runtime) {
  if (edition != Edition::SpecialEdition || runtime == kRuntime1_5_39 || majorMinor(runtime) < kMajorMinor1_5)
    return "";
  char text[64];
  const RuntimeParts p = partsOf(runtime);
  std::snprintf(text, sizeof text, "%s-%u-%u-%u-0.bin",
                majorMinor(runtime) == kMajorMinor1_5 ? "version" : "versionlib", p.major, p.minor, p.build);
  return text;
}

int databaseFormat(uint32_t runtime) {
  if (majorMinor(runtime) == kMajorMinor1_5) return 1;
  return majorMinor(runtime) == kMajorMinor1_6 ? 2 : 5;
}

uint32_t databaseOffsetCount(Edition edition, uint32_t runtime) {
  if (edition != Edition::SpecialEdition) return 0;
  switch (versionOf(edition, runtime)) {
    case kRuntime1_7_99:
      return 565073;
    case kRuntime1_7_104:
      return 565759;
    default:
      return 0;
  }
}

std::string documentsFolderName(Edition edition, uint32_t runtime) {
  if (edition == Edition::VR) return "Skyrim VR";
  // Epic's game would keep "Skyrim Special Edition EPIC", but no SKSE for it
  // writes there: the stand-in, a Steam build, writes below Steam's folder.
  return storeOf(edition, runtime) == Store::Gog ? "Skyrim Special Edition GOG" : "Skyrim Special Edition";
}

size_t cellWorldspaceOffset(Edition edition, uint32_t runtime) {
  return edition == Edition::SpecialEdition && versionOf(edition, runtime) >= kRuntime1_6_629 ? 0x128 : 0x120;
}

size_t cellUnusedWorldspaceOffset(Edition edition, uint32_t runtime) {
  return cellWorldspaceOffset(edition, runtime) == 0x128 ? 0x120 : 0x128;
}

size_t scriptVmMachineOffset(Edition edition, uint32_t runtime) {
  return edition == Edition::SpecialEdition && versionOf(edition, runtime) >= kRuntime1_7_99 ? 0x210 : 0x200;
}

size_t scriptVmOtherOffset(Edition edition, uint32_t runtime) {
  return scriptVmMachineOffset(edition, runtime) == 0x210 ? 0x200 : 0x210;
}

}  // namespace nimbrel_sim
