// The settings as scripts and the data file change them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "game/id_tables.h"
#include "settings/settings.h"
#include "support/in_process.h"
#include "support/trace_query.h"

using namespace NimbrelVR;
using nimbrel_sim::ScriptArg;
using testsupport::HasLine;

namespace {

class Settings : public ::testing::Test {
 protected:
  void SetUp() override { world_.StartWithDefaults(); }
  nimbrel_sim::GameDouble& game() { return world_.game(); }
  std::string Log() const { return world_.Log(); }
  bool CallInt(const ScriptArg& key, const ScriptArg& value, uint64_t* resultType = nullptr) {
    return game().scripts().callNative("NimbrelPluginScript", "SetIntValue", key, value, resultType);
  }
  bool CallFloat(const ScriptArg& key, const ScriptArg& value, uint64_t* resultType = nullptr) {
    return game().scripts().callNative("NimbrelPluginScript", "SetFloatValue", key, value, resultType);
  }

  testsupport::InProcessGame world_;
};

}  // namespace

TEST_F(Settings, DefaultsAndKeyOrder) {
  EXPECT_EQ(Get(IntSetting::EnableSheet), 1);
  EXPECT_EQ(Get(IntSetting::SheetDistanceMax), 7);
  EXPECT_EQ(Get(IntSetting::EnableLog), 2);
  EXPECT_EQ(Get(IntSetting::MaxChainChildAmount), 7);
  EXPECT_EQ(Get(FloatSetting::SheetHeightMin), 25000.0f);
  float skyCurve = Get(FloatSetting::SkyCurve);
  uint32_t bits = 0;
  std::memcpy(&bits, &skyCurve, sizeof bits);
  EXPECT_EQ(bits, 0x3F847AE1u);
  EXPECT_STREQ(KeyOf(IntSetting::EnableSheet), "EnableSheet");
  EXPECT_STREQ(KeyOf(IntSetting::MaxChainChildAmount), "MaxChainChildAmount");
  EXPECT_STREQ(KeyOf(FloatSetting::ForkFadeDuration), "ForkFadeDuration");
}

TEST_F(Settings, EveryKeyIsSetExactlyAndLogged) {
  for (int i = 0; i < kIntSettingCount; ++i) {
    const auto setting = static_cast<IntSetting>(i);
    if (setting == IntSetting::EnableLog) continue;
    SetIntValue(KeyOf(setting), 1000u + i);
    EXPECT_EQ(Get(setting), 1000 + i) << KeyOf(setting);
    EXPECT_TRUE(HasLine(Log(), std::string("Value change - ") + KeyOf(setting) + ": " + std::to_string(1000 + i)));
  }
  for (int i = 0; i < 8; ++i) {
    const auto setting = static_cast<FloatSetting>(i);
    SetFloatValue(KeyOf(setting), 0.25f + i);
    EXPECT_EQ(Get(setting), 0.25f + i) << KeyOf(setting);
  }
  EXPECT_TRUE(HasLine(Log(), "Value change - SheetFrequency: 0.25"));
  SetIntValue("ForkHostile", 0xFFFFFFFFu);
  EXPECT_TRUE(HasLine(Log(), "Value change - ForkHostile: -1"));
}

TEST_F(Settings, KeysAreCaseSensitiveAndUnknownKeysAreStillLogged) {
  SetIntValue("enablesheet", 0);
  EXPECT_EQ(Get(IntSetting::EnableSheet), 1);
  EXPECT_TRUE(HasLine(Log(), "Value change - enablesheet: 0"));
  SetFloatValue("sheetfrequency", 3.0f);
  EXPECT_EQ(Get(FloatSetting::SheetFrequency), 50.0f);
  SetIntValue("Sheet%sFrequency%d", 4);
  EXPECT_TRUE(HasLine(Log(), "Value change - Sheet%sFrequency%d: 4"));
  const std::string longKey(5000, 'K');
  SetIntValue(longKey.c_str(), 1);  // cut in the log, never overflowed
  EXPECT_NE(Log().find(std::string(4000, 'K')), std::string::npos);
}

