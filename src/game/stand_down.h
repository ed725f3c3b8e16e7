// Standing down: once a check finds that an engine object is not what the
// plug-in expects where it looks (a game update moved a field), lightning
// ends for the session and the game goes on. The first failed check, on
// whatever thread, logs two lines; from then on the plug-in's own threads
// make no engine call (game/checked_reads.h reads nothing more, lightning/
// ends its loops and queues no task).
#pragma once

#include <cstdint>

#include "game/runtime_version.h"

namespace NimbrelVR::game {

// The runtime bound, in the words of the log's lines that judge it (the
// stand-down lines, the line that lightning works): "1.7.99 (Steam)".
RuntimeText ReportedRuntime();

// Whether lightning has stood down. Sequentially consistent, so that a pass
// taken before it is read (EnginePass, lightning's world access) is seen by
// the stand-down's drain.
bool StoodDown();

// What the caller of a checked read holds while it reads: a strike thread
// reads inside lightning's world access, which the stand-down's hook waits
// for, and the day/night art inside an engine pass, which the stand-down
// waits for; neither must wait for the finder's own.
enum class Holding : uint8_t { Nothing, WorldAccess, EnginePass };

// Called once, by the first failed check, after the flag is raised and
// before the lines: ends what runs above game/ (lightning's effects window,
// whose drain lets strike threads inside an engine call finish). Handed in
// at load; until then there is nothing running to end.
using StandDownHook = void (*)(Holding finder);
void SetStandDownHook(StandDownHook hook);

// Held by a plug-in thread around an engine call made outside lightning's
// world access (the monitor's sky accessor and day/night art): false once
// lightning has stood down, and the stand-down waits for those held before
// it writes its lines.
class EnginePass {
 public:
  EnginePass();
  ~EnginePass();
  EnginePass(const EnginePass&) = delete;
  EnginePass& operator=(const EnginePass&) = delete;
  explicit operator bool() const { return open_; }

 private:
  bool open_;
};

// A failed check: `field` (e.g. "the sky's current weather (+0x48)") should
// hold `expected` ("an object of class TESWeather"), but holds `found`. The
// first call of the process raises the flag, runs the hook, waits for the
// engine passes of other threads, then logs at level 0:
//   Runtime <runtime> is not laid out as this build expects: <field> should hold <expected>, but holds <found>.
//   Lightning stands down for this game session; the game goes on without it. Please report runtime <runtime> and the
//   line above.
// Later calls do nothing. Never throws.
void StandDown(const char* field, const char* expected, const char* found, Holding finder);

}  // namespace NimbrelVR::game
