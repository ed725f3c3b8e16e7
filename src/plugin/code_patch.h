#pragma once

#include <cstdint>

namespace NimbrelVR {

// Writes a 5-byte relative jump (E9 + 32-bit displacement) at `site`.
// Writes nothing and returns false when the displacement does not fit in 32
// bits or the code cannot be made writable.
bool WriteRelativeJump(uint8_t* site, const uint8_t* target);

}  // namespace NimbrelVR
