// Start-up with the plug-in's data: finding its file, resolving its forms,
// the weather scan and what every saved-game load refreshes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "support/plugin_run.h"
#include "support/trace_query.h"

using nimbrel_sim::DataSet;
using nimbrel_sim::DefaultWeather;
using nimbrel_sim::Edition;
using nimbrel_sim::FormKind;
using testsupport::HasLine;
using testsupport::LineAfter;
using testsupport::LookedUp;
using testsupport::OptionsFor;
using testsupport::PluginRun;

namespace {

class GameData : public ::testing::TestWithParam<Edition> {
 public:
  // Query, load and the data set, ready for start-up.
  void Prepare(const DataSet& data = DataSet{}) {
    run_ = std::make_unique<PluginRun>(OptionsFor(GetParam()));
    ASSERT_TRUE(run_->QueryAndLoad());
    game().data().installDefaultData(data);
  }
  nimbrel_sim::GameDouble& game() { return run_->game(); }
  std::string Log() const { return run_->Log(); }

  std::unique_ptr<PluginRun> run_;
};

std::string EditionTestName(const ::testing::TestParamInfo<Edition>& info) {
  return testsupport::EditionName(info.param);
}

bool SetSheetFadeFromScript(nimbrel_sim::GameDouble& game, float seconds) {
  return game.scripts().callNative("NimbrelPluginScript", "SetFloatValue",
                                   nimbrel_sim::ScriptArg::String("SheetFadeDuration"),
                                   nimbrel_sim::ScriptArg::Float(seconds));
}

std::string Hex(uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", id);
  return text;
}

}  // namespace

TEST_P(GameData, EveryFormIsResolvedAndEveryCountLogged) {
  Prepare();
  game().startUp();
  const std::string log = Log();
  EXPECT_TRUE(HasLine(log, "Trying to find the plugin: Nimbrel.esp"));
  EXPECT_TRUE(HasLine(log, "Plugin is loaded. Trying to find forms."));
  EXPECT_TRUE(HasLine(log, "Sheet ImageSpaceModifier formid: " + Hex(game().data().pluginFormId(0x84B))));
  EXPECT_TRUE(HasLine(log, "Fork ImageSpaceModifier formid: " + Hex(game().data().pluginFormId(0x807))));
  for (const char* count :
       {"Sheet spells count: ", "Fork spells count: ", "Hostile Sheet spells count: ", "Hostile Fork spells count: ",
        "FarFork spells count: ", "Hostile FarFork spells count: ", "CloseFarFork spells count: ",
        "Hostile CloseFarFork spells count: ", "VeryFarFork spells count: ", "Hostile VeryFarFork spells count: ",
        "TooFarFork spells count: ", "Hostile TooFarFork spells count: ", "Sheet Casters count: ",
        "Sheet Targets count: ", "Fork Casters count: ", "Fork Targets count: "}) {
    const size_t at = log.find(std::string("\n") + count);
    ASSERT_NE(at, std::string::npos) << count;
    EXPECT_NE(log[at + 1 + std::strlen(count)], '0') << count;  // the default data fills every list
  }
  EXPECT_EQ(log.find("not found"), std::string::npos) << log;
  EXPECT_EQ(log.find("FormId finding failed"), std::string::npos);
  EXPECT_NE(log.find("\nMin Lightning Frequency is "), std::string::npos);
  game().checks().finalChecks();
  EXPECT_TRUE(game().checks().ok()) << ::testing::PrintToString(game().checks().failures());
}

TEST_P(GameData, RowsAreLookedUpInTableOrderWithTheModIndex) {
  DataSet data;
  data.pluginModIndex = 0x12;
  Prepare(data);
  game().startUp();
  EXPECT_TRUE(LookedUp(game(), 0x12000CF4));  // the too-far fork spells, in both editions
  const std::vector<std::string> lines = testsupport::Lines(Log());
  std::vector<std::string> order;
  for (const std::string& line : lines) {
    if (line.find(" count: ") != std::string::npos) order.push_back(line.substr(0, line.find(" count: ")));
  }
  EXPECT_EQ(order, (std::vector<std::string>{
                       "Sheet spells", "Fork spells", "Hostile Sheet spells", "Hostile Fork spells", "FarFork spells",
                       "Hostile FarFork spells", "CloseFarFork spells", "Hostile CloseFarFork spells",
                       "VeryFarFork spells", "Hostile VeryFarFork spells", "TooFarFork spells",
                       "Hostile TooFarFork spells", "Sheet Casters", "Sheet Targets", "Fork Casters", "Fork Targets"}));
}

