#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/code_patch.h"

using NimbrelVR::WriteRelativeJump;

namespace {

// The kernel's view of a page's protection, e.g. "r-x".
std::string ProtectionOf(const void* address) {
  FILE* maps = std::fopen("/proc/self/maps", "r");
  char line[512];
  std::string found;
  while (maps && std::fgets(line, sizeof line, maps)) {
    unsigned long start = 0, end = 0;
    char perms[5] = {};
    if (std::sscanf(line, "%lx-%lx %4s", &start, &end, perms) == 3 && reinterpret_cast<uintptr_t>(address) >= start &&
        reinterpret_cast<uintptr_t>(address) < end) {
      found.assign(perms, 3);
      break;
    }
  }
  if (maps) std::fclose(maps);
  return found;
}

// A page of "engine code": known bytes, read and execute only.
class CodePage : public ::testing::Test {
 protected:
  void SetUp() override {
    size_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    page_ = static_cast<uint8_t*>(mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(page_, MAP_FAILED);
    for (size_t i = 0; i < size_; ++i) page_[i] = static_cast<uint8_t>(i * 7 + 1);
    original_.assign(page_, page_ + size_);
    ASSERT_EQ(mprotect(page_, size_, PROT_READ | PROT_EXEC), 0);
  }
  void TearDown() override { munmap(page_, size_); }

  uint8_t* page_ = nullptr;
  size_t size_ = 0;
  std::vector<uint8_t> original_;
};

}  // namespace

TEST_F(CodePage, JumpBytesAreWrittenAndProtectionRestored) {
  uint8_t* site = page_ + 0x4bd;
  ASSERT_TRUE(WriteRelativeJump(site, site + 0x32));
  const uint8_t expected[5] = {0xE9, 0x2D, 0x00, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(site, expected, 5), 0);
  EXPECT_EQ(ProtectionOf(site), "r-x");
  // Nothing else on the page moved.
  EXPECT_EQ(std::memcmp(page_, original_.data(), 0x4bd), 0);
  EXPECT_EQ(std::memcmp(site + 5, original_.data() + 0x4bd + 5, size_ - 0x4bd - 5), 0);
}

TEST_F(CodePage, BackwardJumpHasANegativeDisplacement) {
  uint8_t* site = page_ + 0x200;
  ASSERT_TRUE(WriteRelativeJump(site, site - 0x100));
  const uint8_t expected[5] = {0xE9, 0xFB, 0xFE, 0xFF, 0xFF};  // -0x105
  EXPECT_EQ(std::memcmp(site, expected, 5), 0);
}

TEST_F(CodePage, DisplacementsBeyond32BitsWriteNothing) {
  uint8_t* site = page_ + 0x100;
  const auto base = reinterpret_cast<uintptr_t>(site) + 5;
  EXPECT_FALSE(WriteRelativeJump(site, reinterpret_cast<const uint8_t*>(base + 0x80000000ull)));
  EXPECT_FALSE(WriteRelativeJump(site, reinterpret_cast<const uint8_t*>(base - 0x80000001ull)));
  EXPECT_EQ(std::memcmp(page_, original_.data(), size_), 0);
  EXPECT_EQ(ProtectionOf(site), "r-x");
  // The extremes that still fit are written.
  EXPECT_TRUE(WriteRelativeJump(site, reinterpret_cast<const uint8_t*>(base + 0x7FFFFFFFull)));
  const uint8_t largest[5] = {0xE9, 0xFF, 0xFF, 0xFF, 0x7F};
  EXPECT_EQ(std::memcmp(site, largest, 5), 0);
  EXPECT_TRUE(WriteRelativeJump(site, reinterpret_cast<const uint8_t*>(base - 0x80000000ull)));
  const uint8_t smallest[5] = {0xE9, 0x00, 0x00, 0x00, 0x80};
  EXPECT_EQ(std::memcmp(site, smallest, 5), 0);
}

TEST(CodePatch, UnmappedSiteIsRefusedWithoutWriting) {
  const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* page = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  ASSERT_EQ(munmap(page, size), 0);
  auto* site = static_cast<uint8_t*>(page);
  EXPECT_FALSE(WriteRelativeJump(site, site + 0x32));
}
