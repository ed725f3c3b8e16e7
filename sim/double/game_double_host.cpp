// GameDouble: the host. Messages and saved-game loads on the main thread,
// the task queue, and what the plug-in asked of the host.
#include <cstdint>
#include <string>
#include <vector>

#include "double/game_double_impl.h"

namespace nimbrel_sim {

void HostAccess::registerScriptFunctions() {
  DoubleState& d = *impl_;
  d.mainThread.call([&d] { d.host.registerScriptFunctions(); });
}

// Host messages reach the plug-in on the game's main thread.
void HostAccess::sendMessage(uint32_t type, uint64_t dataWord) {
  DoubleState& d = *impl_;
  d.startGame();
  d.mainThread.call([&d, type, dataWord] {
    // The jump is due only once a listener has been told the data is ready.
    size_t reached = d.host.sendMessage(type, dataWord);
    if (type == kMsgDataLoaded && reached > 0) d.dataReadySent = true;
    // Between input-loaded and data-ready, where the options put it.
    if (type == kMsgInputLoaded && d.vmHitSink.load() == VmHitSink::BeforeDataReady) d.engine.joinVmHitSink();
  });
}

void HostAccess::sendMessageFrom(const std::string& sender, uint32_t type, uint64_t dataWord) {
  DoubleState& d = *impl_;
  d.mainThread.call([&d, &sender, type, dataWord] { d.host.sendMessage(type, dataWord, sender.c_str()); });
}

bool HostAccess::registerListenerOf(uint32_t otherHandle, const char* sender, void (*listener)(void* message)) {
  return impl_->host.registerListenerOf(otherHandle, sender, reinterpret_cast<void*>(listener));
}

uint32_t HostAccess::askPluginHandle() { return impl_->host.record()->getPluginHandle(); }

void HostAccess::sendNullMessage() {
  DoubleState& d = *impl_;
  d.mainThread.call([&d] { d.host.sendNullMessage(); });
}

void HostAccess::loadSavedGame(bool succeeded) {
  DoubleState& d = *impl_;
  d.startGame();
  d.mainThread.call([&d, succeeded] {
    // The first load, before its message 2, where the options put it.
    if (d.vmHitSink.load() == VmHitSink::FirstLoad) d.engine.joinVmHitSink();
    d.host.sendMessage(kMsgPreLoadGame, 0);
    // The load holds the main thread: no frame and no task runs, and the
    // world is torn down until it is over.
    d.run.loading.store(true);
    d.host.setLoading(true);
    d.world.beginLoad();
    d.mainThread.stall(d.loadMs.load());
    d.world.endLoad();
    d.host.setLoading(false);
    d.run.loading.store(false);
    d.loads.fetch_add(1);
    d.host.sendMessage(kMsgPostLoadGame, succeeded ? 1 : 0);
  });
}

void HostAccess::drainTasks() { impl_->host.drainTasks(); }

size_t HostAccess::tasksRun() const { return impl_->host.taskStats().released; }

void HostAccess::holdMainThread(bool hold) { impl_->host.hold(hold); }

// --- what the plug-in asked of the host -------------------------------------------

uint32_t HostAccess::pluginHandle() const { return impl_->host.handle(); }
uint32_t HostAccess::listenerHandle() const { return impl_->host.listenerHandle(); }
size_t HostAccess::listenerCount() const { return impl_->host.listenerCount(); }
size_t HostAccess::scriptCallbackCount() const { return impl_->host.scriptCallbackCount(); }
std::vector<uint32_t> HostAccess::interfaceRequests() const { return impl_->host.interfaceRequests(); }

}  // namespace nimbrel_sim