TEST_F(Settings, EnableLogFiltersItsOwnChangeLine) {
  SetIntValue("EnableLog", 0);
  EXPECT_FALSE(HasLine(Log(), "Value change - EnableLog: 0"));
  SetIntValue("EnableLog", 2);
  EXPECT_TRUE(HasLine(Log(), "Value change - EnableLog: 2"));
  SetIntValue("EnableLog", 0xFFFFFFFFu);
  SetIntValue("EnableSheet", 0);
  EXPECT_FALSE(HasLine(Log(), "Value change - EnableSheet: 0"));
  EXPECT_EQ(Get(IntSetting::EnableSheet), 0);
}

TEST_F(Settings, FadeDurationsReachTheArtFormsOnlyWhenTheyChange) {
  const uint32_t firstSheet = game().data().pluginFormId(sheetArtIds[0]);
  const uint32_t firstFork = game().data().pluginFormId(forkArtIds[0]);
  const size_t lookups = game().checks().callCount("FormFromId");
  SetFloatValue("SheetFadeDuration", 1.5f);
  EXPECT_EQ(game().checks().callCount("FormFromId"), lookups);  // the default: no form touched
  EXPECT_TRUE(HasLine(Log(), "Value change - SheetFadeDuration: 1.5"));

  SetFloatValue("SheetFadeDuration", 2.0f);
  for (uint32_t local : sheetArtIds)
    EXPECT_EQ(game().data().fadeDuration(game().data().pluginFormId(local)), 2.0f) << local;
  for (uint32_t local : forkArtIds)
    EXPECT_EQ(game().data().fadeDuration(game().data().pluginFormId(local)), 1.5f) << local;
  SetFloatValue("ForkFadeDuration", 0.75f);
  EXPECT_EQ(game().data().fadeDuration(firstFork), 0.75f);
  EXPECT_EQ(game().data().fadeDuration(firstSheet), 2.0f);
}

TEST_F(Settings, TheFadePushSkipsMissingAndOtherForms) {
  game().data().removeForm(game().data().pluginFormId(sheetArtIds[3]));
  game().data().addForm(nimbrel_sim::FormKind::Spell, game().data().pluginFormId(sheetArtIds[4]));
  SetFloatValue("SheetFadeDuration", 3.0f);
  EXPECT_EQ(game().data().fadeDuration(game().data().pluginFormId(sheetArtIds[5])), 3.0f);
  EXPECT_EQ(game().data().fadeDuration(game().data().pluginFormId(sheetArtIds[14])), 3.0f);
  game().checks().finalChecks();
  EXPECT_TRUE(game().checks().ok()) << ::testing::PrintToString(game().checks().failures());
}

TEST_F(Settings, ScriptArgumentsAreConvertedToTheSettersTypes) {
  uint64_t result = 99;
  ASSERT_TRUE(CallInt(ScriptArg::String("SheetDistanceMax"), ScriptArg::Float(2.9f), &result));
  EXPECT_EQ(Get(IntSetting::SheetDistanceMax), 2);
  EXPECT_EQ(result, 0u);
  ASSERT_TRUE(CallInt(ScriptArg::String("SheetHostile"), ScriptArg::Float(-1.5f)));
  EXPECT_EQ(static_cast<uint32_t>(Get(IntSetting::SheetHostile)), 0xFFFFFFFFu);
  ASSERT_TRUE(CallInt(ScriptArg::String("ForkHostile"), ScriptArg::Bool(true)));
  EXPECT_EQ(Get(IntSetting::ForkHostile), 1);
  ASSERT_TRUE(CallInt(ScriptArg::String("ForkDistanceMax"), ScriptArg::Float(std::nanf(""))));
  EXPECT_EQ(Get(IntSetting::ForkDistanceMax), 0);

  result = 99;
  ASSERT_TRUE(CallFloat(ScriptArg::String("SheetFrequency"), ScriptArg::Int(3), &result));
  EXPECT_EQ(Get(FloatSetting::SheetFrequency), 3.0f);
  EXPECT_EQ(result, 0u);
  ASSERT_TRUE(CallFloat(ScriptArg::String("ForkFrequency"), ScriptArg::Bool(true)));
  EXPECT_EQ(Get(FloatSetting::ForkFrequency), 1.0f);
  ASSERT_TRUE(CallFloat(ScriptArg::String("StrikeDistance"), ScriptArg::Object()));
  EXPECT_EQ(Get(FloatSetting::StrikeDistance), 0.0f);
}

