// Repeated log lines counted inside their window and summed up when it closes.

#include "core/util/repeat_summary.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

TEST(RepeatSummary, LogsTheFirstLineCountsItsRepeatsAndSumsThemUp) {
  RepeatSummary lines;
  EXPECT_TRUE(lines.note("refused a"));
  EXPECT_FALSE(lines.note("refused a"));
  EXPECT_FALSE(lines.note("refused a"));
  EXPECT_TRUE(lines.note("refused b"));  // another line has a window of its own
  EXPECT_EQ(lines.open(), 2u);

  EXPECT_EQ(lines.close("refused a", "minute"),
            std::optional<std::string>("refused a \u2026 and 2 more in the last minute"));
  EXPECT_EQ(lines.close("refused b", "minute"), std::nullopt);  // no repeat: nothing to add
  EXPECT_EQ(lines.close("refused c", "minute"), std::nullopt);  // never noted
  EXPECT_EQ(lines.open(), 0u);

  // A closed window starts afresh.
  EXPECT_TRUE(lines.note("refused a"));
  EXPECT_EQ(lines.close("refused a", "minute"), std::nullopt);
}

}  // namespace
}  // namespace lumenbrook
