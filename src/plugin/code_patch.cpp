#include "plugin/code_patch.h"

#include <cstring>
#include <limits>

#include "log/debug_log.h"
#include "platform/platform.h"

namespace NimbrelVR {

bool WriteRelativeJump(uint8_t* site, const uint8_t* target) {
  const auto from = reinterpret_cast<uintptr_t>(site) + 5;
  const auto to = reinterpret_cast<uintptr_t>(target);
  // Unsigned difference reinterpreted as signed: defined for any two addresses.
  const auto displacement = static_cast<int64_t>(to - from);
  if (displacement < std::numeric_limits<int32_t>::min() || displacement > std::numeric_limits<int32_t>::max())
    return false;

  uint32_t oldProtection = 0;
  if (!platform::MakeWritable(site, 5, &oldProtection)) return false;

  const auto rel = static_cast<uint32_t>(static_cast<int32_t>(displacement));
  // Opcode and the low three displacement bytes in one store, then the last byte.
  const uint32_t head = 0xE9u | (rel << 8);
  std::memcpy(site, &head, sizeof head);  // the site is unaligned; one 4-byte move
  site[4] = static_cast<uint8_t>(rel >> 24);

  if (!platform::RestoreProtection(site, 5, oldProtection))
    PluginLog(0, "The game code patch is written, but its page could not be made read-only again.");
  return true;
}

}  // namespace NimbrelVR
