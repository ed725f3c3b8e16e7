// Tests of the double's game data and script machine: the layouts the
// plug-in reads (written out here independently of the double's tables), the
// default data set, native calls through a function object's own table, and
// the checks on frames, the heap and registered functions.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "image/image.h"
#include "nimbrel_sim/game_double.h"
#include "test_support.h"

using nimbrel_sim::DataSet;
using nimbrel_sim::DefaultWeather;
using nimbrel_sim::Edition;
using nimbrel_sim::FormKind;
using nimbrel_sim::GameDouble;
using nimbrel_sim::image;
using nimbrel_sim::Options;
using nimbrel_sim::ScriptArg;

using namespace nimbrel_sim_tests;

namespace {

Options options(const char* name, Edition edition = Edition::SpecialEdition) {
  Options o;
  o.edition = edition;
  o.outDir = RunFolder("nimbrel-data-", name);
  return o;
}

bool anyFailureContains(const GameDouble& game, const std::string& text) {
  for (const auto& f : game.checks().failures())
    if (f.find(text) != std::string::npos) return true;
  return false;
}

std::string allFailures(const GameDouble& game) {
  std::string all;
  for (const auto& f : game.checks().failures()) all += f + "\n";
  return all;
}

template <typename Fn>
Fn at(const GameDouble& game, uint32_t offset) {
  return reinterpret_cast<Fn>(game.checks().imageBase() + offset);
}
void* address(const GameDouble& game, uint32_t offset) {
  return reinterpret_cast<void*>(game.checks().imageBase() + offset);
}
uint8_t* holder(const GameDouble& game, uint32_t offset) {
  return *reinterpret_cast<uint8_t* const*>(game.checks().imageBase() + offset);
}

template <typename T>
T read(const void* object, size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const uint8_t*>(object) + offset, sizeof value);
  return value;
}

void* formFromId(const GameDouble& game, uint32_t id) { return at<void* (*)(uint32_t)>(game, kFormFromId)(id); }
void* cast(const GameDouble& game, void* form, uint32_t to) {
  return at<void* (*)(void*, int32_t, void*, void*, int32_t)>(game, kDynamicCast)(form, 0, address(game, kRttiForm),
                                                                                  address(game, to), 0);
}

struct LoadedFile {
  std::string name;
  uint8_t modIndex, lightIndex;
  bool null;
};

// Walks the loaded-file list from the head node embedded in the registry.
std::vector<LoadedFile> loadedFiles(const GameDouble& game) {
  std::vector<LoadedFile> files;
  const uint8_t* node = holder(game, kDataRegistryHolder) + 0xd60;
  for (int guard = 0; node && guard < 100; ++guard) {
    auto* file = read<const uint8_t*>(node, 0);
    if (file)
      files.push_back({reinterpret_cast<const char*>(file + 0x58), file[0x478], file[0x47a], false});
    else
      files.push_back({"", 0, 0, true});
    node = read<const uint8_t*>(node, 8);
  }
  return files;
}

std::vector<void*> weathers(const GameDouble& game) {
  const uint8_t* registry = holder(game, kDataRegistryHolder);
  auto* array = read<void* const*>(registry, 0x520);
  uint32_t count = read<uint32_t>(registry, 0x530);
  return array ? std::vector<void*>(array, array + count) : std::vector<void*>{};
}

// The model component's get and set, through its own table at form + 0x40.
const char* getModelPath(void* art) {
  void* component = static_cast<uint8_t*>(art) + 0x40;
  auto* table = *static_cast<void* const* const*>(component);
  return reinterpret_cast<const char* (*)(void*)>(table[0x20 / 8])(component);
}
void setModelPath(void* art, const char* path) {
  void* component = static_cast<uint8_t*>(art) + 0x40;
  auto* table = *static_cast<void* const* const*>(component);
  reinterpret_cast<void (*)(void*, const char*)>(table[0x28 / 8])(component, path);
}

}  // namespace

// --- loaded files and forms ------------------------------------------------------

TEST(Data, LoadedFileListStartsInTheEmbeddedHeadNode) {
  GameDouble game(options("files"));
  game.data().addLoadedFile("Skyrim.esm", 0x00);
  game.data().addNullFileNode();
  game.data().addLoadedFile("Light.esl", 0xFE, 0x0A);
  auto files = loadedFiles(game);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].name, "Skyrim.esm");
  EXPECT_TRUE(files[1].null);
  EXPECT_EQ(files[2].name, "Light.esl");
  EXPECT_EQ(files[2].modIndex, 0xFE);
  EXPECT_EQ(files[2].lightIndex, 0x0A);
  EXPECT_TRUE(game.checks().ok());
}

