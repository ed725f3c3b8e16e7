// The --fault option of nimbrel-sim: an engine entry that refuses, read
// from its words ("FormFromId:3", "CellAttachedNative:1+",
// "RefMoveToNative:p0.2") and written back as given.
#pragma once

#include <string>

#include "nimbrel_sim/types.h"

namespace nimbrel_sim::cli {

// False with what is wrong in `problem` (the entries when the entry is
// none of them, the near one when only the letter case differs).
bool ParseFault(const std::string& text, Fault& fault, std::string& problem);
// "FormFromId:3" and the like, as given.
std::string FaultText(const Fault& fault);

}  // namespace nimbrel_sim::cli
