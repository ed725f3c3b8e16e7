#include "psc_parser.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace papyrus {
namespace {

enum class Kind { Word, Doc, Punct, EndOfLine };

struct Token {
  Kind kind;
  std::string text;
  int line;
};

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool Is(const Token& t, const char* word) { return t.kind == Kind::Word && Lower(t.text) == word; }

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

[[noreturn]] void Fail(const std::string& file, int line, const std::string& what) {
  throw CompileError(file + ":" + std::to_string(line) + ": " + what);
}

// Words, doc comments, single punctuation characters and line ends. Comments
// (; to the end of the line, ;/ ... /; over lines) are dropped.
std::vector<Token> Lex(const std::string& src, const std::string& file) {
  std::vector<Token> tokens;
  int line = 1;
  for (size_t i = 0; i < src.size();) {
    const char c = src[i];
    if (c == '\n') {
      tokens.push_back({Kind::EndOfLine, "", line++});
      ++i;
    } else if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
    } else if (c == ';' && i + 1 < src.size() && src[i + 1] == '/') {
      const size_t end = src.find("/;", i + 2);
      if (end == std::string::npos) Fail(file, line, "found ';/' without its closing '/;'");
      line += static_cast<int>(std::count(src.begin() + i, src.begin() + end, '\n'));
      i = end + 2;
    } else if (c == ';') {
      while (i < src.size() && src[i] != '\n') ++i;
    } else if (c == '{') {
      const size_t end = src.find('}', i + 1);
      if (end == std::string::npos) Fail(file, line, "found '{' without its closing '}'");
      tokens.push_back({Kind::Doc, Trim(src.substr(i + 1, end - i - 1)), line});
      line += static_cast<int>(std::count(src.begin() + i, src.begin() + end, '\n'));
      i = end + 1;
    } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      size_t end = i;
      while (end < src.size() && (std::isalnum(static_cast<unsigned char>(src[end])) || src[end] == '_')) ++end;
      tokens.push_back({Kind::Word, src.substr(i, end - i), line});
      i = end;
    } else {
      tokens.push_back({Kind::Punct, std::string(1, c), line});
      ++i;
    }
  }
  tokens.push_back({Kind::EndOfLine, "", line});
  return tokens;
}

std::string Found(const Token& t) {
  if (t.kind == Kind::EndOfLine) return "the end of the line";
  if (t.kind == Kind::Doc) return "a doc comment '{" + t.text + "}'";
  return "'" + t.text + "'";
}

std::optional<std::string> TypeName(const Token& t) {
  for (const char* type : {"Int", "Float", "String", "Bool"}) {
    if (Is(t, Lower(type).c_str())) return type;
  }
  return std::nullopt;
}

// Names the game's compiler gives to the functions it adds to every script.
bool Reserved(const std::string& name) {
  const std::string n = Lower(name);
  return n == "getstate" || n == "gotostate" || n == "onbeginstate" || n == "onendstate";
}

class Parser {
 public:
  Parser(std::vector<Token> tokens, std::string file) : tokens_(std::move(tokens)), file_(std::move(file)) {}

  Script Run() {
    Script script;
    SkipLineEnds();
    if (!Is(Peek(), "scriptname")) Fail(Peek().line, "expected 'Scriptname NAME', found " + Found(Peek()));
    Next();
    script.name = Name("a script name");
    const std::string stem = file_.substr(0, file_.rfind('.')).substr(file_.find_last_of("/\\") + 1);
    if (Lower(script.name) != Lower(stem)) {
      Fail(Peek().line, "the script name '" + script.name + "' is not the file's name '" + stem + "'");
    }
    if (Is(Peek(), "hidden")) {
      script.hidden = true;
      Next();
    }
    if (Peek().kind == Kind::Word) {
      Fail(Peek().line, "found " + Found(Peek()) + " on the Scriptname line; only 'Hidden' is read");
    }
    if (Peek().kind != Kind::Doc) EndOfStatement();
    SkipLineEnds();
    if (Peek().kind == Kind::Doc) {
      script.doc = Next().text;
      EndOfStatement();
    }
    for (SkipLineEnds(); pos_ + 1 < tokens_.size(); SkipLineEnds()) script.functions.push_back(Function(script));
    return script;
  }

