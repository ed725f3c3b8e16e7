// Reads the built NimbrelPluginScript.pex back from the published layout of
// the format (big-endian throughout) and holds it against the .psc.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

struct Variable {
  std::string name, type;
  bool operator==(const Variable&) const = default;
};

struct Function {
  std::string name, returnType, doc;
  uint32_t userFlags = 0;
  int flags = 0;
  std::vector<Variable> parameters, locals;
  std::vector<std::string> body;  // one line per instruction, e.g. "assign ::State newState"
};

// A cursor that fails on reading past the end; every sref is checked against
// the string table.
class Reader {
 public:
  explicit Reader(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  uint64_t Unsigned(int size) {
    if (pos_ + size > bytes_.size()) throw std::runtime_error("read past the end at " + std::to_string(pos_));
    uint64_t v = 0;
    for (int i = 0; i < size; ++i) v = v << 8 | bytes_[pos_++];
    return v;
  }
  std::string Text() {
    const size_t length = Unsigned(2);
    if (pos_ + length > bytes_.size()) throw std::runtime_error("string past the end at " + std::to_string(pos_));
    std::string s(bytes_.begin() + pos_, bytes_.begin() + pos_ + length);
    pos_ += length;
    return s;
  }
  std::string Ref() {
    const size_t index = Unsigned(2);
    if (index >= strings.size()) throw std::runtime_error("string index " + std::to_string(index) + " out of range");
    used.insert(index);
    return strings[index];
  }
  std::string Value() {
    switch (const int type = static_cast<int>(Unsigned(1))) {
      case 0:
        return "none";
      case 1:
        return Ref();
      case 2:
        return '"' + Ref() + '"';
      case 3:
        return "int:" + std::to_string(static_cast<int32_t>(Unsigned(4)));
      case 4:
        return "float:" + std::to_string(Unsigned(4));
      case 5:
        return "bool:" + std::to_string(Unsigned(1));
      default:
        throw std::runtime_error("value type " + std::to_string(type));
    }
  }
  std::vector<Variable> Variables() {
    std::vector<Variable> list(Unsigned(2));
    for (auto& v : list) v = {Ref(), Ref()};
    return list;
  }
  std::string Instruction() {
    const int op = static_cast<int>(Unsigned(1));
    std::string line;
    // One value at a time: the operands of + have no set order of evaluation.
    const auto values = [this, &line](int n) {
      for (; n > 0; --n) {
        line += ' ';
        line += Value();
      }
    };
    if (op == 0x0D) line = "assign", values(2);
    if (op == 0x1A) line = "return", values(1);
    if (op == 0x17) {
      line = "callmethod";
      values(3);
      const std::string count = Value();
      if (count.rfind("int:", 0) != 0) throw std::runtime_error("argument count is " + count);
      values(std::stoi(count.substr(4)));
    }
    if (line.empty()) throw std::runtime_error("opcode " + std::to_string(op));
    return line;
  }
  Function ReadFunction() {
    Function f;
    f.name = Ref();
    f.returnType = Ref();
    f.doc = Ref();
    f.userFlags = static_cast<uint32_t>(Unsigned(4));
    f.flags = static_cast<int>(Unsigned(1));
    f.parameters = Variables();
    f.locals = Variables();
    for (size_t n = Unsigned(2); n > 0; --n) f.body.push_back(Instruction());
    return f;
  }
  size_t pos() const { return pos_; }
  size_t size() const { return bytes_.size(); }

  std::vector<std::string> strings;
  std::set<size_t> used;

 private:
  std::vector<uint8_t> bytes_;
  size_t pos_ = 0;
};

// The declarations as the .psc states them, read with a pattern of its own.
struct Source {
  std::string name, doc;
  bool hidden = false;
  std::vector<Function> natives;
};

Source ReadSource(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  Source source;
  std::smatch m;
  EXPECT_TRUE(std::regex_search(
      all, m, std::regex(R"(^scriptname\s+(\w+)(\s+hidden)?[ \t]*\r?$)", std::regex::icase | std::regex::multiline)));
  source.name = m[1];
  source.hidden = m[2].matched;
  EXPECT_TRUE(std::regex_search(all, m, std::regex(R"(\{([^}]*)\})")));
  source.doc = m[1];
  const auto canonical = [](const std::string& type) {
    const std::string t = Lower(type);
    return t == "int" ? "Int" : t == "float" ? "Float" : t == "string" ? "String" : t == "bool" ? "Bool" : "?" + type;
  };
  const std::regex declaration(R"(^[ \t]*(?:(\w+)[ \t]+)?function[ \t]+(\w+)[ \t]*\(([^)]*)\)([^;\n]*))",
                               std::regex::icase | std::regex::multiline);
  for (std::sregex_iterator it(all.begin(), all.end(), declaration), end; it != end; ++it) {
    Function f;
    f.returnType = (*it)[1].matched ? canonical((*it)[1]) : "None";
    f.name = (*it)[2];
    const std::string flags = Lower((*it)[4]);
    f.flags = (flags.find("global") != std::string::npos ? 1 : 0) | (flags.find("native") != std::string::npos ? 2 : 0);
    const std::string list = (*it)[3];
    const std::regex parameter(R"((\w+)\s+(\w+))");
    for (std::sregex_iterator p(list.begin(), list.end(), parameter); p != end; ++p) {
      f.parameters.push_back({(*p)[2], canonical((*p)[1])});
    }
    source.natives.push_back(f);
  }
  return source;
}

std::string Account(const Function& f) {
  std::string s = f.returnType + " " + f.name + "(";
  for (size_t i = 0; i < f.parameters.size(); ++i) {
    s += (i ? ", " : "") + f.parameters[i].type + " " + f.parameters[i].name;
  }
  return s + ")" + (f.flags & 1 ? " global" : "") + (f.flags & 2 ? " native" : "");
}

TEST(CompiledScript, ReadsBackToTheSourceDeclarations) {
  std::ifstream file(NIMBREL_PEX, std::ios::binary);
  ASSERT_TRUE(file) << NIMBREL_PEX;
  Reader r({std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()});
  const Source source = ReadSource(NIMBREL_PAPYRUS_SOURCE);
  ASSERT_EQ(source.natives.size(), 2u);

  try {
    EXPECT_EQ(r.Unsigned(4), 0xFA57C0DEu);
    EXPECT_EQ(r.Unsigned(1), 3u);
    EXPECT_EQ(r.Unsigned(1), 2u);
    EXPECT_EQ(r.Unsigned(2), 1u);  // Skyrim
    const uint64_t time = r.Unsigned(8);
    EXPECT_EQ(r.Text(), "NimbrelPluginScript.psc");
    const std::string user = r.Text(), machine = r.Text();
    EXPECT_FALSE(user.empty() || machine.empty());

    for (size_t n = r.Unsigned(2); n > 0; --n) r.strings.push_back(r.Text());
    EXPECT_EQ(std::set<std::string>(r.strings.begin(), r.strings.end()).size(), r.strings.size()) << "a repeat";

    EXPECT_EQ(r.Unsigned(1), 0u) << "debug info";
    ASSERT_EQ(r.Unsigned(2), 2u) << "user flags";
    EXPECT_EQ(r.Ref(), "hidden");
    EXPECT_EQ(r.Unsigned(1), 0u);
    EXPECT_EQ(r.Ref(), "conditional");
    EXPECT_EQ(r.Unsigned(1), 1u);

    ASSERT_EQ(r.Unsigned(2), 1u) << "objects";
    EXPECT_EQ(r.Ref(), Lower(source.name));
    const size_t objectStart = r.pos();
    const uint64_t objectSize = r.Unsigned(4);
    EXPECT_EQ(r.Ref(), "") << "parent";
    EXPECT_EQ(r.Ref(), source.doc);
    EXPECT_EQ(r.Unsigned(4), source.hidden ? 1u : 0u) << "user flags";
    EXPECT_EQ(r.Ref(), "") << "auto state";
    EXPECT_EQ(r.Unsigned(2), 0u) << "variables";
    EXPECT_EQ(r.Unsigned(2), 0u) << "properties";
    ASSERT_EQ(r.Unsigned(2), 1u) << "states";
    EXPECT_EQ(r.Ref(), "") << "the empty state";
    std::vector<Function> functions(r.Unsigned(2));
    for (auto& f : functions) f = r.ReadFunction();
    EXPECT_EQ(r.pos() - objectStart, objectSize);
    EXPECT_EQ(r.pos(), r.size()) << "bytes left over";
    EXPECT_EQ(r.used.size(), r.strings.size()) << "strings nothing refers to";

    struct Made {
      const char* name;
      const char* returns;
      const char* doc;
      std::vector<Variable> parameters, locals;
      std::vector<std::string> body;
    };
    const std::vector<Made> made = {
        {"GetState", "String", "Function that returns the current state", {}, {}, {"return ::State"}},
        {"GotoState",
         "None",
         "Function that switches this object to the specified state",
         {{"newState", "String"}},
         {{"::NoneVar", "None"}},
         {"callmethod onEndState self ::NoneVar", "assign ::State newState", "callmethod onBeginState self ::NoneVar"}},
        {"onBeginState", "None", "Event received when this state is switched to", {}, {}, {}},
        {"onEndState", "None", "Event received when this state is switched away from", {}, {}, {}}};
    ASSERT_EQ(functions.size(), made.size() + source.natives.size());
    for (size_t i = 0; i < made.size(); ++i) {
      const Function& f = functions[i];
      EXPECT_EQ(f.name, made[i].name);
      EXPECT_EQ(f.returnType, made[i].returns) << f.name;
      EXPECT_EQ(f.doc, made[i].doc) << f.name;
      EXPECT_EQ(f.userFlags, 0u) << f.name;
      EXPECT_EQ(f.flags, 0) << f.name;
      EXPECT_EQ(f.parameters, made[i].parameters) << f.name;
      EXPECT_EQ(f.locals, made[i].locals) << f.name;
      EXPECT_EQ(f.body, made[i].body) << f.name;
    }
    std::cout << "compiled " << time << ", by " << user << " on " << machine << "\n";
    for (size_t i = 0; i < source.natives.size(); ++i) {
      const Function& f = functions[made.size() + i];
      const Function& declared = source.natives[i];
      EXPECT_EQ(declared.flags, 3) << declared.name << " in the source";
      EXPECT_EQ(Account(f), Account(declared));
      EXPECT_EQ(f.parameters, declared.parameters) << f.name;  // names keep their letter case
      EXPECT_EQ(f.doc, "") << f.name;
      EXPECT_EQ(f.userFlags, 0u) << f.name;
      EXPECT_TRUE(f.locals.empty() && f.body.empty()) << f.name;
      std::cout << "declares " << Account(f) << "\n";
    }
  } catch (const std::exception& e) {
    FAIL() << e.what() << " (at byte " << r.pos() << ")";
  }
}

}  // namespace
