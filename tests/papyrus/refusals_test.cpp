// What papyrus-compile refuses: each refusal names the file, the line and what
// was found there.
#include <gtest/gtest.h>

#include <string>

#include "psc_parser.h"

namespace {

std::string Refusal(const std::string& body) {
  try {
    papyrus::ParseScript("Scriptname NimbrelPluginScript Hidden\n{Doc.}\n\n" + body, "papyrus/NimbrelPluginScript.psc");
  } catch (const papyrus::CompileError& e) {
    return e.what();
  }
  return "accepted";
}

TEST(PapyrusCompileRefuses, WhatItDoesNotRead) {
  const std::string file = "papyrus/NimbrelPluginScript.psc:";
  EXPECT_EQ(Refusal("; fine\nFunction SetIntValue(string asKey, int aiValue) global\nEndFunction\n"),
            file + "5: function 'SetIntValue' is not declared 'native'; only global native functions are read");
  EXPECT_EQ(Refusal("Function A() global native\nint Property Count auto\n"),
            file + "5: found 'Property'; only global native Function declarations are read");
  EXPECT_EQ(Refusal("Function A() global native\n\nFunction B(string asKey, Actor akTarget) global native\n"),
            file + "6: unknown type 'Actor'; only Int, Float, String and Bool are read");
  EXPECT_EQ(Refusal("Int[] Function A() global native\n"),
            file + "4: unknown type 'Int[]'; only Int, Float, String and Bool are read");
  EXPECT_EQ(Refusal(";/ a comment\nover lines /;\n{Another doc.}\n"),
            file + "6: found a doc comment '{Another doc.}'; only the script's doc comment is read");
  EXPECT_EQ(Refusal("Function a() global native\nFunction A() native global\n"),
            file + "5: function 'A' is declared again (first on line 4)");
}

TEST(PapyrusCompileRefuses, ScriptLinesItDoesNotRead) {
  const auto parse = [](const std::string& source) {
    try {
      papyrus::ParseScript(source, "x/NimbrelPluginScript.psc");
    } catch (const papyrus::CompileError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(parse("\n; header\nScriptName NimbrelPluginScript extends Quest\n"),
            "x/NimbrelPluginScript.psc:3: found 'extends' on the Scriptname line; only 'Hidden' is read");
  EXPECT_EQ(parse("Scriptname Other Hidden\n"),
            "x/NimbrelPluginScript.psc:1: the script name 'Other' is not the file's name 'NimbrelPluginScript'");
  EXPECT_EQ(parse("Function A() global native\n"),
            "x/NimbrelPluginScript.psc:1: expected 'Scriptname NAME', found 'Function'");
  EXPECT_EQ(parse("scriptname nimbrelpluginscript {Doc.} ; comment\r\nfloat function A(bool b) NATIVE GLOBAL\r\n"),
            "accepted");
}

}  // namespace
