// GameDouble: the checks. What the run saw (the trace, the main thread's
// figures, the patch site, the refused faults) and the checks at its end
// that fail it.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "double/game_double_impl.h"
#include "image/image.h"
#include "run/os.h"

namespace nimbrel_sim {

namespace {

constexpr uint8_t kJumpBytes[5] = {0xE9, 0x2D, 0x00, 0x00, 0x00};
constexpr size_t kJumpSize = 5;
constexpr size_t kSkippedBytes = 45;

}  // namespace

MainThreadFigures Checks::mainThreadFigures() const {
  const DoubleState& d = *impl_;
  MainThreadFigures f;
  const TaskStats tasks = d.host.taskStats();
  f.frames = d.mainThread.frames();
  f.fps = d.mainThread.fps();
  f.maxTasksPerFrame = tasks.maxPerFrame;
  f.maxTaskLatencyFrames = tasks.maxLatencyFrames;
  f.loads = d.loads.load();
  f.stalledSeconds = d.mainThread.stalledMs() / 1000.0;
  f.tasksHeldOverLoads = tasks.heldOverLoads;
  f.longestTaskMs = tasks.longestTaskMs;
  f.pluginCallsDuringLoads = d.run.pluginCallsDuringLoads.load();
  const ThreadCensus::Peaks peaks = d.census.peaks();
  f.threadsObserved = peaks.observed;
  f.peakPluginThreads = peaks.plugin;
  f.peakSheetLoops = peaks.sheetLoops;
  f.peakForkLoops = peaks.forkLoops;
  f.peakStrikeThreads = peaks.strikes;
  return f;
}

std::map<std::string, uint64_t> Checks::faultsRefused() const { return impl_->run.faults.refusedByEntry(); }

StandDownSeen Checks::standDown() const { return impl_->run.standDown(); }

LightningWorksSeen Checks::lightningWorks() const { return impl_->run.lightningWorks.seen(); }

size_t Checks::sinkCount(Source source) const { return impl_->engine.sinks(source).size(); }

size_t Checks::gameSinkCount(Source source) const {
  const auto all = impl_->engine.deliveryList(source);
  return static_cast<size_t>(std::count_if(all.begin(), all.end(), [](const EventSources::Sink& s) { return s.game; }));
}

std::vector<uint8_t> Checks::patchSiteBytes(size_t count) const {
  if (!image().ready() || !image().has(kJumpPatchSite)) return {};
  count = std::min(count, Image::kEngineCodeSize);
  const auto* site = reinterpret_cast<const uint8_t*>(image().address(kJumpPatchSite));
  return std::vector<uint8_t>(site, site + count);
}

bool Checks::patchTailIntact() const {
  if (!image().ready() || !image().has(kJumpPatchSite)) return false;
  const auto* site = reinterpret_cast<const uint8_t*>(image().address(kJumpPatchSite));
  return std::memcmp(site + kJumpSize, Image::kEngineCode + kJumpSize, kSkippedBytes) == 0;
}

std::string Checks::patchSiteProtection() const {
  return image().ready() && image().has(kJumpPatchSite) ? os::protectionOf(image().address(kJumpPatchSite)) : "---";
}

uintptr_t Checks::imageBase() const { return image().base(); }
uintptr_t Checks::patchSiteAddress() const {
  return image().ready() && image().has(kJumpPatchSite) ? image().address(kJumpPatchSite) : 0;
}

std::vector<std::string> Checks::trace() const { return impl_->run.trace.lines(); }
size_t Checks::traceLineCount() const { return impl_->run.trace.lineCount(); }
size_t Checks::callCount(const std::string& function) const { return impl_->run.trace.count(function); }

size_t Checks::engineCallCount() const {
  size_t calls = 0;
  for (int i = kFirstFunction; i <= kLastFunction; ++i) calls += callCount(entry(static_cast<EntryId>(i)).name);
  return calls;
}

std::vector<std::string> Checks::codeChanges() const { return image().codeChanges(); }

std::vector<std::string> Checks::failures() const {
  std::vector<std::string> all = impl_->run.failures();
  std::lock_guard lock(impl_->finalMutex);
  all.insert(all.end(), impl_->finalFailures.begin(), impl_->finalFailures.end());
  return all;
}

void Checks::finalChecks() {
  DoubleState& d = *impl_;
  std::vector<std::string> found;
  // The log's last lines, should the plug-in have stood down just now.
  d.logWatch.look();

  // Strike threads may go on queuing tasks: those queued before the check
  // began must have run; later ones may still be pending.
  size_t due = 0;
  const TaskStats tasks = d.host.drainAndCount(due);
  const size_t queued = tasks.queued, released = tasks.released, pending = tasks.pending;
  if (released < due || released > queued || pending > queued - released)
    found.push_back("tasks not released exactly once: " + std::to_string(queued) + " queued, " +
                    std::to_string(released) + " released, " + std::to_string(pending) + " pending");

  if (image().ready()) {
    // Nothing but the patch site, where there is one, may change in the
    // game's code; on other runtimes five bytes would land in unknown code.
    const std::string where =
        image().has(kJumpPatchSite) ? "" : " (" + d.runtime.name + " has no known patch site: no code may be written)";
    for (const std::string& change : image().codeChanges()) found.push_back("game code changed: " + change + where);
  }
  if (image().ready() && image().has(kJumpPatchSite)) {
    std::vector<uint8_t> head = patchSiteBytes(kJumpSize);
    if (d.dataReadySent) {
      if (std::memcmp(head.data(), kJumpBytes, kJumpSize) != 0)
        found.push_back("patch site does not hold the jump E9 2D 00 00 00 after data-ready");
    } else if (std::memcmp(head.data(), Image::kEngineCode, kJumpSize) != 0) {
      found.push_back("patch site written before data-ready");
    }
    if (!patchTailIntact()) found.push_back("engine bytes after the jump were changed");
    const auto* site = reinterpret_cast<const uint8_t*>(image().address(kJumpPatchSite));
    if (std::memcmp(site + 0x32, Image::kEngineCode + 0x32, Image::kEngineCodeSize - 0x32) != 0)
      found.push_back("engine code at the jump target was changed");
    std::string protection = patchSiteProtection();
    if (protection != "r-x") found.push_back("patch site protection not restored: " + protection);
  }

  // The game quits: the script machine destroys its native functions.
  d.machine.shutDown();

  Args args;
  args.u("tasksQueued", queued).u("tasksReleased", released).u("heapBlocks", d.engine.liveHeapBlocks());
  args.u("failures", found.size());
  d.run.trace.record("FinalChecks", args);
  for (const auto& f : found) d.run.trace.record("Failure", Args().s("what", f));
  std::lock_guard lock(d.finalMutex);
  d.finalFailures = std::move(found);
  d.run.trace.flush();
}

}  // namespace nimbrel_sim
