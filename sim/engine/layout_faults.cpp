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
};

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
    case LayoutFault::None:
      break;
  }
  return "no field moved";
}

}  // namespace nimbrel_sim
