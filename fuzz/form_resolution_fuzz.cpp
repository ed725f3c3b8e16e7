// Form resolution over fuzzed loaded data: file lists with odd names,
// indexes and null nodes; forms missing or of other kinds at the plug-in's
// ids; form lists with null entries, entries of other kinds and odd counts.
#include <cctype>
#include <string>
#include <unordered_map>
#include <vector>

#include "game/data_files.h"
#include "game/plugin_forms.h"
#include "support/fuzz_game.h"
#include "support/fuzz_support.h"
#include "support/loaded_data.h"

using namespace NimbrelVR;
using nimbrel_sim::FormKind;

namespace {

constexpr size_t kFileNameCapacity = 259;  // what the engine's name buffer keeps
constexpr size_t kMaxForms = 48;

struct Row {
  uint32_t localId;
  void* PluginForms::*modifier;  // set for the two modifier rows
  FormSequence PluginForms::*sequence;
  FormKind element;
};

constexpr Row kRows[] = {
    {0x84B, &PluginForms::sheetImod, nullptr, FormKind::ImageSpaceModifier},
    {0x807, &PluginForms::forkImod, nullptr, FormKind::ImageSpaceModifier},
    {0x8CD, nullptr, &PluginForms::sheetSpells, FormKind::Spell},
    {0x8CE, nullptr, &PluginForms::hostileSheetSpells, FormKind::Spell},
    {0x87C, nullptr, &PluginForms::forkSpells, FormKind::Spell},
    {0x87D, nullptr, &PluginForms::hostileForkSpells, FormKind::Spell},
    {0xCF0, nullptr, &PluginForms::closeFarForkSpells, FormKind::Spell},
    {0xCF1, nullptr, &PluginForms::hostileCloseFarForkSpells, FormKind::Spell},
    {0xCEE, nullptr, &PluginForms::farForkSpells, FormKind::Spell},
    {0xCEF, nullptr, &PluginForms::hostileFarForkSpells, FormKind::Spell},
    {0xCF2, nullptr, &PluginForms::veryFarForkSpells, FormKind::Spell},
    {0xCF3, nullptr, &PluginForms::hostileVeryFarForkSpells, FormKind::Spell},
    {0xCF4, nullptr, &PluginForms::tooFarForkSpells, FormKind::Spell},
    {0xCF5, nullptr, &PluginForms::hostileTooFarForkSpells, FormKind::Spell},
    {0x8D3, nullptr, &PluginForms::sheetCasters, FormKind::ObjectReference},
    {0x8D5, nullptr, &PluginForms::sheetTargets, FormKind::ObjectReference},
    {0x8D4, nullptr, &PluginForms::forkCasters, FormKind::ObjectReference},
    {0x8D6, nullptr, &PluginForms::forkTargets, FormKind::ObjectReference},
};

constexpr FormKind kKinds[] = {FormKind::Spell,    FormKind::EffectArt,      FormKind::ImageSpaceModifier,
                               FormKind::FormList, FormKind::GlobalVariable, FormKind::ObjectReference,
                               FormKind::Weather,  FormKind::Worldspace,     FormKind::Weapon};

struct File {
  bool null = false;
  std::string name;
  uint8_t modIndex = 0;
  uint16_t lightIndex = 0;
};

// What the input put where: the latest form under an id wins, as in the engine.
struct Made {
  FormKind kind;
  std::vector<void*> entries;  // a form list's
};

std::string ConsumeName(FuzzedDataProvider& in) {
  std::string name = "Nimbrel.esp";
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
    case 1:
      return name;
    case 2:  // letters in any case
      for (char& c : name)
        if (in.ConsumeBool()) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return name;
    case 3:  // cut short, run on, or with a byte changed
      if (in.ConsumeBool()) return name.substr(0, in.ConsumeIntegralInRange<size_t>(0, name.size() - 1));
      if (in.ConsumeBool()) return name + in.ConsumeRandomLengthString(300);
      name[in.ConsumeIntegralInRange<size_t>(0, name.size() - 1)] = static_cast<char>(in.ConsumeIntegral<uint8_t>());
      return name;
    case 4:
      return "Dawnguard.esm";
    default:
      return in.ConsumeRandomLengthString(300);
  }
}

// The engine's name: what fits its buffer, up to the first NUL.
bool NamesThePlugin(const std::string& stored) {
  const std::string name(stored.substr(0, kFileNameCapacity).c_str());
  const std::string wanted = "nimbrel.esp";
  if (name.size() != wanted.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = (name[i] >= 'A' && name[i] <= 'Z') ? static_cast<char>(name[i] - 'A' + 'a') : name[i];
    if (c != wanted[i]) return false;
  }
  return true;
}

// Where the data author put a local id: the file's light-file scheme or its
// mod index, or a stray id.
uint32_t IdFor(FuzzedDataProvider& in, const std::vector<File>& files, uint32_t localId) {
  if (files.empty() || in.ConsumeIntegralInRange<int>(0, 15) == 0) return in.ConsumeIntegral<uint32_t>();
  const File& file = files[in.ConsumeIntegralInRange<size_t>(0, files.size() - 1)];
  if (file.lightIndex != 0) return 0xFE000000u | (uint32_t{file.lightIndex & 0xFFFu} << 12) | (localId & 0xFFFu);
  return (uint32_t{file.modIndex} << 24) | (localId & 0xFFFFFFu);
}

