#include "settings/script_bridge.h"

namespace NimbrelVR {

bool RegisterScriptFunctions(void* registry) {
  // The two setters are bound to the registry once the native-function
  // objects exist; until then scripts see no functions.
  (void)registry;
  return true;
}

}  // namespace NimbrelVR
