#include "run/lightning_works.h"

#include <cstdio>
#include <vector>

namespace nimbrel_sim {

namespace {

constexpr const char kPrefix[] = "Lightning works on runtime ";
constexpr const char kSuffix[] =
    ": the first strike was cast, and every object checked so far was of the expected class.";

std::string quoted(const std::string& line) { return "\"" + line + "\""; }

}  // namespace

bool LightningWorksWatch::isLine(const std::string& line) {
  const std::string prefix = kPrefix, suffix = kSuffix;
  return line.size() > prefix.size() + suffix.size() && line.rfind(prefix, 0) == 0 &&
         line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void LightningWorksWatch::setLook(std::function<bool()> look) {
  std::lock_guard lock(mutex_);
  look_ = std::move(look);
}

void LightningWorksWatch::failOnce(bool& flag, const std::string& what, std::vector<std::string>& failures) {
  if (flag) return;
  flag = true;
  failures.push_back(what);
}

void LightningWorksWatch::noteLine(const std::string& line, bool stoodDown) {
  std::vector<std::string> failures;  // the run's, once the lock is let go
  {
    std::lock_guard lock(mutex_);
    const int stage = stage_.load();
    if (++seen_.lines == 1) {
      seen_.line = line;
      seen_.seenMs = trace_.nowMs();
    }
    trace_.record("LightningWorksLine", Args()
                                            .s("line", line)
                                            .u("count", seen_.lines)
                                            .s("when", stage == 0   ? "before the first cast"
                                                       : stage == 1 ? "after the first cast"
                                                                    : "after its task"));
    if (stage == 0) {
      seen_.beforeCast = true;
      failOnce(failedBefore_,
               "the plug-in said lightning works before its first spell cast ran (the double looks at its log on the "
               "main thread right before the first SpellCastNative call): " +
                   quoted(line),
               failures);
    }
    if (stage == 2 && !seen_.presentAfterTask) {
      seen_.late = true;
      failOnce(failedLate_,
               "the plug-in said lightning works only after the task that made its first spell cast had returned "
               "from Execute (the line was not in its log then): " +
                   quoted(line),
               failures);
    }
    if (seen_.lines == 2)
      failOnce(failedSecond_, "the plug-in said lightning works a second time in one game session: " + quoted(line),
               failures);
    if (stoodDown || stoodDown_)
      failOnce(failedStoodDown_,
               "the plug-in said lightning works in a game session in which it stood down: " + quoted(seen_.line),
               failures);
  }
  for (const std::string& what : failures) fail_(what);
}

void LightningWorksWatch::noteStandDown() {
  std::vector<std::string> failures;
  {
    std::lock_guard lock(mutex_);
    stoodDown_ = true;
    if (seen_.lines > 0)
      failOnce(failedStoodDown_,
               "the plug-in stood down in a game session in which it had said lightning works: " + quoted(seen_.line),
               failures);
  }
  for (const std::string& what : failures) fail_(what);
}

void LightningWorksWatch::beforeSpellCast(bool onMainThread) {
  if (castClaimed_.load(std::memory_order_relaxed) || castClaimed_.exchange(true)) return;
  std::function<bool()> look;
  {
    std::lock_guard lock(mutex_);
    seen_.cast = true;
    seen_.castMs = trace_.nowMs();
    seen_.castOnMainThread = onMainThread;
    look = look_;
  }
  // Every line written so far is seen while the stage still says "before".
  if (look) look();
  {
    std::lock_guard lock(mutex_);
    stage_.store(1);
  }
  trace_.record("LightningWorksLook", Args().s("at", "before the first SpellCastNative").b("mainThread", onMainThread));
}

void LightningWorksWatch::afterTaskExecute() {
  if (stage_.load(std::memory_order_relaxed) != 1) return;
  std::function<bool()> look;
  {
    std::lock_guard lock(mutex_);
    if (!seen_.castOnMainThread || seen_.lookedAfterTask) return;  // no task made it, or looked already
    seen_.lookedAfterTask = true;
    look = look_;
  }
  // The lines written so far are seen while the stage still says "after the
  // cast"; one seen from then on came late. A cast without a plug-in's log
  // (the double's own tests of its natives) asks for no line.
  const bool logged = look && look();
  std::vector<std::string> failures;
  {
    std::lock_guard lock(mutex_);
    seen_.presentAfterTask = seen_.lines > 0;
    stage_.store(2);
    trace_.record("LightningWorksLook",
                  Args().s("at", "after the first cast's task returned").b("present", seen_.presentAfterTask));
    // The plug-in writes it inside that task, right after the cast.
    if (logged && !seen_.presentAfterTask && !stoodDown_)
      failOnce(failedLate_,
               "the plug-in did not say lightning works right after its first spell cast: the line was not in its log "
               "when the task that made the cast returned from Execute",
               failures);
  }
  for (const std::string& what : failures) fail_(what);
}

LightningWorksSeen LightningWorksWatch::seen() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

}  // namespace nimbrel_sim