TEST(Data, AFirstNullNodeLeavesTheHeadEmpty) {
  GameDouble game(options("files-null"));
  game.data().addNullFileNode();
  game.data().addLoadedFile("Nimbrel.esp", 0x12);
  auto files = loadedFiles(game);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_TRUE(files[0].null);
  EXPECT_EQ(files[1].name, "Nimbrel.esp");
  EXPECT_EQ(files[1].modIndex, 0x12);
}

TEST(Data, FormFieldsAndClassesOfEachKind) {
  GameDouble game(options("forms"));
  void* spell = game.data().addForm(FormKind::Spell, 0x12000901);
  void* weapon = game.data().addForm(FormKind::Weapon, 0x12000902);
  void* list = game.data().addFormList(0x12000903, {spell, nullptr, weapon});
  void* global = game.data().addGlobal(0x12000904, -2.5f);
  void* weather = game.data().addWeather(0x12000905, 0x0C, 42);
  game.data().addNullWeather();

  EXPECT_EQ(formFromId(game, 0x12000901), spell);
  EXPECT_EQ(read<uint32_t>(spell, 0x14), 0x12000901u);
  EXPECT_EQ(read<uint32_t>(list, 0x30), 3u);
  auto* entries = read<void* const*>(list, 0x20);
  ASSERT_NE(entries, nullptr);
  EXPECT_EQ(entries[0], spell);
  EXPECT_EQ(entries[1], nullptr);
  EXPECT_EQ(entries[2], weapon);
  EXPECT_EQ(read<float>(global, 0x34), -2.5f);
  EXPECT_EQ(read<uint8_t>(weather, 0x66e), 42);
  EXPECT_EQ(read<uint8_t>(weather, 0x66f), 0x0C);
  EXPECT_EQ(weathers(game), (std::vector<void*>{weather, nullptr}));

  EXPECT_EQ(cast(game, spell, kRttiSpell), spell);
  EXPECT_EQ(cast(game, spell, kRttiReference), nullptr);
  EXPECT_EQ(cast(game, weapon, kRttiForm), weapon);
  EXPECT_EQ(cast(game, weapon, kRttiSpell), nullptr);
  EXPECT_EQ(cast(game, list, kRttiFormList), list);
  EXPECT_EQ(cast(game, global, kRttiGlobal), global);
  EXPECT_EQ(cast(game, global, kRttiEffectArt), nullptr);
  EXPECT_TRUE(game.checks().ok()) << allFailures(game);

  // Replaced and removed ids.
  void* again = game.data().addForm(FormKind::ObjectReference, 0x12000901);
  EXPECT_NE(again, spell);
  EXPECT_EQ(formFromId(game, 0x12000901), again);
  EXPECT_EQ(cast(game, again, kRttiReference), again);
  game.data().removeForm(0x12000901);
  EXPECT_EQ(formFromId(game, 0x12000901), nullptr);
  EXPECT_EQ(game.data().findForm(0x12000901), nullptr);
  EXPECT_EQ(game.data().findForm(0x12000902), weapon);
}

TEST(Data, EffectArtModelComponentKeepsItsOwnCopyAndCountsSets) {
  GameDouble game(options("art"));
  void* art = game.data().addEffectArt(0x12000800, "magic\\a.nif", 2.0f);
  void* blank = game.data().addEffectArt(0x12000801, nullptr);
  EXPECT_EQ(cast(game, art, kRttiEffectArt), art);
  EXPECT_EQ(read<float>(art, 0xc4), 2.0f);
  EXPECT_EQ(game.data().fadeDuration(0x12000800), 2.0f);
  EXPECT_STREQ(getModelPath(art), "magic\\a.nif");
  EXPECT_EQ(getModelPath(blank), nullptr);
  EXPECT_EQ(game.data().modelPath(0x12000801), std::nullopt);

  char* temporary = static_cast<char*>(std::malloc(32));
  std::strcpy(temporary, "magic\\daytime\\a.nif");
  setModelPath(art, temporary);
  std::memset(temporary, 'x', 31);  // the caller's copy is gone
  std::free(temporary);
  EXPECT_STREQ(getModelPath(art), "magic\\daytime\\a.nif");
  EXPECT_EQ(game.data().modelPath(0x12000800), std::optional<std::string>("magic\\daytime\\a.nif"));
  EXPECT_EQ(game.data().modelPathSets(0x12000800), 1u);
  EXPECT_EQ(game.data().modelPathSets(0x12000801), 0u);
  EXPECT_EQ(game.checks().callCount("ModelPathSet"), 1u);
  EXPECT_TRUE(game.checks().ok()) << allFailures(game);

  // Not effect art: no fade duration, no path.
  game.data().addGlobal(0x12000802, 1.0f);
  EXPECT_TRUE(std::isnan(game.data().fadeDuration(0x12000802)));
  EXPECT_EQ(game.data().modelPath(0x12000802), std::nullopt);

  // A slot next to get and set is none of the component's operations.
  void* component = static_cast<uint8_t*>(art) + 0x40;
  auto* table = *static_cast<void* const* const*>(component);
  reinterpret_cast<void (*)(void*)>(table[3])(component);
  EXPECT_TRUE(anyFailureContains(game, "model component virtual slot 3"));
}

