#include "host/host.h"

#include "image/runtimes.h"
#include "run/active_run.h"
#include "run/os.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <exception>

#include "run/plugin_calls.h"

namespace nimbrel_sim {

namespace {

Host& active() { return *ActiveRun::host(); }

void* hostQueryInterface(uint32_t id) { return active().queryInterface(id); }
uint32_t hostPluginHandle() { return active().pluginHandle(); }
uint32_t hostReleaseIndex() { return 0; }
const void* hostPluginInfo(const char* name) { return active().pluginInfo(name); }
bool hostRegisterScript(void* callback) { return active().registerScriptCallback(callback); }
void hostAddTask(void* task) { active().addTask(task, false); }
void hostAddUiTask(void* task) { active().addTask(task, true); }
bool hostRegisterListener(uint32_t handle, const char* sender, void* listener) {
  return active().registerListener(handle, sender, listener);
}
bool hostDispatch(uint32_t handle, uint32_t type, void*, uint32_t length, const char* receiver) {
  return active().dispatch(handle, type, length, receiver);
}
void* hostEventDispatcher(uint32_t id) { return active().eventDispatcher(id); }

}  // namespace

Host::Host(Run& run, Engine& engine, const Options& options) : run_(run), engine_(engine), options_(options) {
  const uint32_t runtime = runtimeOf(options);
  record_ = {hostVersionFor(options.edition, runtime),
             runtime,
             0,
             options.editor ? 1u : 0u,
             &hostQueryInterface,
             &hostPluginHandle,
             &hostReleaseIndex,
             &hostPluginInfo};
  script_ = {1, &hostRegisterScript};
  task_ = {2, &hostAddTask, &hostAddUiTask};
  messaging_ = {2, &hostRegisterListener, &hostDispatch, &hostEventDispatcher};
}

Host::~Host() { ActiveRun::forget(this); }

void Host::activate() { ActiveRun::setHost(this); }

// --- interfaces ------------------------------------------------------------

void* Host::queryInterface(uint32_t id) {
  void* result = nullptr;
  bool missing = std::find(options_.missingInterfaces.begin(), options_.missingInterfaces.end(), id) !=
                 options_.missingInterfaces.end();
  if (!missing) {
    if (id == 2) result = &script_;
    if (id == 4) result = &task_;
    if (id == 5) result = &messaging_;
  }
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(id);
  }
  run_.trace.record("QueryInterface", Args().u("id", id).p("result", result));
  return result;
}

// The host's records of loaded plug-ins are not simulated: no plug-in is
// known by name.
const void* Host::pluginInfo(const char* name) {
  run_.trace.record("GetPluginInfo", Args().s("name", name ? name : "(null)"));
  return nullptr;
}

uint32_t Host::pluginHandle() {
  // The host knows which plug-in asks only while it loads one.
  const bool inside = inQueryOrLoad_.load();
  const uint32_t result = inside ? handle() : kNoHandle;
  run_.trace.record("GetPluginHandle", Args().u("result", result));
  if (!inside) run_.fail("GetPluginHandle called outside the plug-in's query and load");
  return result;
}

bool Host::registerScriptCallback(void* callback) {
  {
    std::lock_guard lock(mutex_);
    if (callback) scriptCallbacks_.push_back(callback);
  }
  run_.trace.record("RegisterScriptCallback", Args().p("callback", callback));
  if (!callback) run_.fail("null callback handed to the script interface");
  return callback != nullptr;
}

namespace {

bool sameSender(const std::string& a, const char* b) {
  if (!b) return false;
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return i == a.size() && !b[i];
}

}  // namespace

