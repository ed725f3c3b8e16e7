#include "pex_writer.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <map>

namespace papyrus {
namespace {

constexpr uint8_t kFlagGlobal = 1, kFlagNative = 2;
constexpr uint8_t kValueIdentifier = 1, kValueInteger = 3;
constexpr uint8_t kOpAssign = 0x0D, kOpCallMethod = 0x17, kOpReturn = 0x1A;

// Everything is big-endian.
class Bytes {
 public:
  void U8(uint8_t v) { out_.push_back(v); }
  void U16(uint16_t v) { Wide(v, 2); }
  void U32(uint32_t v) { Wide(v, 4); }
  void U64(uint64_t v) { Wide(v, 8); }
  void Text(const std::string& s) {
    U16(Count(s.size(), "a string"));
    out_.insert(out_.end(), s.begin(), s.end());
  }
  void Append(const Bytes& other) { out_.insert(out_.end(), other.out_.begin(), other.out_.end()); }
  size_t size() const { return out_.size(); }
  std::vector<uint8_t> Take() { return std::move(out_); }

  static uint16_t Count(size_t n, const char* what) {
    if (n > std::numeric_limits<uint16_t>::max()) throw CompileError(std::string(what) + " is too long for the format");
    return static_cast<uint16_t>(n);
  }

 private:
  void Wide(uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  std::vector<uint8_t> out_;
};

// Each distinct string once, in the order of first use.
class StringTable {
 public:
  uint16_t operator()(const std::string& s) {
    const auto [it, added] = index_.try_emplace(s, strings_.size());
    if (added) strings_.push_back(s);
    return Bytes::Count(it->second, "the string table");
  }
  void Write(Bytes& out) const {
    out.U16(Bytes::Count(strings_.size(), "the string table"));
    for (const auto& s : strings_) out.Text(s);
  }

 private:
  std::map<std::string, size_t> index_;
  std::vector<std::string> strings_;
};

struct Writer {
  StringTable strings;
  Bytes out;

  void Ref(const std::string& s) { out.U16(strings(s)); }
  void Identifier(const std::string& s) {
    out.U8(kValueIdentifier);
    Ref(s);
  }
  void Integer(uint32_t v) {
    out.U8(kValueInteger);
    out.U32(v);
  }
  // self.name() with no arguments, its None result dropped into ::NoneVar.
  void CallOnSelf(const std::string& name) {
    out.U8(kOpCallMethod);
    Identifier(name);
    Identifier("self");
    Identifier("::NoneVar");
    Integer(0);
  }

  using Pairs = std::vector<std::pair<std::string, std::string>>;
  // Name, return type, doc string, user flags, flags, parameters, locals;
  // the caller writes the instructions.
  void FunctionHead(const std::string& name, const std::string& returns, const std::string& doc, uint8_t flags,
                    const Pairs& parameters, const Pairs& locals) {
    Ref(name);
    Ref(returns);
    Ref(doc);
    out.U32(0);
    out.U8(flags);
    for (const Pairs* list : {&parameters, &locals}) {
      out.U16(Bytes::Count(list->size(), "a parameter list"));
      for (const auto& [n, type] : *list) {
        Ref(n);
        Ref(type);
      }
    }
  }

  // The empty state: the four functions the game's compiler adds to a script
  // that extends nothing, then the declared ones.
  void EmptyState(const Script& script) {
    Ref("");
    out.U16(Bytes::Count(4 + script.functions.size(), "the function list"));

    FunctionHead("GetState", "String", "Function that returns the current state", 0, {}, {});
    out.U16(1);
    out.U8(kOpReturn);
    Identifier("::State");

    FunctionHead("GotoState", "None", "Function that switches this object to the specified state", 0,
                 {{"newState", "String"}}, {{"::NoneVar", "None"}});
    out.U16(3);
    CallOnSelf("onEndState");
    out.U8(kOpAssign);
    Identifier("::State");
    Identifier("newState");
    CallOnSelf("onBeginState");

    FunctionHead("onBeginState", "None", "Event received when this state is switched to", 0, {}, {});
    out.U16(0);
    FunctionHead("onEndState", "None", "Event received when this state is switched away from", 0, {}, {});
    out.U16(0);

    for (const auto& f : script.functions) {
      Pairs parameters;
      for (const auto& p : f.parameters) parameters.emplace_back(p.name, p.type);
      FunctionHead(f.name, f.returnType, "", kFlagGlobal | kFlagNative, parameters, {});
      out.U16(0);
    }
  }
};

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

}  // namespace

std::vector<uint8_t> WritePex(const Script& script, const PexHeader& header) {
  // The object first, so that the string table is complete when it is written.
  Writer body;
  body.out.U8(0);  // no debug info
  body.out.U16(2);
  body.Ref("hidden");
  body.out.U8(0);
  body.Ref("conditional");
  body.out.U8(1);

  body.out.U16(1);
  body.Ref(Lower(script.name));
  Writer object;
  object.strings = std::move(body.strings);
  object.Ref("");  // extends nothing
  object.Ref(script.doc);
  object.out.U32(script.hidden ? 1 : 0);
  object.Ref("");     // no auto state
  object.out.U16(0);  // variables
  object.out.U16(0);  // properties
  object.out.U16(1);  // states: the empty one
  object.EmptyState(script);
  // The size counts its own four bytes.
  if (object.out.size() + 4 > std::numeric_limits<uint32_t>::max()) throw CompileError("the object is too large");
  body.out.U32(static_cast<uint32_t>(object.out.size() + 4));
  body.out.Append(object.out);

  Bytes file;
  file.U32(0xFA57C0DE);
  file.U8(3);
  file.U8(2);
  file.U16(1);  // Skyrim
  file.U64(header.compileTime);
  file.Text(header.sourceFile);
  file.Text(header.user);
  file.Text(header.machine);
  object.strings.Write(file);
  file.Append(body.out);
  return file.Take();
}

}  // namespace papyrus
