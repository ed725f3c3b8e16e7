// The script machine's entry to the settings: the native functions of
// "NimbrelPluginScript".
#pragma once

namespace NimbrelVR {

// Handed to the host's script interface; the host calls it with the game's
// script registry once the script machine exists.
bool RegisterScriptFunctions(void* registry);

}  // namespace NimbrelVR