TEST_P(GameData, ALightFileUsesTheLightSchemeOnlyInTheSpecialEdition) {
  DataSet data;
  data.pluginModIndex = 0xFE;
  data.pluginLightIndex = 3;
  Prepare(data);
  game().startUp();
  if (GetParam() == Edition::SpecialEdition) {
    EXPECT_TRUE(LookedUp(game(), 0xFE00384B));
    EXPECT_TRUE(HasLine(Log(), "Sheet ImageSpaceModifier formid: fe00384b")) << Log();
  } else {
    EXPECT_TRUE(LookedUp(game(), 0xFE00084B));
    EXPECT_FALSE(LookedUp(game(), 0xFE00384B));
  }
}

TEST_P(GameData, LightIndexesKeepAllTwelveBitsWhereverIdsAreComposed) {
  Prepare(DataSet{.pluginModIndex = 0xFE, .pluginLightIndex = 0x1A5});
  game().startUp();
  if (GetParam() == Edition::SpecialEdition) {
    EXPECT_EQ(game().data().pluginFormId(0x84B), 0xFE1A584Bu);
    EXPECT_TRUE(HasLine(Log(), "Sheet ImageSpaceModifier formid: fe1a584b")) << Log();
  } else {
    EXPECT_TRUE(LookedUp(game(), 0xFE00084B));  // VR has no light files
  }
  EXPECT_EQ(Log().find("not found"), std::string::npos) << Log();
  // The data-file globals and the fade push reach their forms too.
  game().host().loadSavedGame();
  EXPECT_NE(Log().find("\nCompatibility Mode is "), std::string::npos) << Log();
  ASSERT_TRUE(SetSheetFadeFromScript(game(), 2.5f));
  EXPECT_EQ(game().data().fadeDuration(game().data().pluginFormId(0x800)), 2.5f);
}

TEST_P(GameData, LightIndex0x100IsALightFileNotANormalOne) {
  Prepare(DataSet{.pluginModIndex = 0xFE, .pluginLightIndex = 0x100});
  game().startUp();
  if (GetParam() == Edition::SpecialEdition) {
    EXPECT_TRUE(LookedUp(game(), 0xFE10084B));
    EXPECT_FALSE(LookedUp(game(), 0xFE00084B));
  }
  EXPECT_EQ(Log().find("not found"), std::string::npos) << Log();
}

TEST_P(GameData, TheFileNameMatchesWhateverItsLetterCase) {
  Prepare(DataSet{.pluginLoaded = false});
  game().data().addLoadedFile("NIMBREL.ESP", 0x12);
  game().data().addForm(FormKind::ImageSpaceModifier, 0x1200084B);
  game().startUp();
  EXPECT_TRUE(HasLine(Log(), "Sheet ImageSpaceModifier formid: 1200084b")) << Log();
}

TEST_P(GameData, NullsAndOtherKindsInAListAreDropped) {
  Prepare();
  const uint32_t listId = game().data().pluginFormId(0x8CD);
  std::vector<void*> entries;
  for (uint32_t id = 0x1200F001; id <= 0x1200F003; ++id) entries.push_back(game().data().addForm(FormKind::Spell, id));
  entries.insert(entries.begin() + 1, nullptr);
  entries.push_back(game().data().addForm(FormKind::Weapon, 0x1200F004));
  game().data().addFormList(listId, entries);
  game().startUp();
  EXPECT_TRUE(HasLine(Log(), "Sheet spells count: 3")) << Log();
}

TEST_P(GameData, AMissingListIsLoggedCountedAsEmptyAndResolutionGoesOn) {
  Prepare();
  const uint32_t id = game().data().pluginFormId(0xCF2);
  game().data().removeForm(id);
  game().startUp();
  const std::string notFound = "VeryFarFork spells not found. formid: " + Hex(id);
  EXPECT_TRUE(HasLine(Log(), notFound)) << Log();
  EXPECT_EQ(LineAfter(Log(), notFound), "VeryFarFork spells count: 0");
  EXPECT_EQ(Log().find("FormId finding failed"), std::string::npos);
}

TEST_P(GameData, AnIdNamingSomethingElseReadsAsEmptyOrNull) {
  Prepare();
  game().data().addForm(FormKind::Spell, game().data().pluginFormId(0x8D3));  // not a list
  game().data().addForm(FormKind::Spell, game().data().pluginFormId(0x84B));  // not a modifier
  game().startUp();
  EXPECT_TRUE(HasLine(Log(), "Sheet Casters count: 0")) << Log();
  EXPECT_TRUE(HasLine(Log(), "Sheet ImageSpaceModifier formid: " + Hex(game().data().pluginFormId(0x84B))));
  game().checks().finalChecks();
  EXPECT_TRUE(game().checks().ok()) << ::testing::PrintToString(game().checks().failures());
}