// --- the default data set -----------------------------------------------------------

TEST(DefaultData, FilesFormsAndWeathersOfTheSpecialEdition) {
  GameDouble game(options("default"));
  game.data().installDefaultData();
  auto files = loadedFiles(game);
  std::vector<std::string> names;
  for (const auto& f : files) names.push_back(f.null ? "(null)" : f.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Skyrim.esm", "Update.esm", "Dawnguard.esm", "(null)", "Nimbrel.esp"}));
  EXPECT_EQ(files[2].modIndex, 0x02);
  EXPECT_EQ(files[4].modIndex, 0x12);
  EXPECT_EQ(files[4].lightIndex, 0);

  EXPECT_EQ(game.data().pluginFormId(0x84B), 0x1200084Bu);
  EXPECT_EQ(game.data().dawnguardFormId(0x48C7), 0x020048C7u);
  for (uint32_t imod : {0x84Bu, 0x807u}) {
    void* form = formFromId(game, 0x12000000 | imod);
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(cast(game, form, kRttiImod), form);
  }

  // Spell lists hold distinct spells; reference lists hidden references in
  // no cell.
  std::set<void*> spells;
  for (uint32_t id : {0x8CDu, 0x8CEu, 0x87Cu, 0x87Du, 0xCEEu, 0xCEFu, 0xCF0u, 0xCF1u, 0xCF2u, 0xCF3u, 0xCF4u, 0xCF5u}) {
    void* list = cast(game, formFromId(game, 0x12000000 | id), kRttiFormList);
    ASSERT_NE(list, nullptr) << std::hex << id;
    uint32_t count = read<uint32_t>(list, 0x30);
    EXPECT_GE(count, 2u);
    EXPECT_LE(count, 3u);
    for (uint32_t i = 0; i < count; ++i) {
      void* spell = read<void* const*>(list, 0x20)[i];
      EXPECT_EQ(cast(game, spell, kRttiSpell), spell);
      EXPECT_TRUE(spells.insert(spell).second);
    }
  }
  std::set<void*> references;
  for (uint32_t id : {0x8D3u, 0x8D5u, 0x8D4u, 0x8D6u}) {
    void* list = cast(game, formFromId(game, 0x12000000 | id), kRttiFormList);
    ASSERT_NE(list, nullptr);
    ASSERT_GE(read<uint32_t>(list, 0x30), 2u);
    for (uint32_t i = 0; i < read<uint32_t>(list, 0x30); ++i) {
      void* ref = read<void* const*>(list, 0x20)[i];
      EXPECT_EQ(cast(game, ref, kRttiReference), ref);
      EXPECT_EQ(read<void*>(ref, 0x60), nullptr);  // parent cell
      EXPECT_TRUE(references.insert(ref).second);
    }
  }

  const std::pair<uint32_t, float> globals[] = {{0xA6A, 0.0f},  {0xCB5, 3.0f}, {0xCB6, 7.0f},
                                                {0xCB4, 30.0f}, {0xCF6, 1.5f}, {0xCF7, 1.5f}};
  for (const auto& [id, value] : globals) {
    void* global = cast(game, formFromId(game, 0x12000000 | id), kRttiGlobal);
    ASSERT_NE(global, nullptr);
    EXPECT_EQ(read<float>(global, 0x34), value) << std::hex << id;
  }

  std::vector<uint32_t> art = {0x800, 0x80C, 0x801, 0x811, 0xAB6, 0xAB7};
  for (uint32_t id = 0x814; id <= 0x81E; ++id) art.push_back(id);
  for (uint32_t id = 0xA6B; id <= 0xA76; ++id) art.push_back(id);
  ASSERT_EQ(art.size(), 29u);
  std::set<std::string> paths;
  for (uint32_t id : art) {
    void* form = cast(game, formFromId(game, 0x12000000 | id), kRttiEffectArt);
    ASSERT_NE(form, nullptr) << std::hex << id;
    const char* path = getModelPath(form);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path).rfind("magic\\", 0), 0u) << path;
    EXPECT_EQ(std::string(path).find("daytime"), std::string::npos);
    EXPECT_TRUE(paths.insert(path).second);
    EXPECT_EQ(read<float>(form, 0xc4), 1.5f);
  }

  for (uint32_t id : {0x48C7u, 0x4BEAu, 0x2F64u}) EXPECT_NE(formFromId(game, 0x02000000 | id), nullptr);

  // Weathers: the floor the rainy ones give, with the exempt one set apart.
  auto all = weathers(game);
  size_t nulls = 0;
  uint8_t floor = 255;
  std::set<uint8_t> classes;
  for (void* w : all) {
    if (!w) {
      ++nulls;
      continue;
    }
    uint8_t flags = read<uint8_t>(w, 0x66f), frequency = read<uint8_t>(w, 0x66e);
    classes.insert(flags);
    if (read<uint32_t>(w, 0x14) == 0x10DA13) continue;
    if ((flags & 0x04) && !(flags & 0x03) && frequency != 0 && frequency < floor) floor = frequency;
  }
  EXPECT_EQ(nulls, 1u);
  EXPECT_EQ(floor, 30);
  EXPECT_EQ(classes, (std::set<uint8_t>{0x00, 0x01, 0x02, 0x04, 0x08, 0x0C}));
  EXPECT_EQ(game.data().weatherId(DefaultWeather::ExemptStorm), 0x10DA13u);
  void* storm = formFromId(game, game.data().weatherId(DefaultWeather::Thunderstorm));
  ASSERT_NE(storm, nullptr);
  EXPECT_EQ(read<uint8_t>(storm, 0x66e), 30);
  for (DefaultWeather w : {DefaultWeather::Clear, DefaultWeather::Cloudy, DefaultWeather::Rain, DefaultWeather::Snow,
                           DefaultWeather::RainySnow, DefaultWeather::Unclassified})
    EXPECT_EQ(game.data().weatherId(w) >> 24, 0u);
  EXPECT_TRUE(game.checks().ok()) << allFailures(game);
}

