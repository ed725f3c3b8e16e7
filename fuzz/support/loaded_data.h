// Loaded data for one fuzz input: the double's loaded-file list and forms,
// made afresh each time. Every use of the double's data calls is here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nimbrel_sim/game_double.h"

namespace fuzzsupport {

// Forgets the previous input's files and forms.
void FreshData(nimbrel_sim::GameDouble& game);
void AddFile(nimbrel_sim::GameDouble& game, const std::string& name, uint8_t modIndex, uint16_t lightIndex);
void AddNullFileNode(nimbrel_sim::GameDouble& game);
void* AddForm(nimbrel_sim::GameDouble& game, nimbrel_sim::FormKind kind, uint32_t formId);
void* AddFormList(nimbrel_sim::GameDouble& game, uint32_t formId, const std::vector<void*>& entries);
void* AddWeather(nimbrel_sim::GameDouble& game, uint32_t formId, uint8_t flags, uint8_t lightningFrequency);
void* AddEffectArt(nimbrel_sim::GameDouble& game, uint32_t formId, const char* modelPath);

}  // namespace fuzzsupport
