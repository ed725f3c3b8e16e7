#include "run/trace.h"

#include "run/run.h"

#include <charconv>
#include <cmath>
#include <fstream>

namespace nimbrel_sim {

namespace {

// Strike threads trace every engine call they make: the line is built with
// to_chars and appended in place, not through printf and temporaries.
template <typename Number, typename... Format>
void appendNumber(std::string& out, Number value, Format... format) {
  char text[40];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value, format...);
  out.append(text, error == std::errc() ? end : text);
}

bool plainText(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == '"' || c == '\\') return false;
  return true;
}

void appendQuoted(std::string& out, std::string_view text) {
  if (plainText(text)) {
    out += '"';
    out += text;
    out += '"';
  } else {
    out += jsonQuote(std::string(text));
  }
}

}  // namespace

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
  appendQuoted(body_, k);
  body_ += ':';
}

Args& Args::u(const char* k, uint64_t value) {
  key(k);
  appendNumber(body_, value);
  return *this;
}

Args& Args::i(const char* k, int64_t value) {
  key(k);
  appendNumber(body_, value);
  return *this;
}

Args& Args::f(const char* k, double value) {
  key(k);
  if (!std::isfinite(value)) {
    body_ += jsonQuote(std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf"));
    return *this;
  }
  appendNumber(body_, value, std::chars_format::general, 9);
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
  body_ += "\"0x";
  appendNumber(body_, reinterpret_cast<uintptr_t>(value), 16);
  body_ += '"';
  return *this;
}

Args& Args::s(const char* k, const std::string& value) {
  key(k);
  appendQuoted(body_, value);
  return *this;
}

bool Trace::open(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (file_) std::fclose(file_);
  path_ = path;
  file_ = std::fopen(path.c_str(), "w");
  // Flushed every 20 ms by the census; a strike thread seldom writes itself.
  if (file_) std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
  hostThread_ = std::this_thread::get_id();
  start_ = std::chrono::steady_clock::now().time_since_epoch().count();
  return file_ != nullptr;
}

void Trace::countOnly() {
  std::lock_guard lock(mutex_);
  if (file_) std::fclose(file_);
  file_ = nullptr;
  countOnly_ = true;
  hostThread_ = std::this_thread::get_id();  // the host's thread all the same
}

void Trace::setMainThread(std::thread::id id) {
  std::lock_guard lock(mutex_);
  mainThread_ = id;
}

const char* Trace::threadName() const {
  auto self = std::this_thread::get_id();
  if (self == hostThread_.load()) return "host";
  if (self == mainThread_.load()) return "main";
  if (const char* own = Run::thisThreadName()) return own;
  return "other";
}

void Trace::record(const char* fn, const Args& args) {
  if (countOnly_.load(std::memory_order_relaxed)) {
    std::lock_guard lock(mutex_);
    countCall(fn);
    return;
  }
  const double ms = nowMs();
  thread_local std::string line;
  line.assign("{\"seq\":");
  const size_t seqAt = line.size();
  line += ",\"ms\":";
  appendNumber(line, ms, std::chars_format::fixed, 3);
  line += ",\"thread\":";
  appendQuoted(line, threadName());
  line += ",\"fn\":";
  appendQuoted(line, fn);
  line += ",\"args\":{";
  line += args.body();
  line += "}}\n";
  std::lock_guard lock(mutex_);
  // The number goes in under the lock, so that the file's order is its order.
  char seq[24];
  const auto [seqEnd, error] = std::to_chars(seq, seq + sizeof seq, seq_++);
  line.insert(seqAt, seq, error == std::errc() ? static_cast<size_t>(seqEnd - seq) : 0);
  // Streamed to the file, not kept: an hour of storm leaves memory flat.
  if (file_) std::fwrite(line.data(), 1, line.size(), file_);
  countCall(fn);
}

double Trace::nowMs() const {
  const std::chrono::steady_clock::time_point start{std::chrono::steady_clock::duration(start_.load())};
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void Trace::countCall(const char* fn) {
  const auto known = counts_.find(std::string_view(fn));
  if (known != counts_.end())
    ++known->second;
  else
    counts_.emplace(fn, 1);
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
  auto it = counts_.find(std::string_view(fn));
  return it == counts_.end() ? 0 : it->second;
}

Trace::~Trace() {
  if (file_) std::fclose(file_);
}

}  // namespace nimbrel_sim
