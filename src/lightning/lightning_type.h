#pragma once

namespace NimbrelVR {

enum LightningType : int {
  Sheet = 0,
  Fork = 1,
};

}  // namespace NimbrelVR
