// The run's trace: one JSON object per line, flushed as written, shared by
// every thread that calls into the double.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace nimbrel_sim {

// The "args" object of one trace line, built field by field.
class Args {
 public:
  Args& u(const char* key, uint64_t value);
  Args& i(const char* key, int64_t value);
  Args& f(const char* key, double value);
  Args& b(const char* key, bool value);
  Args& p(const char* key, const void* value);  // "0x..." or null
  Args& p(const char* key, uintptr_t value) { return p(key, reinterpret_cast<const void*>(value)); }
  Args& s(const char* key, const std::string& value);
  // The fields, without the braces.
  const std::string& body() const { return body_; }

 private:
  void key(const char* k);
  std::string body_;
};

std::string jsonQuote(const std::string& text);

class Trace {
 public:
  // Starts a new file (truncated). The thread that opens the trace is the
  // host's thread.
  bool open(const std::string& path);
  // From now on lines are only counted: neither kept nor written. The
  // calling thread is the host's thread.
  void countOnly();
  void setMainThread(std::thread::id id);
  void record(const char* fn, const Args& args = Args());

  // The lines written so far, read back from the file.
  std::vector<std::string> lines() const;
  // Writes out what is buffered (the file is complete up to here).
  void flush();
  size_t lineCount() const {
    std::lock_guard lock(mutex_);
    return seq_;
  }
  size_t count(const std::string& fn) const;
  const std::string& path() const { return path_; }
  // Milliseconds since the trace opened, on its clock (its lines' "ms").
  double nowMs() const;
  // Whether the caller is the host's thread (the one that opened the trace).
  bool onHostThread() const { return std::this_thread::get_id() == hostThread_.load(); }
  ~Trace();

 private:
  const char* threadName() const;
  void countCall(const char* fn);  // under mutex_

  // Looked up by the caller's name without making a string of it.
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
  };

  mutable std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::string path_;
  std::unordered_map<std::string, size_t, NameHash, std::equal_to<>> counts_;
  uint64_t seq_ = 0;
  std::atomic<bool> countOnly_{false};
  std::atomic<std::chrono::steady_clock::rep> start_{std::chrono::steady_clock::now().time_since_epoch().count()};
  // Read outside the lock by every record.
  std::atomic<std::thread::id> hostThread_{};
  std::atomic<std::thread::id> mainThread_{};
};

}  // namespace nimbrel_sim