bool Host::registerListener(uint32_t handle, const char* sender, void* listener) {
  // The host refuses a handle it did not give out; a second registration
  // for the same sender keeps the first listener and still answers true.
  bool accepted = handle == this->handle() && listener;
  bool again = false;
  {
    std::lock_guard lock(mutex_);
    listenerHandle_ = handle;
    for (const auto& l : listeners_)
      again = again || (l.handle == handle && (sender ? sameSender(l.sender, sender) : l.sender.empty()));
    if (accepted && !again) listeners_.push_back({handle, sender ? sender : "", listener});
  }
  run_.trace.record("RegisterListener", Args()
                                            .u("handle", handle)
                                            .s("sender", sender ? sender : "(all)")
                                            .p("listener", listener)
                                            .b("again", again)
                                            .b("result", accepted));
  return accepted;
}

bool Host::registerListenerOf(uint32_t otherHandle, const char* sender, void* listener) {
  std::lock_guard lock(mutex_);
  for (const auto& l : listeners_)
    if (l.handle == otherHandle && (sender ? sameSender(l.sender, sender) : l.sender.empty())) return true;
  listeners_.push_back({otherHandle, sender ? sender : "", listener});
  return true;
}

bool Host::dispatch(uint32_t handle, uint32_t type, uint32_t length, const char* receiver) {
  run_.trace.record(
      "Dispatch",
      Args().u("handle", handle).u("type", type).u("length", length).s("receiver", receiver ? receiver : "(all)"));
  return false;
}

void* Host::eventDispatcher(uint32_t id) {
  void* source =
      id == kActionDispatcherId && !options_.noActionDispatcher ? engine_.eventSource(Source::Action) : nullptr;
  run_.trace.record("GetEventDispatcher", Args().u("id", id).p("result", source));
  return source;
}

uint32_t Host::listenerHandle() const {
  std::lock_guard lock(mutex_);
  return listenerHandle_;
}

size_t Host::listenerCount() const {
  std::lock_guard lock(mutex_);
  return std::count_if(listeners_.begin(), listeners_.end(),
                       [this](const Listener& l) { return l.handle == handle() && sameSender(l.sender, kHostSender); });
}

size_t Host::scriptCallbackCount() const {
  std::lock_guard lock(mutex_);
  return scriptCallbacks_.size();
}

std::vector<uint32_t> Host::interfaceRequests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

// --- messages ----------------------------------------------------------------

std::vector<Host::Listener> Host::listenersFor(const char* sender) const {
  const bool fromHost = sameSender(kHostSender, sender);
  std::vector<Listener> targets;
  std::lock_guard lock(mutex_);
  for (const auto& l : listeners_)
    if (l.sender.empty() ? !fromHost : sameSender(l.sender, sender)) targets.push_back(l);
  return targets;
}

size_t Host::sendMessage(uint32_t type, uint64_t dataWord, const char* sender) {
  std::vector<Listener> targets = listenersFor(sender);
  run_.trace.record("Message",
                    Args().s("sender", sender).u("type", type).u("data", dataWord).u("listeners", targets.size()));
  for (const auto& l : targets) {
    HostMessageRecord message{sender, type, dataWord ? 8u : 0u, reinterpret_cast<void*>(dataWord)};
    plugin_calls::listener(l.fn, &message);
  }
  return targets.size();
}

void Host::sendNullMessage() {
  std::vector<Listener> targets = listenersFor(kHostSender);
  run_.trace.record("Message", Args().b("null", true).u("listeners", targets.size()));
  for (const auto& l : targets) plugin_calls::listener(l.fn, nullptr);
}

void Host::registerScriptFunctions() {
  std::vector<void*> callbacks;
  {
    std::lock_guard lock(mutex_);
    callbacks = scriptCallbacks_;
  }
  for (void* callback : callbacks) {
    bool result = plugin_calls::registerFunctions(callback, engine_.scriptRegistry());
    run_.trace.record("RegisterScriptFunctions",
                      Args().p("callback", callback).p("registry", engine_.scriptRegistry()).b("result", result));
  }
}

// --- tasks and the game's main thread ------------------------------------------

