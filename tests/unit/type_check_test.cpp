// The type check against run-time type information written by hand: an image
// in a buffer, objects outside it, and a reader that fails the test on any
// read the check did not first have reported readable. Then the platform's
// own answers, and the check on this process's memory from several threads.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "game/type_check.h"
#include "platform/platform.h"
#include "support/fake_rtti.h"

using namespace NimbrelVR;
using game::TypeVerdict;

namespace {

constexpr uintptr_t kBase = 0x140000000;
constexpr size_t kImageSize = 0x10000;
constexpr uintptr_t kHeap = 0x20000000;

// A process with an image in a buffer and 8-byte objects outside it.
class FakeMemory {
 public:
  FakeMemory() = default;
  FakeMemory(const FakeMemory&) = delete;

  std::vector<uint8_t> image = std::vector<uint8_t>(kImageSize, 0xCC);
  std::map<uintptr_t, uint64_t> objects;               // readable words outside the image
  std::vector<std::pair<uintptr_t, uintptr_t>> holes;  // unreadable stretches of the image
  int queries = 0;
  int loads = 0;
  testsupport::RttiWriter writer{image.data(), image.size(), kBase, kBase};
  game::MemoryReader reader{this, &Readable, &Load<uint64_t>, &Load<uint32_t>, &Load<uint8_t>};
  game::TypeScope scope{&reader, kBase, kImageSize};

  uintptr_t NewObject(uint64_t word) {
    const uintptr_t at = kHeap + 0x100 * objects.size();
    objects[at] = word;
    return at;
  }
  void Put32(uintptr_t address, uint32_t value) { std::memcpy(&image[address - kBase], &value, 4); }
  void Put64(uintptr_t address, uint64_t value) { std::memcpy(&image[address - kBase], &value, 8); }
  void Count() { queries = loads = 0; }

 private:
  static size_t Readable(const void* context, uintptr_t address, size_t wanted) {
    auto* self = static_cast<FakeMemory*>(const_cast<void*>(context));
    ++self->queries;
    size_t readable = 0;
    if (self->objects.count(address)) {
      readable = std::min<size_t>(wanted, 8);
    } else if (address >= kBase && address < kBase + kImageSize) {
      readable = std::min<size_t>(wanted, kBase + kImageSize - address);
      for (const auto& [begin, end] : self->holes) {
        if (begin < address + readable && end > address) readable = begin > address ? begin - address : 0;
      }
    }
    if (readable) self->granted_.push_back({address, address + readable});
    return readable;
  }

  template <typename T>
  static T Load(const void* context, uintptr_t address) {
    auto* self = static_cast<FakeMemory*>(const_cast<void*>(context));
    ++self->loads;
    EXPECT_EQ(address % sizeof(T), 0u) << "a misaligned load at 0x" << std::hex << address;
    const bool granted = std::any_of(self->granted_.begin(), self->granted_.end(), [&](const auto& range) {
      return address >= range.first && address + sizeof(T) <= range.second;
    });
    EXPECT_TRUE(granted) << "a read at 0x" << std::hex << address << " never reported readable";
    if (auto object = self->objects.find(address); object != self->objects.end()) {
      EXPECT_EQ(sizeof(T), 8u) << "an object's first word read in parts";
      return static_cast<T>(object->second);
    }
    const bool inImage = address >= kBase && address + sizeof(T) <= kBase + kImageSize;
    EXPECT_TRUE(inImage) << "a read outside the image at 0x" << std::hex << address;
    if (!granted || !inImage) return 0;
    T value;
    std::memcpy(&value, &self->image[address - kBase], sizeof(T));
    return value;
  }