 private:
  const Token& Peek(size_t ahead = 0) const { return tokens_[std::min(pos_ + ahead, tokens_.size() - 1)]; }
  const Token& Next() {
    const Token& t = Peek();
    if (pos_ + 1 < tokens_.size()) ++pos_;
    return t;
  }
  void SkipLineEnds() {
    while (pos_ + 1 < tokens_.size() && Peek().kind == Kind::EndOfLine) ++pos_;
  }
  [[noreturn]] void Fail(int line, const std::string& what) const { papyrus::Fail(file_, line, what); }

  void EndOfStatement() {
    if (Peek().kind != Kind::EndOfLine) Fail(Peek().line, "expected the end of the line, found " + Found(Peek()));
  }
  void Expect(const char* punct) {
    if (Peek().kind != Kind::Punct || Peek().text != punct) {
      Fail(Peek().line, std::string("expected '") + punct + "', found " + Found(Peek()));
    }
    Next();
  }
  std::string Name(const char* what) {
    if (Peek().kind != Kind::Word) Fail(Peek().line, std::string("expected ") + what + ", found " + Found(Peek()));
    return Next().text;
  }
  std::string Type() {
    const Token& t = Next();
    const auto type = TypeName(t);
    if (t.kind != Kind::Word) Fail(t.line, "expected a type, found " + Found(t));
    if (!type || (Peek().kind == Kind::Punct && Peek().text == "[")) {
      Fail(t.line, "unknown type '" + t.text + (type ? "[]" : "") + "'; only Int, Float, String and Bool are read");
    }
    return *type;
  }

  // [Type] Function Name(Type name, ...) global native
  NativeFunction Function(const Script& script) {
    NativeFunction f;
    f.line = Peek().line;
    f.returnType = "None";
    if (!Is(Peek(), "function")) {
      if (Peek().kind == Kind::Doc) Fail(f.line, "found " + Found(Peek()) + "; only the script's doc comment is read");
      const bool array = Peek(1).kind == Kind::Punct && Peek(1).text == "[";
      if (!Is(Peek(1), "function") && !array) {
        const Token& what = Peek().kind == Kind::Word && Peek(1).kind == Kind::Word ? Peek(1) : Peek();
        Fail(what.line, "found " + Found(what) + "; only global native Function declarations are read");
      }
      f.returnType = Type();
    }
    Next();
    f.name = Name("a function name");
    if (Reserved(f.name)) Fail(f.line, "'" + f.name + "' is a name the compiler gives to a function of its own");
    for (const auto& other : script.functions) {
      if (Lower(other.name) == Lower(f.name)) {
        Fail(f.line, "function '" + f.name + "' is declared again (first on line " + std::to_string(other.line) + ")");
      }
    }
    Expect("(");
    while (!(Peek().kind == Kind::Punct && Peek().text == ")")) {
      if (!f.parameters.empty()) Expect(",");
      Parameter p;
      p.type = Type();
      p.name = Name("a parameter name");
      for (const auto& other : f.parameters) {
        if (Lower(other.name) == Lower(p.name)) Fail(f.line, "parameter '" + p.name + "' is declared twice");
      }
      f.parameters.push_back(p);
    }
    Expect(")");
    bool global = false, native = false;
    for (; Peek().kind == Kind::Word; Next()) {
      const bool isGlobal = Is(Peek(), "global");
      if (!isGlobal && !Is(Peek(), "native")) {
        Fail(Peek().line, "found " + Found(Peek()) + " after function '" + f.name + "'; only 'global native' is read");
      }
      bool& flag = isGlobal ? global : native;
      if (flag) Fail(Peek().line, "found " + Found(Peek()) + " twice after function '" + f.name + "'");
      flag = true;
    }
    if (!global || !native) {
      const std::string missing = !global && !native ? "global native" : !global ? "global" : "native";
      Fail(f.line,
           "function '" + f.name + "' is not declared '" + missing + "'; only global native functions are read");
    }
    EndOfStatement();
    return f;
  }

  std::vector<Token> tokens_;
  std::string file_;
  size_t pos_ = 0;
};

}  // namespace

Script ParseScript(const std::string& source, const std::string& fileName) {
  return Parser(Lex(source, fileName), fileName).Run();
}

}  // namespace papyrus
