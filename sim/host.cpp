#include "host.h"

#include "os.h"

#include <algorithm>
#include <atomic>
#include <exception>

#include "plugin_calls.h"

namespace nimbrel_sim {

namespace {

std::atomic<Host*> gActive{nullptr};

Host& active() { return *gActive.load(std::memory_order_acquire); }

void* hostQueryInterface(uint32_t id) { return active().queryInterface(id); }
uint32_t hostPluginHandle() { return active().pluginHandle(); }
uint32_t hostReleaseIndex() { return 0; }
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

constexpr uint32_t kHostVersion = 0x02001000;  // interface version words, unread by the plug-in

}  // namespace

Host::Host(Run& run, Engine& engine, const Options& options) : run_(run), engine_(engine), options_(options) {
  uint32_t runtime = options.runtimeVersion;
  if (runtime == 0) runtime = options.edition == Edition::VR ? kRuntimeVR : kRuntimeSE;
  record_ = {kHostVersion, runtime, 0, options.editor ? 1u : 0u, &hostQueryInterface, &hostPluginHandle,
             &hostReleaseIndex};
  script_ = {1, &hostRegisterScript};
  task_ = {2, &hostAddTask, &hostAddUiTask};
  messaging_ = {2, &hostRegisterListener, &hostDispatch, &hostEventDispatcher};
  thread_ = std::thread([this] { mainThread(); });
  run_.setMainThread(thread_.get_id());
}

Host::~Host() {
  stop();
  if (gActive.load() == this) gActive.store(nullptr);
}

void Host::stop() {
  {
    std::lock_guard lock(mutex_);
    if (!stop_) stopTicket_ = queued_;
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  idle_.notify_all();
}

void Host::activate() { gActive.store(this, std::memory_order_release); }

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

uint32_t Host::pluginHandle() {
  run_.trace.record("GetPluginHandle", Args().u("result", kPluginHandle));
  return kPluginHandle;
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

bool Host::registerListener(uint32_t handle, const char* sender, void* listener) {
  // The host refuses a handle it did not give out.
  bool accepted = handle == kPluginHandle && listener;
  {
    std::lock_guard lock(mutex_);
    listenerHandle_ = handle;
    if (accepted) listeners_.push_back({handle, sender ? sender : "", listener});
  }
  run_.trace.record("RegisterListener", Args()
                                            .u("handle", handle)
                                            .s("sender", sender ? sender : "(all)")
                                            .p("listener", listener)
                                            .b("result", accepted));
  return accepted;
}

bool Host::dispatch(uint32_t handle, uint32_t type, uint32_t length, const char* receiver) {
  run_.trace.record("Dispatch", Args()
                                    .u("handle", handle)
                                    .u("type", type)
                                    .u("length", length)
                                    .s("receiver", receiver ? receiver : "(all)"));
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
  return std::count_if(listeners_.begin(), listeners_.end(), [](const Listener& l) { return l.sender == "SKSE"; });
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

size_t Host::sendMessage(uint32_t type, uint64_t dataWord) {
  std::vector<Listener> targets;
  {
    std::lock_guard lock(mutex_);
    for (const auto& l : listeners_)
      if (l.sender == "SKSE" || l.sender.empty()) targets.push_back(l);
  }
  run_.trace.record("Message", Args().u("type", type).u("data", dataWord).u("listeners", targets.size()));
  for (const auto& l : targets) {
    HostMessageRecord message{"SKSE", type, dataWord ? 8u : 0u, reinterpret_cast<void*>(dataWord)};
    plugin_calls::listener(l.fn, &message);
  }
  return targets.size();
}

void Host::sendNullMessage() {
  std::vector<Listener> targets;
  {
    std::lock_guard lock(mutex_);
    for (const auto& l : listeners_)
      if (l.sender == "SKSE" || l.sender.empty()) targets.push_back(l);
  }
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
  std::string problem;
  {
    std::lock_guard lock(mutex_);
    if (!task) {
      problem = "null task handed to the task interface";
    } else if (ui) {
      problem = "task handed to the UI task queue, which the plug-in does not use";
    } else if (pending_.count(task)) {
      problem = "task object queued again while still pending";
    } else {
      pending_.insert(task);
      queue_.push_back(task);
      ++queued_;
      // One burst per strike thread; a new one after a long gap in case the
      // system hands the thread's id out again.
      const auto now = std::chrono::steady_clock::now();
      auto& [burst, last] = threadBurst_[os::osThreadId()];
      if (burst == 0 || now - last > std::chrono::milliseconds(50)) burst = ++bursts_;
      last = now;
      taskBurst_[task] = burst;
    }
  }
  run_.trace.record("AddTask", Args().p("task", task).b("ui", ui));
  if (!problem.empty()) {
    run_.fail(problem);
    return;
  }
  wake_.notify_one();
}

void Host::mainThread() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || (!queue_.empty() && !held_); });
    // Stopping: the tasks queued before stop() run, later ones stay queued.
    if (queue_.empty() || held_ || (stop_ && released_ >= stopTicket_)) return;
    void* task = queue_.front();
    queue_.pop_front();
    running_ = true;
    run_.runningTaskBurst.store(taskBurst_[task]);
    taskBurst_.erase(task);
    lock.unlock();
    run_.trace.record("Task", Args().p("task", task).s("op", "Execute"));
    plugin_calls::taskExecute(task);
    run_.trace.record("Task", Args().p("task", task).s("op", "Release"));
    // No longer pending once Release starts: the task frees itself there, and
    // a new task may be allocated at the same address and queued at once.
    lock.lock();
    pending_.erase(task);
    lock.unlock();
    plugin_calls::taskRelease(task);
    lock.lock();
    ++released_;
    running_ = false;
    idle_.notify_all();
  }
}

void Host::drainTasks() {
  if (run_.onMainThread()) return;
  std::unique_lock lock(mutex_);
  waitForTasksBefore(lock, queued_);
}

void Host::waitForTasksBefore(std::unique_lock<std::mutex>& lock, size_t ticket) {
  // Tasks run in queue order: once `ticket` tasks are released, every task
  // queued before the wait began has run, however many came in since.
  idle_.wait(lock, [this, ticket] { return released_ >= ticket || (held_ && !running_) || stopped_; });
}

void Host::taskCounts(size_t& queued, size_t& released, size_t& pending) const {
  std::lock_guard lock(mutex_);
  queued = queued_;
  released = released_;
  pending = pending_.size();
}

void Host::drainAndCount(size_t& due, size_t& queued, size_t& released, size_t& pending) {
  std::unique_lock lock(mutex_);
  due = queued_;
  if (!run_.onMainThread()) waitForTasksBefore(lock, due);
  queued = queued_;
  released = released_;
  pending = pending_.size();
}

void Host::hold(bool held) {
  {
    std::lock_guard lock(mutex_);
    held_ = held;
  }
  run_.trace.record("HoldMainThread", Args().b("held", held));
  wake_.notify_all();
  idle_.notify_all();
}

}  // namespace nimbrel_sim
