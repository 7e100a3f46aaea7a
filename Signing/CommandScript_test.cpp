#include "Signing/CommandScript.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandScriptTest, ScriptMustEndItselfBeforeItsSignature) {
  const struct {
    const char* content;
    bool ends;
  } cases[] = {
      {"@echo off\r\nexit /b 0\r\n", true},
      {"run.exe %*\r\n@exit /b\r\n", true},
      {"exit /b -1\r\n", true},
      {"x\nEXIT\n", true},
      {"x\r\n  @ exit/b 3\r\n", true},
      {"x\r\ngoto :eof\r\n", true},
      {"x\r\nGoTo:EOF\r\n \t\r\n\r\n  ", true},
      {"exit /b\n", true},
      {"@echo done\r\n", false},             // runs on into the block
      {"@echo done\r\nexit /b 0", false},    // no line break: the block joins the line
      {"exit /b\r\necho after\r\n", false},  // not the last line
      {"echo ^\r\nexit /b\r\n", false},      // the caret joins it to the echo
      {"echo ^^\r\nexit /b\r\n", true},      // an escaped caret joins nothing
      {"if errorlevel 1 exit /b 1\r\n", false},
      {"exitcode\r\n", false},
      {"goto :eofx\r\n", false},
      {"goto end\r\n", false},
      // Nothing may follow: each side of a pipe runs in a command processor
      // of its own, and a variable may expand to anything.
      {"exit /b 0 | more\r\n", false},
      {"exit /b %ERRORLEVEL%\r\n", false},
      {"exit /b 0 & echo x\r\n", false},
      {"exit /b 1 >nul\r\n", false},
      {"exit | more\r\n", false},
      {"goto :eof | more\r\n", false},
      {"exit /bx\r\n", false},
      {"exit 3\r\n", false},
      {"", false},
      {"\r\n\r\n", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(signing::CommandScriptEndsItself(c.content, true), c.ends) << c.content;
  }
  // Only the script's end is read: its last line must start within it.
  EXPECT_TRUE(signing::CommandScriptEndsItself("echo x\r\nexit /b\r\n", false));
  EXPECT_FALSE(signing::CommandScriptEndsItself("exit /b\r\n", false));
}

TEST(CommandScriptTest, ContentIsReadFromItsEnd) {
  const std::string content = std::string(signing::kScriptEndBytes * 2, 'x') + "\nexit /b\n";
  const signing::ReadAtFunction read = [&](uint64_t offset, void* buffer, size_t count) {
    if (offset + count > content.size()) return false;
    content.copy(static_cast<char*>(buffer), count, offset);
    return true;
  };
  EXPECT_TRUE(signing::CommandScriptContentEndsItself(content.size(), read));
  EXPECT_FALSE(signing::CommandScriptContentEndsItself(content.size() - 1, read));
  EXPECT_FALSE(signing::CommandScriptContentEndsItself(content.size() + 1, read));
  EXPECT_TRUE(signing::IsCommandScriptName("bin/Setup.CMD"));
  EXPECT_TRUE(signing::IsCommandScriptName("a.bat"));
  EXPECT_FALSE(signing::IsCommandScriptName("a.cmdx"));
  EXPECT_FALSE(signing::IsCommandScriptName("cmd"));
}

}  // namespace