TEST_P(GameData, WithoutItsFileThePluginCannotWorkButTheRestOfStartUpGoesOn) {
  Prepare(DataSet{.pluginLoaded = false});
  game().startUp();
  const std::string log = Log();
  EXPECT_TRUE(HasLine(log, "Plugin is not loaded. Use real esp instead. Nimbrel.esp")) << log;
  EXPECT_TRUE(HasLine(log, "FormId finding failed. Mod cannot function."));
  EXPECT_NE(log.find("\nMin Lightning Frequency is "), std::string::npos);
  EXPECT_EQ(game().checks().sinkCount(nimbrel_sim::Source::MenuOpenClose), 1u);
}

TEST_P(GameData, ModIndexZeroFailsResolution) {
  Prepare(DataSet{.pluginModIndex = 0});
  game().startUp();
  EXPECT_TRUE(HasLine(Log(), "Plugin mod index is not valid. ModIndex: 0 LightIndex: 0")) << Log();
  EXPECT_TRUE(HasLine(Log(), "FormId finding failed. Mod cannot function."));
}

TEST_P(GameData, ModIndexFFFailsResolution) {
  Prepare(DataSet{.pluginModIndex = 0xFF, .pluginLightIndex = 2});
  game().startUp();
  EXPECT_TRUE(HasLine(Log(), "Plugin mod index is not valid. ModIndex: ff LightIndex: 2")) << Log();
  EXPECT_TRUE(HasLine(Log(), "FormId finding failed. Mod cannot function."));
}

// With mod index 0 or 0xFF nothing of the file can be reached: a load reads
// no globals and a fade change touches no form.
void CheckUnusableModIndex(GameData& test, uint8_t modIndex) {
  test.Prepare(DataSet{.pluginModIndex = modIndex});
  auto& game = test.game();
  game.startUp();
  const size_t lookups = game.checks().callCount("FormFromId");
  const float fade = game.data().fadeDuration(game.data().pluginFormId(0x800));
  game.host().loadSavedGame();
  ASSERT_TRUE(SetSheetFadeFromScript(game, 2.5f));
  EXPECT_EQ(game.checks().callCount("FormFromId"), lookups);
  EXPECT_EQ(game.data().fadeDuration(game.data().pluginFormId(0x800)), fade);
  EXPECT_EQ(test.Log().find("Compatibility Mode is"), std::string::npos) << test.Log();
  EXPECT_TRUE(HasLine(test.Log(), "Value change - SheetFadeDuration: 2.5"));
}

TEST_P(GameData, ModIndexZeroReadsNoGlobalsAndPushesNoFades) { CheckUnusableModIndex(*this, 0x00); }
TEST_P(GameData, ModIndexFFReadsNoGlobalsAndPushesNoFades) { CheckUnusableModIndex(*this, 0xFF); }

TEST_P(GameData, TheScanTakesRainyWeathersByTheirBitsAndSkipsFrequencyZero) {
  Prepare();
  const struct {
    uint8_t flags;
    uint8_t frequency;
    bool logged;
  } weathers[] = {{0x05, 5, false}, {0x06, 6, false}, {0x0A, 7, false},
                  {0x00, 8, false}, {0x0C, 20, true}, {0x04, 0, true}};
  uint32_t id = 0x000B0000;
  for (const auto& w : weathers) game().data().addWeather(++id, w.flags, w.frequency);
  game().startUp();
  id = 0x000B0000;
  for (const auto& w : weathers) {
    const std::string line = "Weather: " + Hex(++id) + " -> " + std::to_string(w.frequency);
    EXPECT_EQ(HasLine(Log(), line), w.logged) << line;
  }
  EXPECT_TRUE(HasLine(Log(), "Min Lightning Frequency is 20")) << Log();  // not 0: frequency 0 is passed over
}

TEST_P(GameData, AScanWhereNothingQualifiesLeavesTheFloorAt255) {
  run_ = std::make_unique<PluginRun>(OptionsFor(GetParam()));
  ASSERT_TRUE(run_->QueryAndLoad());
  game().data().addWeather(0x000B0001, 0x06, 10);
  game().data().addNullWeather();
  game().data().addWeather(0x000B0002, 0x04, 0);
  game().data().addWeather(0x000ECC96, 0x04, 10);  // exempt
  game().startUp();
  EXPECT_TRUE(HasLine(Log(), "Min Lightning Frequency is 255")) << Log();
  EXPECT_TRUE(HasLine(Log(), "Weather: b0002 -> 0"));
}

