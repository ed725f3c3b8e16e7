#include "run/trace.h"

#include "run/run.h"

#include <cinttypes>
#include <cmath>
#include <fstream>

namespace nimbrel_sim {

std::string jsonQuote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

void Args::key(const char* k) {
  if (!body_.empty()) body_ += ",";
  body_ += jsonQuote(k) + ":";
}

Args& Args::u(const char* k, uint64_t value) {
  key(k);
  body_ += std::to_string(value);
  return *this;
}

Args& Args::i(const char* k, int64_t value) {
  key(k);
  body_ += std::to_string(value);
  return *this;
}

Args& Args::f(const char* k, double value) {
  key(k);
  if (!std::isfinite(value)) {
    body_ += jsonQuote(std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf"));
    return *this;
  }
  char text[40];
  std::snprintf(text, sizeof text, "%.9g", value);
  body_ += text;
  return *this;
}

Args& Args::b(const char* k, bool value) {
  key(k);
  body_ += value ? "true" : "false";
  return *this;
}

Args& Args::p(const char* k, const void* value) {
  key(k);
  if (!value) {
    body_ += "null";
    return *this;
  }
  char text[24];
  std::snprintf(text, sizeof text, "\"0x%" PRIxPTR "\"", reinterpret_cast<uintptr_t>(value));
  body_ += text;
  return *this;
}

Args& Args::s(const char* k, const std::string& value) {
  key(k);
  body_ += jsonQuote(value);
  return *this;
}

bool Trace::open(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (file_) std::fclose(file_);
  path_ = path;
  file_ = std::fopen(path.c_str(), "w");
  hostThread_ = std::this_thread::get_id();
  start_ = std::chrono::steady_clock::now();
  return file_ != nullptr;
}

void Trace::countOnly() {
  std::lock_guard lock(mutex_);
  if (file_) std::fclose(file_);
  file_ = nullptr;
  countOnly_ = true;
}

void Trace::setMainThread(std::thread::id id) {
  std::lock_guard lock(mutex_);
  mainThread_ = id;
}

const char* Trace::threadName() const {
  auto self = std::this_thread::get_id();
  if (self == hostThread_) return "host";
  if (self == mainThread_) return "main";
  if (const char* own = Run::thisThreadName()) return own;
  return "other";
}

void Trace::record(const char* fn, const Args& args) {
  if (countOnly_.load(std::memory_order_relaxed)) {
    std::lock_guard lock(mutex_);
    ++counts_[fn];
    return;
  }
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
  std::lock_guard lock(mutex_);
  char head[96];
  std::snprintf(head, sizeof head, "{\"seq\":%" PRIu64 ",\"ms\":%.3f,\"thread\":\"%s\",\"fn\":", seq_++, ms,
                threadName());
  std::string line = head + jsonQuote(fn) + ",\"args\":" + args.json() + "}\n";
  // Streamed to the file, not kept: an hour of storm leaves memory flat.
  if (file_) std::fwrite(line.data(), 1, line.size(), file_);
  ++counts_[fn];
}

void Trace::flush() {
  std::lock_guard lock(mutex_);
  if (file_) std::fflush(file_);
}

std::vector<std::string> Trace::lines() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  if (!file_) return out;
  std::fflush(file_);
  std::ifstream in(path_, std::ios::binary);
  for (std::string line; std::getline(in, line);) out.push_back(std::move(line));
  return out;
}

size_t Trace::count(const std::string& fn) const {
  std::lock_guard lock(mutex_);
  auto it = counts_.find(fn);
  return it == counts_.end() ? 0 : it->second;
}

Trace::~Trace() {
  if (file_) std::fclose(file_);
}

}  // namespace nimbrel_sim
