// Reads a Papyrus source that declares only global native functions.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace papyrus {

struct Parameter {
  std::string name;  // as written
  std::string type;  // Int, Float, String or Bool
};

struct NativeFunction {
  std::string name;
  std::string returnType;  // None when the declaration names none
  std::vector<Parameter> parameters;
  int line = 0;
};

struct Script {
  std::string name;  // as written on the Scriptname line
  bool hidden = false;
  std::string doc;  // the {...} after the Scriptname line, trimmed
  std::vector<NativeFunction> functions;
};

// "FILE:LINE: what was found" for anything the reader does not take.
class CompileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// `fileName` names the source in errors and must match the script name.
Script ParseScript(const std::string& source, const std::string& fileName);

}  // namespace papyrus
