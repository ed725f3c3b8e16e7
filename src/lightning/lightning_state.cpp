#include "lightning/lightning_state.h"

namespace NimbrelVR {

constinit LightningState gLightningState;

}  // namespace NimbrelVR