TEST(DefaultData, LightPluginOfTheSpecialEditionUsesTheLightIds) {
  GameDouble game(options("default-light"));
  DataSet data;
  data.pluginModIndex = 0x05;
  data.pluginLightIndex = 3;
  game.data().installDefaultData(data);
  EXPECT_EQ(game.data().pluginFormId(0x84B), 0xFE00384Bu);
  EXPECT_NE(formFromId(game, 0xFE00384B), nullptr);
  EXPECT_EQ(formFromId(game, 0x0500084B), nullptr);
}

TEST(DefaultData, VrEditionComposesFromTheModIndexAlone) {
  if (image().ready() && image().edition() != Edition::VR) GTEST_SKIP() << "process already holds the SE image";
  GameDouble game(options("default-vr", Edition::VR));
  DataSet data;
  data.pluginModIndex = 0x05;
  data.pluginLightIndex = 3;
  game.data().installDefaultData(data);
  EXPECT_EQ(game.data().pluginFormId(0x84B), 0x0500084Bu);
  auto formFromIdVr = reinterpret_cast<void* (*)(uint32_t)>(game.checks().imageBase() + 0x1a3f60);
  EXPECT_NE(formFromIdVr(0x0500084B), nullptr);
  EXPECT_EQ(formFromIdVr(0xFE00384B), nullptr);
}

TEST(DefaultData, WithoutThePluginOrDawnguard) {
  GameDouble game(options("default-absent"));
  DataSet data;
  data.pluginLoaded = false;
  data.dawnguardLoaded = false;
  game.data().installDefaultData(data);
  for (const auto& f : loadedFiles(game)) {
    EXPECT_NE(f.name, "Nimbrel.esp");
    EXPECT_NE(f.name, "Dawnguard.esm");
  }
  EXPECT_EQ(formFromId(game, game.data().pluginFormId(0x84B)), nullptr);
  EXPECT_EQ(formFromId(game, game.data().dawnguardFormId(0x48C7)), nullptr);
  EXPECT_FALSE(weathers(game).empty());
}

TEST(DefaultData, ResetForgetsFilesWeathersAndFormsUntilInstalledAgain) {
  Options o = options("reset");
  o.trace = false;
  GameDouble game(o);
  game.data().installDefaultData();
  ASSERT_NE(formFromId(game, game.data().pluginFormId(0x84B)), nullptr);
  game.data().resetData();
  const auto files = loadedFiles(game);
  EXPECT_TRUE(files.size() == 1 && files[0].null);
  EXPECT_TRUE(weathers(game).empty());
  EXPECT_EQ(formFromId(game, game.data().pluginFormId(0x84B)), nullptr);
  game.data().installDefaultData();
  void* modifier = formFromId(game, game.data().pluginFormId(0x84B));
  EXPECT_EQ(cast(game, modifier, kRttiImod), modifier);
  EXPECT_EQ(loadedFiles(game).front().name, "Skyrim.esm");
  // Without a trace the calls are counted, not kept.
  EXPECT_TRUE(game.checks().trace().empty());
  EXPECT_EQ(game.checks().callCount("FormFromId"), 3u);
  EXPECT_TRUE(game.checks().ok()) << allFailures(game);
}