bool IsKind(const std::unordered_map<void*, FormKind>& kinds, void* form, FormKind kind) {
  auto it = kinds.find(form);
  return it != kinds.end() && it->second == kind;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nimbrel_sim::GameDouble& game = fuzzsupport::StartedGame();
  FuzzedDataProvider in(data, size);
  fuzzsupport::FreshData(game);
  *gPluginForms = PluginForms{};

  std::vector<File> files(in.ConsumeIntegralInRange<size_t>(0, 6));
  for (File& file : files) {
    file.null = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    file.name = ConsumeName(in);
    file.modIndex = in.ConsumeIntegral<uint8_t>();
    file.lightIndex = in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<uint16_t>(0, 0xFFF);
    if (file.null) {
      fuzzsupport::AddNullFileNode(game);
    } else {
      fuzzsupport::AddFile(game, file.name, file.modIndex, file.lightIndex);
    }
  }

  std::unordered_map<void*, FormKind> kinds;
  std::unordered_map<uint32_t, Made> byId;
  std::vector<void*> made;
  auto makeForm = [&](FormKind kind, uint32_t id) {
    void* form = fuzzsupport::AddForm(game, kind, id);
    kinds[form] = kind;
    byId[id] = {kind, {}};
    made.push_back(form);
    return form;
  };
  for (const Row& row : kRows) {
    if (made.size() >= kMaxForms) break;
    const int what = in.ConsumeIntegralInRange<int>(0, 7);
    if (what == 0) continue;  // missing
    const uint32_t id = IdFor(in, files, row.localId);
    if (what == 1 || (row.modifier && what < 4)) {  // a form of any kind
      makeForm(kKinds[in.ConsumeIntegralInRange<size_t>(0, std::size(kKinds) - 1)], id);
    } else if (row.modifier) {
      makeForm(FormKind::ImageSpaceModifier, id);
    } else {
      const size_t count = in.ConsumeIntegralInRange<int>(0, 15) == 0 ? in.ConsumeIntegralInRange<size_t>(0, 40)
                                                                      : in.ConsumeIntegralInRange<size_t>(0, 4);
      std::vector<void*> entries;
      for (size_t i = 0; i < count && made.size() < kMaxForms; ++i) {
        const int pick = in.ConsumeIntegralInRange<int>(0, 7);
        if (pick == 0) {
          entries.push_back(nullptr);
        } else if (pick == 1 && !made.empty()) {
          entries.push_back(made[in.ConsumeIntegralInRange<size_t>(0, made.size() - 1)]);
        } else {
          const FormKind kind =
              pick >= 5 ? row.element : kKinds[in.ConsumeIntegralInRange<size_t>(0, std::size(kKinds) - 1)];
          entries.push_back(makeForm(kind, 0x7F000000u | static_cast<uint32_t>(made.size())));
        }
      }
      void* list = fuzzsupport::AddFormList(game, id, entries);
      kinds[list] = FormKind::FormList;
      byId[id] = {FormKind::FormList, entries};
      made.push_back(list);
    }
  }

  // The first file named like the plug-in, passing over null nodes, decides.
  const File* plugin = nullptr;
  for (const File& file : files)
    if (!file.null && NamesThePlugin(file.name)) {
      plugin = &file;
      break;
    }
  const bool usable = plugin && plugin->modIndex != 0 && plugin->modIndex != 0xFF;

  const bool resolved = ResolvePluginForms();
  fuzzsupport::CheckDouble();
  FUZZ_CHECK(resolved == usable, "resolution answered %d for a %s", resolved,
             !plugin  ? "data set without the plug-in"
             : usable ? "usable plug-in file"
                      : "plug-in at mod index 0 or 0xFF");

  const game::LoadedFile* file = resolved ? game::FindLoadedFile(game::kPluginFileName) : nullptr;
  for (const Row& row : kRows) {
    Made* form = nullptr;
    if (file) {
      auto it = byId.find(game::ComposeFormId(file, row.localId));
      if (it != byId.end()) form = &it->second;
    }
    if (row.modifier) {
      void* modifier = (*gPluginForms).*row.modifier;
      const bool expected = form && form->kind == FormKind::ImageSpaceModifier;
      FUZZ_CHECK(expected ? IsKind(kinds, modifier, FormKind::ImageSpaceModifier) : modifier == nullptr,
                 "modifier %x resolved wrongly", row.localId);
      continue;
    }
    // Exactly the list's entries of the row's kind, in order.
    std::vector<void*> expected;
    if (form && form->kind == FormKind::FormList)
      for (void* entry : form->entries)
        if (entry && IsKind(kinds, entry, row.element)) expected.push_back(entry);
    FUZZ_CHECK((*gPluginForms).*row.sequence == expected, "list %x gave %zu forms, %zu expected", row.localId,
               ((*gPluginForms).*row.sequence).size(), expected.size());
  }

  *gPluginForms = PluginForms{};
  fuzzsupport::BoundLog();
  return 0;
}