TEST_P(GameData, TheScanFindsTheMostFrequentRainyWeatherExceptExemptOnes) {
  Prepare();
  game().startUp();
  const std::string log = Log();
  // Qualifying weathers are logged; the exempt storm (frequency 10) is not.
  EXPECT_TRUE(HasLine(log, "Weather: " + Hex(game().data().weatherId(DefaultWeather::Thunderstorm)) + " -> 30")) << log;
  EXPECT_TRUE(HasLine(log, "Weather: " + Hex(game().data().weatherId(DefaultWeather::RainySnow)) + " -> 90"));
  EXPECT_EQ(log.find("Weather: " + Hex(game().data().weatherId(DefaultWeather::ExemptStorm)) + " "), std::string::npos);
  EXPECT_EQ(log.find("Weather: " + Hex(game().data().weatherId(DefaultWeather::Cloudy)) + " "), std::string::npos);
  EXPECT_TRUE(HasLine(log, "Min Lightning Frequency is 30"));
}

TEST_P(GameData, ASavedGameLoadReadsTheSixGlobals) {
  Prepare();
  game().startUp();
  game().data().addGlobal(game().data().pluginFormId(0xA6A), -1.0f);
  game().data().addGlobal(game().data().pluginFormId(0xCB5), 3.7f);
  game().data().addGlobal(game().data().pluginFormId(0xCB6), 9.2f);
  game().data().addGlobal(game().data().pluginFormId(0xCB4), 45.5f);
  game().data().addGlobal(game().data().pluginFormId(0xCF6), 2.25f);
  game().data().addGlobal(game().data().pluginFormId(0xCF7), 0.5f);
  const float sheetFadeBefore = game().data().fadeDuration(game().data().pluginFormId(0x800));
  game().host().loadSavedGame();
  const std::string log = Log();
  EXPECT_TRUE(HasLine(log, "Compatibility Mode is 1")) << log;
  EXPECT_TRUE(HasLine(log, "minChainChildCount is 3"));
  EXPECT_TRUE(HasLine(log, "maxChainChildCount is 9"));
  EXPECT_TRUE(HasLine(log, "chainPercentage is 45.5"));
  EXPECT_TRUE(HasLine(log, "sheetFadeDuration is 2.25"));
  EXPECT_TRUE(HasLine(log, "forkFadeDuration is 0.5"));
  // The data-file values update the settings only, never the art forms.
  EXPECT_EQ(game().data().fadeDuration(game().data().pluginFormId(0x800)), sheetFadeBefore);
}

TEST_P(GameData, GlobalsBelowOneDoNotTurnCompatibilityOnAndBrokenValuesAreDefined) {
  Prepare();
  game().startUp();
  game().data().addGlobal(game().data().pluginFormId(0xA6A), 0.9f);
  game().data().addGlobal(game().data().pluginFormId(0xCB5), std::nanf(""));
  game().data().addGlobal(game().data().pluginFormId(0xCB6), 1e20f);
  game().data().addForm(FormKind::Spell, game().data().pluginFormId(0xCB4));  // not a global: skipped silently
  game().host().loadSavedGame();
  const std::string log = Log();
  EXPECT_TRUE(HasLine(log, "Compatibility Mode is 0")) << log;
  EXPECT_TRUE(HasLine(log, "minChainChildCount is 0"));
  EXPECT_TRUE(HasLine(log, "maxChainChildCount is 2147483647"));
  EXPECT_EQ(log.find("chainPercentage is"), std::string::npos);
}

TEST_P(GameData, WithoutTheDataFileALoadChangesNothing) {
  Prepare(DataSet{.pluginLoaded = false});
  game().startUp();
  const std::string before = Log();
  game().host().loadSavedGame();
  const std::string after = Log();
  EXPECT_EQ(after.substr(before.size()).find(" is "), std::string::npos) << after.substr(before.size());
}

// The floors themselves are the lifecycle test's; this is the flow from the
// data file: a load before data-ready has already turned the mode on.
TEST_P(GameData, CompatibilityReadAtAnEarlierLoadSkipsTheScan) {
  Prepare();
  game().data().addGlobal(game().data().pluginFormId(0xA6A), 1.0f);
  game().host().loadSavedGame();
  game().startUp();
  const std::string log = Log();
  EXPECT_TRUE(HasLine(log, "Compatibility Mode is 1")) << log;
  EXPECT_EQ(log.find("\nWeather: "), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Editions, GameData, ::testing::Values(Edition::SpecialEdition, Edition::VR), EditionTestName);
