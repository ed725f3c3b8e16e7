#include "settings/settings.h"

namespace NimbrelVR {

constinit PluginSettings gSettings;

}  // namespace NimbrelVR
