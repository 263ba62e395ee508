// Terminal text shared by the host's console and the reference phone.

#include "core/util/terminal_text.h"

#include <optional>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

TEST(TerminalText, ReadsYesAndNo) {
  const struct {
    const char* line;
    std::optional<bool> answer;
  } cases[] = {{"y", true},  {" YES \r", true}, {"n", false}, {"No", false}, {"", {}},
               {"yep", {}}, {"maybe", {}},     {"y n", {}}};
  for (const auto& c : cases) EXPECT_EQ(parseAnswer(c.line), c.answer) << c.line;
}

TEST(TerminalText, ControlCharactersFromAPeerNeverReachTheTerminal) {
  EXPECT_EQ(printable("Studio\x1b[2J\n\x7f"), "Studio?[2J??");
  EXPECT_EQ(printable("a\xc2\x9b" "b"), "a?b");  // C1 CSI
  EXPECT_EQ(printable("a\xc2"), "a\xc2");         // a cut-off sequence is no control
  EXPECT_EQ(printable("Caf\xc3\xa9 \xf0\x9f\x8e\xac"), "Caf\xc3\xa9 \xf0\x9f\x8e\xac");
}

}  // namespace
}  // namespace lumenbrook
