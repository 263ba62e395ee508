// What the phone prints: the code question, status lines, and the stream's figures.

#include "phone/phone_report.h"

#include <gtest/gtest.h>

#include "core/util/json.h"

namespace lumenbrook {
namespace {

TEST(PhoneReport, AsksAboutTheCodeInGroupsOfThree) {
  EXPECT_EQ(codeQuestion("123456"), "Does the computer show 123 456? [y/n]");
  EXPECT_EQ(groupedCode("012345"), "012 345");
  EXPECT_EQ(groupedCode("12345"), "12345");
  EXPECT_EQ(groupedCode("12a456"), "12a456");
}

TEST(PhoneReport, StatusIsOneReadableLine) {
  MacStatus laptop{"Studio", 87, false, 212.5, 494.38, "Notes", 9, 52.7};
  EXPECT_EQ(statusLine(laptop),
            "Studio: battery 87% (not charging), disk 212.5 of 494.4 GB free (57% used), "
            "frontmost Notes, 9 apps running, up 52.7 h");
  MacStatus desktop{"Tower\x1b", std::nullopt, std::nullopt, 0, 0, std::nullopt, 1, 0.04};
  EXPECT_EQ(statusLine(desktop),
            "Tower?: no battery, disk 0.0 of 0.0 GB free (0% used), 1 app running, up 0.0 h");
  MacStatus charging = laptop;
  charging.charging = true;
  EXPECT_NE(statusLine(charging).find("battery 87% (charging)"), std::string::npos);
}

TEST(PhoneReport, FiguresAsTextAndAsOneJsonObject) {
  StreamClient::Figures f;
  f.stream = 2;
  f.width = 1280;
  f.height = 720;
  f.seconds = 2;
  f.framesDecoded = 118;
  f.framesPerSecond = 59;
  f.keyframes = 1;
  f.bytes = 250000;
  f.bitsPerSecond = 1'000'000;
  f.fragments = 300;
  f.nacks = 4;
  f.resendsReceived = 5;
  f.latencyMedianMs = 12.25;
  f.latencyP95Ms = 20.5;

  const std::string text = figuresText(f);
  for (const char* line : {"stream: 2 (1280x720)\n", "frames decoded: 118\n",
                           "frames per second: 59.0\n", "bit rate: 1.00 Mbit/s\n",
                           "NACKs sent: 4\n", "resends received: 5\n",
                           "latency median: 12.2 ms\n", "latency p95: 20.5 ms\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }

  auto j = parseJson(figuresJson(f));
  ASSERT_TRUE(j && j->is_object());
  EXPECT_EQ((*j)["framesDecoded"], 118);
  EXPECT_EQ((*j)["bitsPerSecond"], 1'000'000.0);
  EXPECT_EQ((*j)["resendsReceived"], 5);
  EXPECT_EQ((*j)["latencyP95Ms"], 20.5);

  StreamClient::Figures empty;
  auto none = parseJson(figuresJson(empty));
  ASSERT_TRUE(none);
  EXPECT_TRUE((*none)["latencyMedianMs"].is_null());
  EXPECT_NE(figuresText(empty).find("latency median: none\n"), std::string::npos);
}

}  // namespace
}  // namespace lumenbrook
