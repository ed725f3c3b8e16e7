#include "image/runtimes.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace nimbrel_sim {

namespace {

constexpr uint32_t kMajorMinor1_5 = 0x0105;
constexpr uint32_t kMajorMinor1_6 = 0x0106;
constexpr uint32_t kMajorMinorVr = 0x0104;

uint32_t majorMinor(uint32_t runtime) { return runtime >> 16; }

// SKSE's own versions, packed like runtimes: 2.0.20, 2.1.5 and 2.2.6. The one
// for 1.5.39 and VR is the double's old word (the plug-in reads none of them).
constexpr uint32_t kHostSe1_5_39 = 0x02001000;
constexpr uint32_t kHost2_0_20 = 0x02000140;
constexpr uint32_t kHost2_1_5 = 0x02010050;
constexpr uint32_t kHost2_2_6 = 0x02020060;

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

bool parseRuntime(const std::string& text, uint32_t& packed, std::string& problem) {
  if (text.find('.') != std::string::npos) {
    std::vector<std::string> parts{""};
    for (char c : text) {
      if (c == '.')
        parts.emplace_back();
      else
        parts.back().push_back(c);
    }
    unsigned major = 0, minor = 0, build = 0, sub = 0;
    if ((parts.size() != 3 && parts.size() != 4) || !decimal(parts[0], 255, major) || !decimal(parts[1], 255, minor) ||
        !decimal(parts[2], 0xFFF, build) || (parts.size() == 4 && !decimal(parts[3], 0xF, sub))) {
      problem = "a runtime reads MAJOR.MINOR.BUILD[.SUB] (1.6.1170; build up to 4095, sub up to 15) or packed hex";
      return false;
    }
    packed = major << 24 | minor << 16 | build << 4 | sub;
    return true;
  }
  const std::string digits = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text.substr(2) : text;
  char* end = nullptr;
  const unsigned long value = std::strtoul(digits.c_str(), &end, 16);
  if (digits.empty() || digits.size() > 8 || *end || value == 0 || digits[0] == '-' || digits[0] == '+') {
    problem = "a runtime is a name (1.5.39, 1.5.97, 1.6.353, 1.6.1170) or the packed hex (0x01070630)";
    return false;
  }
  packed = static_cast<uint32_t>(value);
  return true;
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
      return majorMinor(runtime) >= kMajorMinor1_6 ? Layout::Ae1_6_1170 : Layout::Se1_5_97;
  }
}

bool layoutExact(Edition edition, uint32_t runtime) {
  if (edition == Edition::VR) return majorMinor(runtime) == kMajorMinorVr;
  return runtime == kRuntime1_5_39 || runtime == kRuntime1_5_97 || runtime == kRuntime1_6_353 ||
         runtime == kRuntime1_6_1170;
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
  if (!isAnniversaryRuntime(edition, runtime)) return kHost2_0_20;
  return runtime == kRuntime1_6_353 ? kHost2_1_5 : kHost2_2_6;
}

std::string hostName(Edition edition, uint32_t runtime) {
  if (edition == Edition::VR) return "SKSEVR";
  if (runtime == kRuntime1_5_39) return "SKSE64 for SE 1.5.39";
  const uint32_t version = hostVersionFor(edition, runtime);
  return std::string(isAnniversaryRuntime(edition, runtime) ? "SKSE for AE " : "SKSE64 ") + runtimeName(version);
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

int databaseFormat(uint32_t runtime) { return majorMinor(runtime) == kMajorMinor1_5 ? 1 : 2; }

size_t cellWorldspaceOffset(Edition edition, uint32_t runtime) {
  return edition == Edition::SpecialEdition && runtime >= kRuntime1_6_629 ? 0x128 : 0x120;
}

size_t cellUnusedWorldspaceOffset(Edition edition, uint32_t runtime) {
  return cellWorldspaceOffset(edition, runtime) == 0x128 ? 0x120 : 0x128;
}

}  // namespace nimbrel_sim