  std::vector<std::pair<uintptr_t, uintptr_t>> granted_;
};

// The engine's classes the checks care about, and one object of each.
struct Game {
  FakeMemory memory;
  uintptr_t form = memory.writer.Descriptor(".?AVTESForm@@");
  uintptr_t weather = memory.writer.Descriptor(".?AVTESWeather@@");
  uintptr_t sky = memory.writer.Descriptor(".?AVSky@@");
  uintptr_t refr = memory.writer.Descriptor(".?AVTESObjectREFR@@");
  uintptr_t actor = memory.writer.Descriptor(".?AVActor@@");
  uintptr_t character = memory.writer.Descriptor(".?AVCharacter@@");
  uintptr_t player = memory.writer.Descriptor(".?AVPlayerCharacter@@");
  uintptr_t vm = memory.writer.Descriptor(".?AVVirtualMachine@Internal@BSScript@@");
  uintptr_t ivm = memory.writer.Descriptor(".?AVIVirtualMachine@BSScript@@");
  testsupport::RttiWriter::Class weatherClass = memory.writer.Define(weather, {form});
  testsupport::RttiWriter::Class skyClass = memory.writer.Define(sky, {});
  testsupport::RttiWriter::Class playerClass = memory.writer.Define(player, {character, actor, refr, form});
  testsupport::RttiWriter::Class vmClass = memory.writer.Define(vm, {ivm});
  uintptr_t aWeather = memory.NewObject(weatherClass.vtable);
  uintptr_t theSky = memory.NewObject(skyClass.vtable);
  uintptr_t thePlayer = memory.NewObject(playerClass.vtable);
  uintptr_t theVm = memory.NewObject(vmClass.vtable);