// --- the script machine ---------------------------------------------------------------

namespace {

// A native function object as a plug-in builds one: 96 bytes of engine heap,
// the engine part set up by NativeFunctionBaseInit, its own table of 23
// operations. What its call operation does is chosen per test.
enum class CallMode { Normal, BeyondArguments, WrongOffset, ForeignFrame, ForeignStack, NoClear };

struct Seen {
  const GameDouble* game = nullptr;
  CallMode mode = CallMode::Normal;
  uint64_t types[2] = {};
  uint64_t payloads[2] = {};
  std::string key;
  void* registry = nullptr;
  uint32_t stackId = 0;
  int calls = 0;
};
Seen gSeen;

template <typename Fn>
Fn engine(uint32_t offset) {
  return at<Fn>(*gSeen.game, offset);
}

struct Value {
  uint64_t type, payload;
};

bool callOperation(uint8_t* self, uint64_t, void* registry, uint32_t stackId, Value* result, void* frame) {
  (void)self;
  ++gSeen.calls;
  gSeen.registry = registry;
  gSeen.stackId = stackId;
  void* stack = *static_cast<void**>(frame);
  auto offsetOf = engine<uint32_t (*)(void*, void*)>(kArgOffset);
  auto valueOf = engine<Value* (*)(void*, void*, uint32_t, uint32_t)>(kArgValue);
  uint32_t offset = offsetOf(stack, frame);
  for (uint32_t i = 0; i < 2; ++i) {
    Value* v = valueOf(stack, frame, i, offset);
    gSeen.types[i] = v->type;
    gSeen.payloads[i] = v->payload;
  }
  const char* key = nullptr;
  engine<void* (*)(void*, const char*)>(kInternCreate)(&key, "");
  if (gSeen.types[0] == 2)
    engine<void* (*)(void*, const char*)>(kInternAssign)(&key, reinterpret_cast<const char*>(gSeen.payloads[0]));
  gSeen.key = key ? key : "(null)";
  void* otherFrame[8] = {stack};
  switch (gSeen.mode) {
    case CallMode::BeyondArguments:
      valueOf(stack, frame, 2, offset);
      break;
    case CallMode::WrongOffset:
      valueOf(stack, frame, 0, 0);
      break;
    case CallMode::ForeignFrame:
      valueOf(stack, otherFrame, 0, offset);
      break;
    case CallMode::ForeignStack:
      offsetOf(otherFrame, frame);
      break;
    default:
      break;
  }
  if (gSeen.mode != CallMode::NoClear) engine<void (*)(Value*)>(kValueClear)(result);
  result->type = 0;
  result->payload = 0;
  return true;
}

uint64_t destroy(uint8_t* self, uint64_t flags) {
  engine<void (*)(void*)>(kNativeRelease)(self);
  if ((flags & 1) && !(flags & 4))
    engine<void (*)(void*, void*, bool)>(kHeapFree)(address(*gSeen.game, kEngineHeap), self, false);
  return reinterpret_cast<uint64_t>(self);
}
template <int Offset>
uint64_t handle(uint8_t* self) {
  return reinterpret_cast<uint64_t>(self + Offset);
}
uint64_t* returnType(uint8_t* self, uint64_t* slot) {
  *slot = read<uint64_t>(self, 40);
  return slot;
}
uint64_t parameterCount(uint8_t* self) { return read<uint16_t>(self, 58); }
uint64_t staticFlag(uint8_t* self) { return self[64]; }
bool lineNumber(uint8_t*, uint32_t, uint32_t* line) {
  *line = 0;
  return false;
}
uint64_t other(uint8_t*) { return 0xEE; }

// Operations that write through an argument the engine does not pass.
bool lineThroughTheThirdArgument(uint8_t*, uint32_t, uint64_t, uint32_t* stray) {
  *stray = 0;
  return false;
}
uint64_t nameThroughTheFirstArgument(uint8_t* self, uint64_t* stray) {
  *stray = 0;
  return reinterpret_cast<uint64_t>(self + 16);
}

std::vector<const void*> functionTable(const GameDouble& game) {
  std::vector<const void*> table(23, reinterpret_cast<const void*>(&other));
  table[0] = reinterpret_cast<const void*>(&destroy);
  table[1] = reinterpret_cast<const void*>(&handle<16>);
  table[2] = reinterpret_cast<const void*>(&handle<24>);
  table[3] = reinterpret_cast<const void*>(&handle<32>);
  table[4] = reinterpret_cast<const void*>(&returnType);
  table[5] = reinterpret_cast<const void*>(&parameterCount);
  table[6] = address(game, kFunctionBase7);
  table[9] = reinterpret_cast<const void*>(&staticFlag);
  table[13] = reinterpret_cast<const void*>(&handle<72>);
  table[15] = address(game, kFunctionBase16);
  table[16] = address(game, kFunctionBase17);
  table[17] = reinterpret_cast<const void*>(&lineNumber);
  table[18] = address(game, kFunctionBase19);
  table[22] = reinterpret_cast<const void*>(&callOperation);
  return table;
}

uint8_t* makeFunction(const GameDouble& game, const char* name, const std::vector<const void*>* table) {
  void* heap = address(game, kEngineHeap);
  auto* fn =
      static_cast<uint8_t*>(at<void* (*)(void*, uint64_t, uint32_t, bool)>(game, kHeapAllocate)(heap, 96, 0, false));
  if (!fn) return nullptr;
  for (int offset : {16, 24, 32, 72}) at<void* (*)(void*, const char*)>(game, kInternCreate)(fn + offset, "");
  at<void* (*)(void*, const char*, const char*, bool, uint32_t)>(game, kNativeInit)(fn, name, "NimbrelPluginScript",
                                                                                    true, 2);
  const void* vtable = table ? table->data() : nullptr;
  std::memcpy(fn, &vtable, sizeof vtable);
  std::memset(fn + 40, 0, 8);  // returns none
  auto* params = read<uint8_t*>(fn, 48);
  if (params) {
    uint64_t types[2] = {2, 3};
    std::memcpy(params + 8, &types[0], 8);
    std::memcpy(params + 24, &types[1], 8);
  }
  return fn;
}

void registerFunction(const GameDouble& game, void* fn) {
  void* registry = *reinterpret_cast<void**>(holder(game, kScriptVmHolder) + 0x200);
  void* const* table = *static_cast<void* const* const*>(registry);
  reinterpret_cast<void (*)(void*, void*)>(table[0xc0 / 8])(registry, fn);
}

struct MachineTest : ::testing::Test {
  GameDouble game{options(::testing::UnitTest::GetInstance()->current_test_info()->name())};
  std::vector<const void*> table = functionTable(game);
  uint8_t* fn = nullptr;
  void SetUp() override {
    gSeen = Seen{};
    gSeen.game = &game;
    fn = makeFunction(game, "SetIntValue", &table);
    ASSERT_NE(fn, nullptr);
    registerFunction(game, fn);
    ASSERT_TRUE(game.checks().ok()) << allFailures(game);
  }
};

}  // namespace

