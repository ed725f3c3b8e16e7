// The type check on arbitrary memory: the input is a game image and the word
// an object holds. The reader stops the run on any read the check did not
// first have reported readable, on any read outside the image but the
// object's first word, and on a misaligned load. The check must end within
// its bound of reads, say what it found in a finished line, and a guard must
// answer as the one-off check does, its repeat a single read.
//
// Input: u32 the expectation: its low 16 bits the expected type descriptor's
// image offset, its high 16 bits the part of the complete object the place
// is (0: its start; otherwise the base there must be named TESModel); u64 the object's
// word (below the image's size: that image offset, else the raw value); u32
// unreadable stretches (bit i < 31: the image's 256-byte page i; bit 31: the
// object itself); then the image's bytes (at most 64 KiB).
//
// Seeds (fuzz/corpus/type_check/): an image with TESForm, TESWeather, Sky and
// a PlayerCharacter four bases deep, written as the compiler lays them out,
// with the object a weather checked for TESWeather (match), TESForm (a base),
// Sky (another class); the player for TESForm; the second part of a derived
// object; a locator whose signature, own offset or page is wrong; a name at
// the image's end; the word pointing outside.
#include <algorithm>
#include <cstring>
#include <vector>

#include "game/type_check.h"
#include "support/fuzz_support.h"

using namespace NimbrelVR::game;

namespace {

constexpr uintptr_t kBase = 0x140000000;
constexpr uintptr_t kObject = 0x7ff000001000;
constexpr size_t kMaxImage = 0x10000;
constexpr size_t kPage = 0x100;

struct Memory {
  const uint8_t* image;
  size_t imageSize;
  uint32_t holes;
  uint64_t objectWord;
  int loads = 0;
  int queries = 0;
  std::vector<std::pair<uintptr_t, uintptr_t>> granted{};

  bool Hole(uintptr_t address) const {
    const uintptr_t page = (address - kBase) / kPage;
    return page < 31 && (holes >> page & 1) != 0;
  }
};

size_t Readable(const void* context, uintptr_t address, size_t wanted) {
  auto* memory = static_cast<Memory*>(const_cast<void*>(context));
  ++memory->queries;
  size_t readable = 0;
  if (address == kObject) {
    readable = (memory->holes >> 31) ? 0 : std::min<size_t>(wanted, 8);
  } else if (address >= kBase && address - kBase < memory->imageSize) {
    const size_t toEnd = memory->imageSize - (address - kBase);
    while (readable < std::min(wanted, toEnd) && !memory->Hole(address + readable)) ++readable;
  }
  if (readable) memory->granted.push_back({address, address + readable});
  return readable;
}

template <typename T>
T Load(const void* context, uintptr_t address) {
  auto* memory = static_cast<Memory*>(const_cast<void*>(context));
  ++memory->loads;
  FUZZ_CHECK(address % sizeof(T) == 0, "a misaligned load of %zu at 0x%llx", sizeof(T), (unsigned long long)address);
  const bool granted = std::any_of(memory->granted.begin(), memory->granted.end(), [&](const auto& range) {
    return address >= range.first && address + sizeof(T) <= range.second;
  });
  FUZZ_CHECK(granted, "a read at 0x%llx never reported readable", (unsigned long long)address);
  if (address == kObject) {
    FUZZ_CHECK(sizeof(T) == 8, "the object's word read in parts");
    return static_cast<T>(memory->objectWord);
  }
  FUZZ_CHECK(address >= kBase && address - kBase + sizeof(T) <= memory->imageSize, "a read outside the image at 0x%llx",
             (unsigned long long)address);
  T value;
  std::memcpy(&value, memory->image + (address - kBase), sizeof(T));
  return value;
}

template <typename T>
T Take(const uint8_t*& data, size_t& size) {
  T value{};
  const size_t taken = std::min(size, sizeof(T));
  std::memcpy(&value, data, taken);
  data += taken;
  size -= taken;
  return value;
}

void CheckFinding(const TypeFinding& finding, bool passed) {
  FUZZ_CHECK(std::memchr(finding.text, '\0', sizeof finding.text) != nullptr, "an unfinished text");
  FUZZ_CHECK(passed == (finding.verdict == TypeVerdict::Match), "verdict %d for %d", int(finding.verdict), passed);
  FUZZ_CHECK(passed == (finding.text[0] == '\0'), "text \"%s\" for %d", finding.text, passed);
  for (const char* c = finding.text; *c; ++c) FUZZ_CHECK(*c >= 0x20 && *c < 0x7F, "unprintable text: %s", finding.text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint32_t expectation = Take<uint32_t>(data, size);
  const uint64_t word = Take<uint64_t>(data, size);
  const uint32_t holes = Take<uint32_t>(data, size);
  const size_t imageSize = std::min(size, kMaxImage);
  // The image in memory of its own, so that the sanitizer sees any read past it.
  std::vector<uint8_t> image(data, data + imageSize);

  Memory memory{image.data(), imageSize, holes, word < imageSize ? kBase + word : word};
  const MemoryReader reader{&memory, &Readable, &Load<uint64_t>, &Load<uint32_t>, &Load<uint8_t>};
  const TypeScope scope{&reader, kBase, imageSize};
  const uint32_t part = expectation >> 16;
  const TypeExpectation expected{kBase + (expectation & 0xFFFF), part, part ? ".?AVTESModel@@" : nullptr,
                                 ".?AVTESWeather@@"};

  TypeFinding once{};
  const bool passed = CheckType(scope, kObject, expected, &once);
  CheckFinding(once, passed);
  const int bound = 2 * static_cast<int>(kMaxBaseClasses) + static_cast<int>(kMaxClassNameBytes) + 16;
  FUZZ_CHECK(memory.loads <= bound && memory.queries <= bound, "%d loads, %d queries", memory.loads, memory.queries);
  if (passed) FUZZ_CHECK(memory.objectWord - kBase < imageSize, "a match with a vtable outside the image");

  TypeGuard guard;
  guard.Expect(expected);
  TypeFinding first{};
  FUZZ_CHECK(guard.Check(scope, kObject, &first) == passed && first.verdict == once.verdict &&
                 std::strcmp(first.text, once.text) == 0,
             "the guard found \"%s\", the check \"%s\"", first.text, once.text);
  memory.loads = memory.queries = 0;
  TypeFinding again{};
  FUZZ_CHECK(guard.Check(scope, kObject, &again) == passed && again.verdict == once.verdict,
             "a repeat found \"%s\" after \"%s\"", again.text, once.text);
  if (passed) FUZZ_CHECK(memory.loads == 1 && memory.queries == 0, "a repeat cost %d loads", memory.loads);
  FUZZ_CHECK(!guard.Check(scope, 0) && !guard.Check(scope, kObject + 4), "null or misaligned passed");

  // Which base the place is: within the same bounds, a finished answer.
  memory.loads = memory.queries = 0;
  PartOfObject found{};
  TypeFinding partFinding{};
  const bool isPart = FindPartBase(scope, kObject, "?$BSTEventSink@", &found, &partFinding);
  CheckFinding(partFinding, isPart);
  FUZZ_CHECK(memory.loads <= 2 * bound && memory.queries <= 2 * bound, "%d loads, %d queries for the part's base",
             memory.loads, memory.queries);
  if (isPart) {
    FUZZ_CHECK(std::memchr(found.base, '\0', sizeof found.base) != nullptr, "an unfinished base name");
    FUZZ_CHECK(!found.base[0] || std::strncmp(found.base + 4, "?$BSTEventSink@", 15) == 0, "base %s", found.base);
  }
  return 0;
}