TEST_F(Settings, AFirstArgumentThatIsNoStringGivesAnEmptyKey) {
  ASSERT_TRUE(CallInt(ScriptArg::Int(5), ScriptArg::Int(4)));
  ASSERT_TRUE(CallFloat(ScriptArg::None(), ScriptArg::Float(4.5f)));
  EXPECT_TRUE(HasLine(Log(), "Value change - : 4")) << Log();
  EXPECT_TRUE(HasLine(Log(), "Value change - : 4.5"));
  game().checks().finalChecks();
  EXPECT_TRUE(game().checks().ok()) << ::testing::PrintToString(game().checks().failures());
}

TEST_F(Settings, ASpellOfTheScriptChangesTheFadeOfEverySheetArtForm) {
  ASSERT_TRUE(CallFloat(ScriptArg::String("SheetFadeDuration"), ScriptArg::Float(2.0f)));
  for (uint32_t local : sheetArtIds) EXPECT_EQ(game().data().fadeDuration(game().data().pluginFormId(local)), 2.0f);
  EXPECT_TRUE(HasLine(Log(), "Value change - SheetFadeDuration: 2"));
}

TEST(ScriptRegistration, BothFunctionsAreRegisteredOnTheScriptClass) {
  testsupport::InProcessGame world;
  world.StartWithDefaults();
  EXPECT_EQ(world.game().scripts().registeredFunctionCount(), 2u);
  EXPECT_NE(world.game().scripts().registeredFunction("SetIntValue"), nullptr);
  EXPECT_NE(world.game().scripts().registeredFunction("SetFloatValue"), nullptr);
  world.game().checks().finalChecks();
  EXPECT_TRUE(world.game().checks().ok()) << ::testing::PrintToString(world.game().checks().failures());
}

TEST(ScriptRegistration, AHeapFailureLeavesOnlyThatFunctionOut) {
  testsupport::InProcessGame world;
  world.game().data().installDefaultData();
  world.game().scripts().failHeapAllocations(1);
  ASSERT_TRUE(world.game().query());
  ASSERT_TRUE(world.game().load());
  world.game().host().registerScriptFunctions();
  EXPECT_EQ(world.game().scripts().registeredFunctionCount(), 1u);
  EXPECT_EQ(world.game().scripts().registeredFunction("SetIntValue"), nullptr);
  EXPECT_NE(world.game().scripts().registeredFunction("SetFloatValue"), nullptr);
  EXPECT_TRUE(HasLine(world.Log(), "Out of engine memory: SetIntValue is not available to scripts."));
}

TEST(ScriptRegistration, TheFunctionObjectAnswersTheMachinesOperations) {
  testsupport::InProcessGame world;
  world.StartWithDefaults();
  auto& game = world.game();
  auto* self = static_cast<uint8_t*>(game.scripts().registeredFunction("SetFloatValue"));
  ASSERT_NE(self, nullptr);
  const auto address = [&](size_t offset) { return reinterpret_cast<uint64_t>(self + offset); };
  EXPECT_EQ(game.scripts().callFunctionSlot("SetFloatValue", 2), address(16));
  EXPECT_EQ(game.scripts().callFunctionSlot("SetFloatValue", 3), address(24));
  EXPECT_EQ(game.scripts().callFunctionSlot("SetFloatValue", 4), address(32));
  uint64_t outs[2] = {};
  game.scripts().callFunctionSlot("SetFloatValue", 5, 0, outs);
  EXPECT_EQ(outs[0], 0u);  // the return type word: none
  EXPECT_EQ(game.scripts().callFunctionSlot("SetFloatValue", 6) & 0xFFFFFFFF, 2u);
  EXPECT_EQ(game.scripts().callFunctionSlot("SetFloatValue", 8) & 0xFFFFFFFF, 2u);
  EXPECT_EQ(game.scripts().callFunctionSlot("SetFloatValue", 9) & 0xFF, 1u);
  EXPECT_EQ(game.scripts().callFunctionSlot("SetFloatValue", 10) & 0xFF, self[64]);
  EXPECT_EQ(game.scripts().callFunctionSlot("SetFloatValue", 11) & 0xFF, 0u);
  EXPECT_EQ(game.scripts().callFunctionSlot("SetFloatValue", 12) & 0xFFFFFFFF, 0u);
  EXPECT_EQ(game.scripts().callFunctionSlot("SetFloatValue", 14), address(72));
  EXPECT_EQ(game.scripts().callFunctionSlot("SetFloatValue", 18, 1, outs) & 0xFF, 0u);
  EXPECT_EQ(outs[0] & 0xFFFFFFFF, 0u);  // the line, through the engine's second argument
  game.scripts().callFunctionSlot("SetFloatValue", 21, 1);
  EXPECT_EQ(game.scripts().callFunctionSlot("SetFloatValue", 20) & 0xFF, 1u);
  game.scripts().callFunctionSlot("SetFloatValue", 21, 0);
  EXPECT_EQ(game.scripts().callFunctionSlot("SetFloatValue", 20) & 0xFF, 0u);
  EXPECT_EQ(game.scripts().callFunctionSlot("SetFloatValue", 22) & 0xFF, 1u);
  // Four operations belong to the engine itself (Call runs through callNative).
  for (int slot : {7, 17, 19}) {
    const size_t before = game.checks().callCount("IFunctionBase" + std::to_string(slot));
    game.scripts().callFunctionSlot("SetFloatValue", slot);
    EXPECT_EQ(game.checks().callCount("IFunctionBase" + std::to_string(slot)), before + 1) << slot;
  }
  const size_t calls = game.checks().callCount("IFunctionBase16");
  ASSERT_TRUE(game.scripts().callNative("NimbrelPluginScript", "SetFloatValue", ScriptArg::String("SheetFadeDuration"),
                                        ScriptArg::Float(2.0f)));
  EXPECT_EQ(game.checks().callCount("IFunctionBase16"), calls + 1);
  EXPECT_TRUE(game.checks().ok()) << ::testing::PrintToString(game.checks().failures());
}