TEST_F(MachineTest, CallNativeHandsTheArgumentsInAFrameAndReportsTheResult) {
  EXPECT_EQ(game.scripts().registeredFunction("SetIntValue"), fn);
  EXPECT_EQ(game.scripts().registeredFunction("SetFloatValue"), nullptr);
  uint64_t resultType = 99;
  ASSERT_TRUE(game.scripts().callNative("NimbrelPluginScript", "SetIntValue", ScriptArg::String("SheetFrequency"),
                                        ScriptArg::Int(-7), &resultType));
  EXPECT_EQ(resultType, 0u);
  EXPECT_EQ(gSeen.calls, 1);
  EXPECT_EQ(gSeen.types[0], 2u);
  EXPECT_EQ(gSeen.key, "SheetFrequency");
  EXPECT_EQ(gSeen.types[1], 3u);
  EXPECT_EQ(static_cast<uint32_t>(gSeen.payloads[1]), 0xFFFFFFF9u);
  EXPECT_EQ(gSeen.registry, *reinterpret_cast<void**>(holder(game, kScriptVmHolder) + 0x200));

  ASSERT_TRUE(
      game.scripts().callNative("NimbrelPluginScript", "SetIntValue", ScriptArg::Bool(true), ScriptArg::Float(2.5f)));
  EXPECT_EQ(gSeen.types[0], 5u);
  EXPECT_EQ(gSeen.key, "");
  EXPECT_EQ(gSeen.types[1], 4u);
  float f = 0;
  std::memcpy(&f, &gSeen.payloads[1], sizeof f);
  EXPECT_EQ(f, 2.5f);
  EXPECT_TRUE(game.checks().ok()) << allFailures(game);

  EXPECT_FALSE(game.scripts().callNative("OtherScript", "SetIntValue", ScriptArg::None(), ScriptArg::None()));
  EXPECT_FALSE(game.scripts().callNative("NimbrelPluginScript", "SetFloatValue", ScriptArg::None(), ScriptArg::None()));
  EXPECT_EQ(gSeen.calls, 2);
}