  game::TypeFinding Check(uintptr_t object, uintptr_t expected) {
    game::TypeFinding finding{};
    const bool passed = game::CheckType(memory.scope, object, expected, &finding);
    EXPECT_EQ(passed, finding.verdict == TypeVerdict::Match);
    EXPECT_LT(std::strlen(finding.text), sizeof finding.text);
    return finding;
  }
};

TEST(TypeCheck, PassesTheClassAndWhatDerivesFromIt) {
  Game game;
  EXPECT_EQ(game.Check(game.aWeather, game.weather).verdict, TypeVerdict::Match);
  EXPECT_EQ(game.Check(game.aWeather, game.form).verdict, TypeVerdict::Match);
  EXPECT_EQ(game.Check(game.thePlayer, game.player).verdict, TypeVerdict::Match);
  EXPECT_EQ(game.Check(game.thePlayer, game.actor).verdict, TypeVerdict::Match);
  EXPECT_EQ(game.Check(game.thePlayer, game.form).verdict, TypeVerdict::Match);
  EXPECT_EQ(game.Check(game.theVm, game.ivm).verdict, TypeVerdict::Match);

  // A base is not its derived class, and neighbours are not each other.
  const game::TypeFinding sky = game.Check(game.theSky, game.weather);
  EXPECT_EQ(sky.verdict, TypeVerdict::OtherClass);
  EXPECT_STREQ(sky.text, "an object of class Sky (.?AVSky@@)");
  EXPECT_EQ(sky.vtable, game.skyClass.vtable);
  EXPECT_EQ(sky.object, game.theSky);
  EXPECT_STREQ(game.Check(game.aWeather, game.player).text, "an object of class TESWeather (.?AVTESWeather@@)");
  EXPECT_STREQ(game.Check(game.theVm, game.sky).text,
               "an object of class BSScript::Internal::VirtualMachine (.?AVVirtualMachine@Internal@BSScript@@)");
}

// A base with a vtable of its own inside an object (the effect art's TESModel
// at +0x40 of its BGSProjectile): the place passes at its displacement, with
// the base named there, and as a part of whatever the complete object derives
// from; the object's start, another part or another base there do not. A
// guard repeats such a check with one load, as any other.
TEST(TypeCheck, APartOfAnObjectPassesAtItsPlaceUnderItsBasesName) {
  Game game;
  testsupport::RttiWriter& w = game.memory.writer;
  const uintptr_t projectile = w.Descriptor(".?AVBGSProjectile@@");
  const testsupport::RttiWriter::Class cls =
      w.Define(projectile, {game.form, w.Descriptor(".?AVTESModel@@"), w.Descriptor(".?AVBGSPreloadable@@")}, 0,
               {0, 0x40, 0x68});
  const uintptr_t start = game.memory.NewObject(cls.vtable);
  const uintptr_t model = game.memory.NewObject(w.PartVtable(cls, 0x40));
  const uintptr_t preloadable = game.memory.NewObject(w.PartVtable(cls, 0x68));
  const game::TypeExpectation modelPart{projectile, 0x40, ".?AVTESModel@@", ".?AVBGSProjectile@@"};
  auto check = [&](uintptr_t place, const game::TypeExpectation& expected) {
    game::TypeFinding finding{};
    const bool passed = game::CheckType(game.memory.scope, place, expected, &finding);
    EXPECT_EQ(passed, finding.verdict == TypeVerdict::Match) << finding.text;
    return std::string(finding.text);
  };
  EXPECT_EQ(check(model, modelPart), "");
  EXPECT_EQ(check(model, {game.form, 0x40}), "");
  const std::string object = "object of class BGSProjectile (.?AVBGSProjectile@@)";
  EXPECT_EQ(check(start, modelPart), "an " + object);
  EXPECT_EQ(check(model, {projectile}), "the vtable of the part at +0x40 of an " + object);
  EXPECT_EQ(check(preloadable, modelPart), "the vtable of the part at +0x68 of an " + object);
  EXPECT_EQ(check(preloadable, {projectile, 0x68, ".?AVTESModel@@"}),
            "the vtable of the part at +0x68 of an " + object + ", where no base .?AVTESModel@@ lies");

  game::TypeGuard guard;
  guard.Expect(modelPart);
  ASSERT_TRUE(guard.Check(game.memory.scope, model));
  game.memory.Count();
  EXPECT_TRUE(guard.Check(game.memory.scope, model));
  EXPECT_EQ(game.memory.loads, 1);
  EXPECT_FALSE(guard.Check(game.memory.scope, preloadable));

  // Which base a place is, by a prefix of its name after the class code.
  game::PartOfObject part{};
  ASSERT_TRUE(game::FindPartBase(game.memory.scope, preloadable, "BGSPre", &part, nullptr));
  EXPECT_EQ(part.part, 0x68u);
  EXPECT_EQ(part.completeDescriptor, projectile);
  EXPECT_STREQ(part.base, ".?AVBGSPreloadable@@");
  ASSERT_TRUE(game::FindPartBase(game.memory.scope, model, "BGSPre", &part, nullptr));
  EXPECT_STREQ(part.base, "");
  game::TypeFinding finding{};
  EXPECT_FALSE(game::FindPartBase(game.memory.scope, game.memory.NewObject(kHeap), "BGSPre", &part, &finding));
  EXPECT_EQ(finding.verdict, TypeVerdict::OutsideImage);
}

// Each case damages a fresh game, then checks one object against one class.
struct Damage {
  const char* name;
  std::function<uintptr_t(Game&)> object;  // damages, and gives the object to check (against TESWeather)
  TypeVerdict verdict;
  const char* words;  // in the finding's text
};

TEST(TypeCheck, NamesWhatItFindsInstead) {
  const Damage cases[] = {
      {"null", [](Game&) { return uintptr_t{0}; }, TypeVerdict::Null, "a null pointer"},
      {"misaligned", [](Game& g) { return g.aWeather + 4; }, TypeVerdict::Misaligned, "misaligned address"},
      {"unreadable object", [](Game&) { return kHeap - 0x1000; }, TypeVerdict::Unreadable,
       "unreadable memory at 0x1ffff000"},
      {"word just past the image", [](Game& g) { return g.memory.NewObject(kBase + kImageSize); },
       TypeVerdict::OutsideImage, "outside the game's image"},
      {"a float pair for a word", [](Game& g) { return g.memory.NewObject(0x3F8000003F800000); },
       TypeVerdict::OutsideImage, "0x3f8000003f800000"},
      {"misaligned vtable", [](Game& g) { return g.memory.NewObject(g.weatherClass.vtable + 4); }, TypeVerdict::NotRtti,
       "no vtable: not aligned"},
      {"vtable at the image's start", [](Game& g) { return g.memory.NewObject(kBase); }, TypeVerdict::NotRtti,
       "no locator slot"},
      {"locator outside the image",
       [](Game& g) {
         g.memory.Put64(g.weatherClass.vtable - 8, kHeap);
         return g.aWeather;
       },
       TypeVerdict::NotRtti, "locator 0x20000000 is not in the game's image"},
      {"code where the locator should be",
       [](Game& g) { return g.memory.NewObject(kBase + 0x1000); },  // 0xCC fill: slot -1 points outside
       TypeVerdict::NotRtti, "locator 0xcccccccccccccccc"},
      {"bad signature",
       [](Game& g) {
         g.memory.Put32(g.weatherClass.locator, 0);
         return g.aWeather;
       },
       TypeVerdict::NotRtti, "signature is 0, not 1"},
      {"own offset elsewhere",
       [](Game& g) {
         g.memory.Put32(g.weatherClass.locator + 20, g.memory.writer.Offset(g.weatherClass.locator) + 8);
         return g.aWeather;
       },
       TypeVerdict::NotRtti, "its own offset"},
      {"descriptor before the image",
       [](Game& g) {
         g.memory.Put32(g.weatherClass.locator + 12, 0x80000000);
         return g.aWeather;
       },
       TypeVerdict::NotRtti, "type descriptor offset 0x80000000"},
      {"hierarchy past the image",
       [](Game& g) {
         g.memory.Put32(g.weatherClass.locator + 16, kImageSize - 4);
         return g.aWeather;
       },
       TypeVerdict::NotRtti, "class hierarchy offset"},
      {"more bases than the cap",
       [](Game& g) {
         g.memory.Put32(g.weatherClass.hierarchy + 8, game::kMaxBaseClasses + 1);
         return g.aWeather;
       },
       TypeVerdict::NotRtti, "lists 129 classes"},
      {"base list running past the image",
       [](Game& g) {
         g.memory.Put32(g.weatherClass.hierarchy + 12, kImageSize - 4);
         return g.aWeather;
       },
       TypeVerdict::NotRtti, "list of base classes is not in the game's image"},
      {"base class descriptor outside",
       [](Game& g) {
         g.memory.Put32(g.weatherClass.array + 4, 0xFFFFFFF0);
         return g.aWeather;
       },
       TypeVerdict::NotRtti, "base class 1 is not in the game's image"},
      {"hierarchy of another class",
       [](Game& g) {
         g.memory.Put32(g.weatherClass.locator + 16, g.memory.writer.Offset(g.skyClass.hierarchy));
         return g.aWeather;
       },
       TypeVerdict::NotRtti, "does not begin with its own class"},
      {"locator in an unreadable page",
       [](Game& g) {
         g.memory.holes.push_back({g.weatherClass.locator, g.weatherClass.locator + 24});
         return g.aWeather;
       },
       TypeVerdict::NotRtti, "unreadable"},
      {"a descriptor with no name",
       [](Game& g) {
         const uintptr_t nameless = g.memory.writer.Descriptor("\x01\x02garbage");
         return g.memory.NewObject(g.memory.writer.Define(nameless, {}).vtable);
       },
       TypeVerdict::NotRtti, "holds no class name"},
      {"a derived object's second part",
       [](Game& g) {
         const uintptr_t storm = g.memory.writer.Descriptor(".?AVStorm@@");
         return g.memory.NewObject(g.memory.writer.Define(storm, {g.weather}, 0x10).vtable);
       },
       TypeVerdict::OtherClass, "the part at +0x10 of an object of class Storm (.?AVStorm@@)"},
      {"a template's name stays decorated",
       [](Game& g) {
         const uintptr_t sink = g.memory.writer.Descriptor(".?AV?$BSTEventSink@UMenuOpenCloseEvent@@@@");
         return g.memory.NewObject(g.memory.writer.Define(sink, {}).vtable);
       },
       TypeVerdict::OtherClass, "class .?AV?$BSTEventSink@UMenuOpenCloseEvent@@@@"},
  };
  for (const Damage& damage : cases) {
    SCOPED_TRACE(damage.name);
    Game game;
    const uintptr_t object = damage.object(game);
    const game::TypeFinding found = game.Check(object, game.weather);
    EXPECT_EQ(found.verdict, damage.verdict) << found.text;
    EXPECT_NE(std::strstr(found.text, damage.words), nullptr) << found.text;
    EXPECT_EQ(found.object, object);
  }
}

TEST(TypeCheck, StopsAtItsBoundsAndTheImagesEnd) {
  Game game;
  // A hierarchy as long as the cap: the last base still counts.
  std::vector<uintptr_t> bases;
  for (uint32_t i = 1; i + 1 < game::kMaxBaseClasses; ++i)
    bases.push_back(game.memory.writer.Descriptor((".?AVBase" + std::to_string(i) + "@@").c_str()));
  bases.push_back(game.form);
  const uintptr_t deep = game.memory.NewObject(game.memory.writer.Define(game.player, bases).vtable);
  game.memory.Count();
  EXPECT_EQ(game.Check(deep, game.form).verdict, TypeVerdict::Match);
  EXPECT_LT(game.memory.loads, 2 * static_cast<int>(game::kMaxBaseClasses) + 16);
  EXPECT_LE(game.memory.queries, 8);  // one readable stretch serves the walk

  // A name longer than the check reads is cut, and said to be.
  const std::string longName = ".?AV" + std::string(200, 'L') + "@@";
  const uintptr_t named = game.memory.writer.Descriptor(longName.c_str());
  const game::TypeFinding cut = game.Check(game.memory.NewObject(game.memory.writer.Define(named, {}).vtable), 0);
  EXPECT_EQ(cut.verdict, TypeVerdict::OtherClass);
  EXPECT_EQ(std::string(cut.text), "an object of class " + longName.substr(0, game::kMaxClassNameBytes) + "...");

  // A name that runs into the image's end is read up to it and no further
  // (the reader fails the test on a read past it).
  const uintptr_t last = kBase + kImageSize - 0x18;
  game.memory.Put32(game.weatherClass.locator + 12, game.memory.writer.Offset(last));
  for (size_t i = 0; i < 0x18; ++i) game.memory.image[last - kBase + i] = 0;
  std::memcpy(&game.memory.image[last + 0x10 - kBase], ".?AVEnd@", 8);
  game.memory.Put32(game.weatherClass.baseClasses[0], game.memory.writer.Offset(last));
  EXPECT_STREQ(game.Check(game.aWeather, game.sky).text, "an object of class .?AVEnd@...");
}

TEST(TypeGuard, RepeatsCompareTheVtableWordAndWalkOnlyNewOnes) {
  Game game;
  game::TypeGuard guard;
  guard.Expect(game.weather);
  game::TypeFinding found{};
  ASSERT_TRUE(guard.Check(game.memory.scope, game.aWeather, &found));
  EXPECT_EQ(found.verdict, TypeVerdict::Match);

  // The same object again: its first word, read without asking, and a compare.
  game.memory.Count();
  EXPECT_TRUE(guard.Check(game.memory.scope, game.aWeather, &found));
  EXPECT_EQ(game.memory.queries, 0);
  EXPECT_EQ(game.memory.loads, 1);

  // Another weather: one query for its first word, no walk.
  const uintptr_t another = game.memory.NewObject(game.weatherClass.vtable);
  game.memory.Count();
  EXPECT_TRUE(guard.Check(game.memory.scope, another));
  EXPECT_EQ(game.memory.queries, 1);
  EXPECT_EQ(game.memory.loads, 1);

  // The object at the same address turns into something else: walked again.
  game.memory.objects[another] = game.skyClass.vtable;
  game.memory.Count();
  EXPECT_FALSE(guard.Check(game.memory.scope, another, &found));
  EXPECT_GT(game.memory.loads, 5);
  EXPECT_STREQ(found.text, "an object of class Sky (.?AVSky@@)");
  game.memory.objects[another] = kHeap + 0x10;
  EXPECT_FALSE(guard.Check(game.memory.scope, another, &found));
  EXPECT_EQ(found.verdict, TypeVerdict::OutsideImage);
  game.memory.objects[another] = game.weatherClass.vtable;
  game.memory.Count();
  EXPECT_TRUE(guard.Check(game.memory.scope, another));
  EXPECT_EQ(game.memory.loads, 1);

  // What failed is never remembered as passed; null and unreadable never pass.
  EXPECT_FALSE(guard.Check(game.memory.scope, game.theSky));
  EXPECT_FALSE(guard.Check(game.memory.scope, game.theSky));
  EXPECT_FALSE(guard.Check(game.memory.scope, 0, &found));
  EXPECT_EQ(found.verdict, TypeVerdict::Null);
  EXPECT_FALSE(guard.Check(game.memory.scope, kHeap - 8, &found));
  EXPECT_EQ(found.verdict, TypeVerdict::Unreadable);

  // Another expected class forgets what passed for the old one.
  guard.Expect(game.sky);
  EXPECT_FALSE(guard.Check(game.memory.scope, game.aWeather));
  EXPECT_TRUE(guard.Check(game.memory.scope, game.theSky));
  // Several classes that derive from a field's class are kept side by side.
  guard.Expect(game.form);
  for (int round = 0; round < 2; ++round) {
    EXPECT_TRUE(guard.Check(game.memory.scope, game.aWeather));
    EXPECT_TRUE(guard.Check(game.memory.scope, game.thePlayer));
  }
  game.memory.Count();
  EXPECT_TRUE(guard.Check(game.memory.scope, game.aWeather));
  EXPECT_EQ(game.memory.loads, 1);
}

long PageSize() { return sysconf(_SC_PAGESIZE); }

TEST(PlatformMemory, TellsReadablePagesFromProtNoneAndUnmappedOnes) {
  const size_t page = static_cast<size_t>(PageSize());
  auto* pages =
      static_cast<uint8_t*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
  ASSERT_EQ(munmap(pages + 2 * page, page), 0);
  const auto at = [&](size_t offset) { return reinterpret_cast<uintptr_t>(pages) + offset; };

  EXPECT_EQ(platform::ReadableBytes(at(16), 8), 8u);
  EXPECT_EQ(platform::ReadableBytes(at(16), 3 * page), page - 16);  // up to the PROT_NONE page
  EXPECT_EQ(platform::ReadableBytes(at(page - 4), 8), 4u);
  EXPECT_EQ(platform::ReadableBytes(at(page + 8), 8), 0u);
  EXPECT_EQ(platform::ReadableBytes(at(2 * page + 8), 8), 0u);
  EXPECT_EQ(platform::ReadableBytes(0, 8), 0u);
  EXPECT_EQ(platform::ReadableBytes(UINTPTR_MAX - 3, 8), 0u);
  munmap(pages, 2 * page);
}

// This program stands for the game: its own image holds the type information.
alignas(4096) uint8_t gImageBytes[0x4000];

TEST(PlatformMemory, ChecksThisProcessFromSeveralThreads) {
  const game::TypeScope scope = game::GameScope();
  const auto inImage = [&](uintptr_t address) {
    return address >= scope.imageBase && address - scope.imageBase < scope.imageSize;
  };
  EXPECT_EQ(scope.imageBase, platform::MainImageBase());
  EXPECT_TRUE(inImage(reinterpret_cast<uintptr_t>(&PageSize)));    // code
  EXPECT_TRUE(inImage(reinterpret_cast<uintptr_t>(gImageBytes)));  // zeroed data
  EXPECT_TRUE(inImage(reinterpret_cast<uintptr_t>(gImageBytes + sizeof gImageBytes - 1)));

  testsupport::RttiWriter writer(gImageBytes, sizeof gImageBytes, reinterpret_cast<uintptr_t>(gImageBytes),
                                 scope.imageBase);
  const uintptr_t form = writer.Descriptor(".?AVTESForm@@");
  const uintptr_t weather = writer.Descriptor(".?AVTESWeather@@");
  const uintptr_t sky = writer.Descriptor(".?AVSky@@");
  const uintptr_t weatherVtable = writer.Define(weather, {form}).vtable;
  const uintptr_t skyVtable = writer.Define(sky, {}).vtable;
  auto* objects = new uint64_t[3]{weatherVtable, weatherVtable, skyVtable};
  const size_t page = static_cast<size_t>(PageSize());
  void* sealed = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(sealed, MAP_FAILED);

  game::TypeGuard guard;
  guard.Expect(weather);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        const int pick = (i + t) % 4;
        game::TypeFinding found{};
        const uintptr_t object =
            pick == 3 ? reinterpret_cast<uintptr_t>(sealed) : reinterpret_cast<uintptr_t>(&objects[pick]);
        const bool passed = guard.Check(scope, object, &found);
        const TypeVerdict expected = pick < 2    ? TypeVerdict::Match
                                     : pick == 2 ? TypeVerdict::OtherClass
                                                 : TypeVerdict::Unreadable;
        if (passed != (pick < 2) || found.verdict != expected) wrong.fetch_add(1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);

  game::TypeFinding found{};
  EXPECT_FALSE(game::CheckType(scope, reinterpret_cast<uintptr_t>(&objects[2]), weather, &found));
  EXPECT_STREQ(found.text, "an object of class Sky (.?AVSky@@)");
  objects[2] = reinterpret_cast<uintptr_t>(objects);  // a pointer into the heap
  EXPECT_FALSE(game::CheckType(scope, reinterpret_cast<uintptr_t>(&objects[2]), weather, &found));
  EXPECT_EQ(found.verdict, TypeVerdict::OutsideImage);
  // A moved field may point just past a heap block, where an address
  // sanitizer keeps its red zone: the check reads it as the game would.
  EXPECT_FALSE(game::CheckType(scope, reinterpret_cast<uintptr_t>(&objects[3]), weather, &found));
  munmap(sealed, page);
  delete[] objects;
}

}  // namespace
