#include "run/log_watch.h"

#include <chrono>

namespace nimbrel_sim {

LogWatch::~LogWatch() {
  stop();
  if (file_) std::fclose(file_);
}

bool LogWatch::isReasonLine(const std::string& line) {
  return line.find(" is not laid out as this build expects") != std::string::npos;
}

bool LogWatch::isStandDownLine(const std::string& line) {
  return line.find("stands down for this game session") != std::string::npos;
}

void LogWatch::start(const std::string& path) {
  {
    std::lock_guard lock(lookMutex_);
    if (!path_.empty()) return;
    path_ = path;
  }
  std::lock_guard lock(mutex_);
  if (started_) return;
  started_ = true;
  thread_ = std::thread([this] { loop(); });
}

void LogWatch::stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void LogWatch::loop() {
  Run::nameThisThread("logwatch");
  std::unique_lock lock(mutex_);
  while (!stop_) {
    lock.unlock();
    look();
    lock.lock();
    wake_.wait_for(lock, std::chrono::milliseconds(kLookMs));
  }
}

bool LogWatch::look() {
  std::lock_guard lock(lookMutex_);
  if (path_.empty()) return false;
  // The log is opened once it exists and read on from where the last look
  // ended (the plug-in opens it once per process and only appends). Shared
  // for reading and writing: the plug-in holds it open as its writer.
  if (!file_) file_ = std::fopen(path_.c_str(), "rb");
  if (!file_) return false;
  // A seek to where the last look ended before each read: the Windows C
  // library keeps a stream at its end once it met it, whatever is appended
  // after.
  char buffer[4096];
  if (std::fseek(file_, offset_, SEEK_SET) != 0) return true;
  for (size_t read; (read = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) {
    partial_.append(buffer, read);
    offset_ += static_cast<long>(read);
  }
  size_t start = 0;
  for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = partial_.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (isReasonLine(line))
      run_.noteStandDownLine(true, line);
    else if (isStandDownLine(line))
      run_.noteStandDownLine(false, line);
    else if (LightningWorksWatch::isLine(line))
      run_.noteLightningWorksLine(line);
  }
  partial_.erase(0, start);
  return true;
}

}  // namespace nimbrel_sim
