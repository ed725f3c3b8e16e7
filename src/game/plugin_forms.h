// The forms of the plug-in's own data file that make its lightning.
#pragma once

#include <vector>

#include "platform/process_wide.h"

namespace NimbrelVR {

using FormSequence = std::vector<void*>;  // non-owning; the game owns the forms

struct PluginForms {
  void* sheetImod = nullptr;
  void* forkImod = nullptr;
  FormSequence sheetSpells;
  FormSequence hostileSheetSpells;
  FormSequence forkSpells;
  FormSequence hostileForkSpells;
  FormSequence closeFarForkSpells;
  FormSequence hostileCloseFarForkSpells;
  FormSequence farForkSpells;
  FormSequence hostileFarForkSpells;
  FormSequence veryFarForkSpells;
  FormSequence hostileVeryFarForkSpells;
  FormSequence tooFarForkSpells;
  FormSequence hostileTooFarForkSpells;
  FormSequence sheetCasters;
  FormSequence sheetTargets;
  FormSequence forkCasters;
  FormSequence forkTargets;
};

// Filled once at data-ready, before any thread that reads it starts;
// read-only afterwards.
extern ProcessWide<PluginForms> gPluginForms;

// Finds the plug-in's data file and resolves every form. False when the file
// is not loaded or has no usable mod index (the plug-in cannot work then);
// single missing forms are logged and leave their field empty. A form list
// that fails its check stands lightning down and ends resolution there.
bool ResolvePluginForms();

}  // namespace NimbrelVR