TEST_F(MachineTest, ResultNotClearedShowsInTheTrace) {
  gSeen.mode = CallMode::NoClear;
  uint64_t resultType = 99;
  ASSERT_TRUE(game.scripts().callNative("NimbrelPluginScript", "SetIntValue", ScriptArg::String("k"), ScriptArg::Int(1),
                                        &resultType));
  EXPECT_EQ(resultType, 0u);
  bool notCleared = false;
  for (const auto& line : game.checks().trace())
    notCleared |= line.find("\"fn\":\"CallNativeResult\"") != std::string::npos &&
                  line.find("\"resultCleared\":false") != std::string::npos;
  EXPECT_TRUE(notCleared);
}

TEST_F(MachineTest, ArgumentBeyondTheFrameFails) {
  gSeen.mode = CallMode::BeyondArguments;
  game.scripts().callNative("NimbrelPluginScript", "SetIntValue", ScriptArg::String("k"), ScriptArg::Int(1));
  EXPECT_TRUE(anyFailureContains(game, "argument 2 of a frame with 2 arguments"));
}

TEST_F(MachineTest, ArgumentWithoutTheFramesOffsetFails) {
  gSeen.mode = CallMode::WrongOffset;
  game.scripts().callNative("NimbrelPluginScript", "SetIntValue", ScriptArg::String("k"), ScriptArg::Int(1));
  EXPECT_TRUE(anyFailureContains(game, "offset StackFrameArgOffset did not give"));
}

TEST_F(MachineTest, ForeignFramesAndStacksFail) {
  gSeen.mode = CallMode::ForeignFrame;
  game.scripts().callNative("NimbrelPluginScript", "SetIntValue", ScriptArg::String("k"), ScriptArg::Int(1));
  EXPECT_TRUE(anyFailureContains(game, "StackFrameArgValue on a frame the script machine did not make"));
  gSeen.mode = CallMode::ForeignStack;
  game.scripts().callNative("NimbrelPluginScript", "SetIntValue", ScriptArg::String("k"), ScriptArg::Int(1));
  EXPECT_TRUE(anyFailureContains(game, "StackFrameArgOffset with a stack that is not the frame's own"));
}

TEST_F(MachineTest, FunctionSlotsThroughTheObjectsTable) {
  EXPECT_EQ(game.scripts().callFunctionSlot("SetIntValue", 2), reinterpret_cast<uint64_t>(fn + 16));
  EXPECT_EQ(game.scripts().callFunctionSlot("SetIntValue", 6) & 0xFFFF, 2u);
  EXPECT_EQ(game.scripts().callFunctionSlot("SetIntValue", 10) & 0xFF, 1u);  // static, set by NativeFunctionBaseInit
  // The engine's own GetParam fills the machine's out words.
  const size_t before = game.checks().callCount("IFunctionBase7");
  uint64_t outs[2] = {};
  game.scripts().callFunctionSlot("SetIntValue", 7, 1, outs);
  EXPECT_EQ(game.checks().callCount("IFunctionBase7"), before + 1);
  EXPECT_STREQ(reinterpret_cast<const char*>(outs[0]), "param2");
  EXPECT_EQ(outs[1], 3u);
  EXPECT_TRUE(game.checks().ok()) << allFailures(game);
  game.scripts().callFunctionSlot("SetIntValue", 16);
  EXPECT_TRUE(anyFailureContains(game, "16 and 23 run through callNative"));
}

TEST_F(MachineTest, EveryOperationRunsAsTheEngineCallsItAndAStrayWriteFails) {
  // Registration read the description, the script call ran its three
  // operations and a stack trace, the quit destroys the function.
  ASSERT_TRUE(
      game.scripts().callNative("NimbrelPluginScript", "SetIntValue", ScriptArg::String("k"), ScriptArg::Int(1)));
  game.checks().finalChecks();
  for (int slot = 1; slot <= 23; ++slot)
    EXPECT_GE(game.checks().callCount("FunctionOperation" + std::to_string(slot)), 1u) << slot;
  EXPECT_TRUE(game.checks().ok()) << allFailures(game);
}

