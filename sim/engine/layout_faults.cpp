#include "engine/layout_faults.h"

#include <cstdio>

#include "image/runtimes.h"

namespace nimbrel_sim {

namespace {

struct Named {
  LayoutFault fault;
  const char* name;
};
constexpr Named kNames[] = {
    {LayoutFault::SkyWeather, "sky-weather"},
    {LayoutFault::PlayerCell, "player-cell"},
    {LayoutFault::CellWorldspace, "cell-worldspace"},
    {LayoutFault::VmMachine, "vm-machine"},
    {LayoutFault::RootNode, "root-node"},
    {LayoutFault::EffectArtModel, "effect-art-model"},
    {LayoutFault::FadeDuration, "fade-duration"},
    {LayoutFault::FormList, "form-list"},
    {LayoutFault::HitSource, "hit-source"},
    {LayoutFault::HitEvent, "hit-event"},
    {LayoutFault::ScenePosition, "scene-position"},
};

// What each fault adds to the run so that the plug-in reads the field it
// moved, whatever the scenario: lines of a scenario, at seconds of play.
struct Added {
  LayoutFault fault;
  double atSeconds;
  const char* line;
};
constexpr Added kAdded[] = {
    // A day/night switch, whichever the plug-in believes it is: noon, then
    // night a few monitor cycles later.
    {LayoutFault::EffectArtModel, 0, "hour 12"},
    {LayoutFault::EffectArtModel, 5, "hour 21"},
    // A new fade duration, which the plug-in writes into every sheet form.
    {LayoutFault::FadeDuration, 1, "set-float SheetFadeDuration 2"},
    {LayoutFault::HitEvent, 2, "hit player spell"},
};

std::string addedWords(LayoutFault fault) {
  std::string words;
  for (const Added& a : kAdded) {
    if (a.fault != fault) continue;
    char at[32];
    std::snprintf(at, sizeof at, "at %g s ", a.atSeconds);
    words += (words.empty() ? "" : ", ") + std::string(at) + "\"" + a.line + "\"";
  }
  return words.empty() ? "" : "; the run adds " + words + " so that the plug-in reads the field";
}

std::string hex(size_t offset) {
  char text[16];
  std::snprintf(text, sizeof text, "+0x%zx", offset);
  return text;
}

}  // namespace

const char* layoutFaultName(LayoutFault fault) {
  for (const Named& n : kNames)
    if (n.fault == fault) return n.name;
  return "none";
}

const std::vector<std::string>& layoutFaultNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all;
    for (const Named& n : kNames) all.emplace_back(n.name);
    return all;
  }();
  return names;
}

bool parseLayoutFault(const std::string& text, LayoutFault& fault) {
  for (const Named& n : kNames) {
    if (text == n.name) {
      fault = n.fault;
      return true;
    }
  }
  return false;
}

std::vector<std::pair<double, std::string>> layoutFaultEvents(LayoutFault fault) {
  std::vector<std::pair<double, std::string>> events;
  for (const Added& a : kAdded)
    if (a.fault == fault) events.emplace_back(a.atSeconds, a.line);
  return events;
}

std::string layoutFaultWords(LayoutFault fault, Edition edition, uint32_t runtime) {
  switch (fault) {
    case LayoutFault::SkyWeather:
      return "the sky's current weather (+0x48) holds the sky's Clouds object (class Clouds, a SkyObject), not a "
             "TESWeather";
    case LayoutFault::PlayerCell:
      return "the player's parent cell (+0x60) holds a pointer into the heap, to plain data that is no object (its "
             "first word is a heap address, no vtable of the game's image)";
    case LayoutFault::CellWorldspace:
      return "every cell's worldspace (" + hex(cellWorldspaceOffset(edition, runtime)) +
             ") holds an address in a page no one may read or write, not a TESWorldSpace";
    case LayoutFault::VmMachine:
      return "the script VM's script machine (" + hex(scriptVmMachineOffset(edition, runtime)) +
             ") holds the VM's event sink object (class BSTEventSink<TESFormDeleteEvent>), not a "
             "BSScript::Internal::VirtualMachine";
    case LayoutFault::RootNode:
      return "the player's root node (+0x68 of its loaded 3D state) holds the player's animation controller (class "
             "NiControllerManager, a NiObject but no NiAVObject)";
    case LayoutFault::EffectArtModel:
      return "the word at +0x40 of every effect-art form (its TESModel) holds BGSProjectile's vtable for its "
             "BGSPreloadable (its locator's offset 0x68), not the one for its TESModel (offset 0x40)" +
             addedWords(fault);
    case LayoutFault::FadeDuration:
      return "+0xc0 of every effect-art form holds an 8-byte pointer into the game's image, so that its fade "
             "duration (+0xc4) holds the pointer's high half, a denormal number, not a duration" +
             addedWords(fault);
    case LayoutFault::FormList:
      return "the entries of every form list (the array at +0x20; capacity at +0x28 and size at +0x30 as they "
             "were) point to heap data that is no form (blocks of floats and of text, no vtable of the game's "
             "image), not to TESForms";
    case LayoutFault::HitSource: {
      const bool vr = edition == Edition::VR;
      return std::string(
                 "a source inserted before the hit source of the script event holder puts the "
                 "TESGrabReleaseEvent source at +0x5d8, with the script VM in it by its "
                 "BSTEventSink<TESGrabReleaseEvent> base; the hit source moved to +0x630 and the holder "
                 "grew from ") +
             (vr ? "0x1238 to 0x1290" : "0x1290 to 0x12e8") + " bytes";
    }
    case LayoutFault::HitEvent:
      return "the hit event's target (+0x00) holds the hit's source form (a SpellItem for a spell's hit, a "
             "TESObjectWEAP for a weapon's), not a reference" +
             addedWords(fault);
    case LayoutFault::ScenePosition:
      return "the player's root node's world position (+0xd4, +0xd8, +0xdc) holds NaN, not a number; it shows "
             "once a strike reads where the player stands";
    case LayoutFault::None:
      break;
  }
  return "no field moved";
}

}  // namespace nimbrel_sim