TEST(ScriptRegistration, TheShippedScriptDeclaresExactlyTheRegisteredNativesWithCompilableNames) {
  // Game scripts whose names are also common words; the compiler rejects a
  // parameter named like any script, whatever its letter case.
  const std::set<std::string> gameScripts{
      "key",    "form",    "actor", "cell",  "spell", "weather", "static", "sound", "light",   "door",    "book",
      "armor",  "weapon",  "quest", "scene", "idle",  "message", "potion", "race",  "faction", "keyword", "location",
      "outfit", "package", "perk",  "shout", "topic", "utility", "debug",  "game",  "math",    "ui",      "input"};
  const auto lower = [](std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
  };
  std::ifstream source(NIMBREL_PAPYRUS_SOURCE);
  ASSERT_TRUE(source) << NIMBREL_PAPYRUS_SOURCE;
  const std::regex function(R"(^\s*function\s+(\w+)\s*\(([^)]*)\)(.*)$)", std::regex::icase);
  const std::regex parameter(R"(^\s*(\w+)\s+(\w+)\s*$)");
  std::map<std::string, std::vector<std::string>> natives;  // name -> parameter types
  std::string line;
  while (std::getline(source, line)) {
    line = line.substr(0, line.find(';'));
    std::smatch match;
    if (!std::regex_match(line, match, function) || lower(match[3]).find("native") == std::string::npos) continue;
    EXPECT_NE(lower(match[3]).find("global"), std::string::npos) << line;
    std::vector<std::string>& types = natives[match[1]];
    const std::string list = match[2];
    for (size_t start = 0; start <= list.size();) {
      const size_t comma = std::min(list.find(',', start), list.size());
      std::smatch declared;
      const std::string item = list.substr(start, comma - start);
      ASSERT_TRUE(std::regex_match(item, declared, parameter)) << item;
      types.push_back(lower(declared[1]));
      EXPECT_EQ(gameScripts.count(lower(declared[2])), 0u) << declared[2] << " is the name of a game script";
      start = comma + 1;
    }
  }
  EXPECT_EQ(natives, (std::map<std::string, std::vector<std::string>>{{"SetFloatValue", {"string", "float"}},
                                                                      {"SetIntValue", {"string", "int"}}}));
  testsupport::InProcessGame world;
  world.StartWithDefaults();
  EXPECT_EQ(world.game().scripts().registeredFunctionCount(), natives.size());
  for (const auto& [name, types] : natives) EXPECT_NE(world.game().scripts().registeredFunction(name), nullptr) << name;
}