TEST_F(MachineTest, AnOperationWritingThroughAnArgumentTheEngineDidNotPassFails) {
  uint64_t outs[2] = {};
  EXPECT_EQ(game.scripts().callFunctionSlot("SetIntValue", 18, 7, outs) & 0xFF, 0u);
  EXPECT_EQ(outs[0] & 0xFFFFFFFF, 0u);  // the line went to the machine's word
  ASSERT_TRUE(game.checks().ok()) << allFailures(game);
  table[17] = reinterpret_cast<const void*>(&lineThroughTheThirdArgument);
  game.scripts().callFunctionSlot("SetIntValue", 18, 7, outs);
  EXPECT_TRUE(anyFailureContains(game,
                                 "operation 18 (TranslateIPToLineNumber) of SetIntValue wrote through argument 3, "
                                 "which the engine does not pass"));
  table[1] = reinterpret_cast<const void*>(&nameThroughTheFirstArgument);
  game.scripts().callFunctionSlot("SetIntValue", 2);
  EXPECT_TRUE(anyFailureContains(game, "operation 2 (GetName) of SetIntValue wrote through argument 1"));
  // A Call that does not forward to the engine's never dispatches.
  table[15] = reinterpret_cast<const void*>(&other);
  game.scripts().callNative("NimbrelPluginScript", "SetIntValue", ScriptArg::String("k"), ScriptArg::Int(1));
  EXPECT_TRUE(anyFailureContains(game, "operation 16 (Call) of SetIntValue did not reach its MarshallAndDispatch"));
}

TEST_F(MachineTest, TheDestructorIsTheOnlyWayARegisteredFunctionGoesBack) {
  size_t blocks = game.scripts().liveHeapBlocks();
  // Freeing or releasing it behind the registry's back fails and keeps it.
  at<void (*)(void*, void*, bool)>(game, kHeapFree)(address(game, kEngineHeap), fn, false);
  EXPECT_TRUE(anyFailureContains(game, "EngineHeapFree of a native function the script registry owns"));
  at<void (*)(void*)>(game, kNativeRelease)(fn);
  EXPECT_TRUE(anyFailureContains(game, "NativeFunctionBaseRelease of a native function the script registry owns"));
  EXPECT_EQ(game.scripts().liveHeapBlocks(), blocks);
  size_t failures = game.checks().failures().size();

  game.scripts().callFunctionSlot("SetIntValue", 1, 1);
  EXPECT_EQ(game.checks().failures().size(), failures) << allFailures(game);
  EXPECT_EQ(game.scripts().liveHeapBlocks(), blocks - 1);
  EXPECT_EQ(game.scripts().registeredFunction("SetIntValue"), nullptr);
}

TEST(ScriptMachine, ReleaseOfMemoryNotFromTheHeapFails) {
  GameDouble game(options("release-foreign"));
  alignas(16) uint8_t fn[96] = {};
  at<void (*)(void*)>(game, kNativeRelease)(fn);
  EXPECT_TRUE(anyFailureContains(game, "NativeFunctionBaseRelease of an object the engine heap did not hand out"));
}

TEST(ScriptMachine, HeapAllocationsFailAsManyTimesAsAsked) {
  GameDouble game(options("heap-fail"));
  auto allocate = at<void* (*)(void*, uint64_t, uint32_t, bool)>(game, kHeapAllocate);
  void* heap = address(game, kEngineHeap);
  game.scripts().failHeapAllocations(2);
  EXPECT_EQ(allocate(heap, 96, 0, false), nullptr);
  EXPECT_EQ(allocate(heap, 96, 0, false), nullptr);
  EXPECT_EQ(game.scripts().liveHeapBlocks(), 0u);
  void* block = allocate(heap, 96, 0, false);
  EXPECT_NE(block, nullptr);
  EXPECT_EQ(game.scripts().liveHeapBlocks(), 1u);
  at<void (*)(void*, void*, bool)>(game, kHeapFree)(heap, block, false);
  EXPECT_EQ(game.scripts().liveHeapBlocks(), 0u);
  EXPECT_TRUE(game.checks().ok()) << allFailures(game);
}

TEST(ScriptMachine, RegisteringWithoutATableOrParametersFails) {
  GameDouble game(options("register-bare"));
  gSeen = Seen{};
  gSeen.game = &game;
  uint8_t* fn = makeFunction(game, "SetIntValue", nullptr);
  std::memset(fn, 0xAB, 8);  // the heap's own filler where the table belongs
  registerFunction(game, fn);
  EXPECT_TRUE(anyFailureContains(game, "no virtual table"));
  EXPECT_EQ(game.scripts().registeredFunctionCount(), 0u);
}

TEST(ScriptMachine, RegistrationRecordsTheParameterTypesAndFlags) {
  GameDouble game(options("register-trace"));
  gSeen = Seen{};
  gSeen.game = &game;
  auto table = functionTable(game);
  registerFunction(game, makeFunction(game, "SetIntValue", &table));
  ASSERT_TRUE(game.checks().ok()) << allFailures(game);
  bool seen = false;
  for (const auto& line : game.checks().trace())
    seen |= line.find("\"fn\":\"RegisterFunction\"") != std::string::npos &&
            line.find("\"paramTypes\":\"2,3\"") != std::string::npos &&
            line.find("\"isStatic\":1") != std::string::npos;
  EXPECT_TRUE(seen);
}