void Host::addTask(void* task, bool ui) {
  run_.noteTaskQueued(os::osThreadId());
  std::string problem;
  {
    std::lock_guard queueLock(queueLock_);
    std::lock_guard lock(mutex_);
    if (!task) {
      problem = "null task handed to the task interface";
    } else if (ui) {
      problem = "task handed to the UI task queue, which the plug-in does not use";
    } else if (pending_.count(task)) {
      problem = "task object queued again while still pending";
    } else {
      pending_.insert(task);
      ++queued_;
      // One burst per strike thread; a new one after a long gap in case the
      // system hands the thread's id out again.
      const auto now = std::chrono::steady_clock::now();
      auto& [burst, last] = threadBurst_[os::osThreadId()];
      if (burst == 0 || now - last > std::chrono::milliseconds(50)) burst = ++bursts_;
      last = now;
      queue_.push_back({task, burst, frame_.load(), loading_, now});
    }
  }
  run_.trace.record("AddTask", Args().p("task", task).b("ui", ui));
  if (!problem.empty()) run_.fail(problem);
}

void Host::runTask(const Queued& queued) {
  void* task = queued.task;
  const auto began = std::chrono::steady_clock::now();
  run_.runningTaskBurst.store(queued.burst);
  run_.runningTaskQueuedTicks.store(queued.queuedAt.time_since_epoch().count());
  run_.trace.record("Task", Args().p("task", task).s("op", "Execute"));
  plugin_calls::taskExecute(task);
  run_.lightningWorks.afterTaskExecute();
  run_.trace.record("Task", Args().p("task", task).s("op", "Release"));
  // No longer pending once Release starts: the task frees itself there, and
  // a new task may be allocated at the same address and queued at once.
  {
    std::lock_guard lock(mutex_);
    pending_.erase(task);
  }
  plugin_calls::taskRelease(task);
  run_.runningTaskQueuedTicks.store(0);
  const double tookMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
  std::lock_guard lock(mutex_);
  ++released_;
  longestTaskMs_ = std::max(longestTaskMs_, tookMs);
  // Counted before anyone waiting for this task is woken.
  maxPerFrame_ = std::max(maxPerFrame_, ++ranThisFrame_);
  maxLatency_ = std::max(maxLatency_, frame_.load() - queued.frame);
  if (queued.duringLoad) ++heldOverLoads_;
  idle_.notify_all();
}

void Host::runFrameTasks(uint64_t frame) {
  setFrame(frame);
  size_t count = 0;
  {
    std::lock_guard lock(mutex_);
    if (held_) return;
    count = queue_.size();
    ranThisFrame_ = 0;
  }
  const bool vr = options_.edition == Edition::VR;
  for (size_t i = 0; i < count; ++i) {
    std::unique_lock queueLock(queueLock_);
    Queued next;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty() || held_) break;
      next = queue_.front();
      queue_.pop_front();
    }
    if (!vr) queueLock.unlock();
    runTask(next);
  }
}

void Host::drainTasks() {
  if (run_.onMainThread()) return;
  size_t due = 0;
  drainAndCount(due);
}

TaskStats Host::taskStats() const {
  std::lock_guard lock(mutex_);
  return {queued_, released_, pending_.size(), maxPerFrame_, maxLatency_, heldOverLoads_, longestTaskMs_};
}

TaskStats Host::drainAndCount(size_t& due) {
  std::unique_lock lock(mutex_);
  due = queued_;
  // Tasks run in queue order: once `due` tasks are released, every task
  // queued before the wait began has run, however many came in since.
  if (!run_.onMainThread()) idle_.wait(lock, [this, &due] { return released_ >= due || held_ || framesStopped_; });
  return {queued_, released_, pending_.size(), maxPerFrame_, maxLatency_, heldOverLoads_, longestTaskMs_};
}

void Host::hold(bool held) {
  {
    std::lock_guard lock(mutex_);
    held_ = held;
  }
  run_.trace.record("HoldMainThread", Args().b("held", held));
  idle_.notify_all();
}

void Host::setLoading(bool loading) {
  std::lock_guard lock(mutex_);
  loading_ = loading;
}

}  // namespace nimbrel_sim
