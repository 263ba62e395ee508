#include "core/content/monitor_profile.h"

#include <limits>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

TEST(MonitorProfile, KeyAndFirstGuessFollowThePixels) {
  auto hdrTv = ScreenTraits::tv4K();
  auto sdrBig = ScreenTraits{"Big", 3840, 2160, 1, 60, false, false, ViewingDistance::desk};
  auto retina = ScreenTraits{"Retina", 1920, 1080, 2, 120, true, false, ViewingDistance::desk};
  auto tiny = ScreenTraits{"Tiny", 0.4, 0.4, 2, 30, false, true, ViewingDistance::acrossRoom};
  struct Case {
    ScreenTraits t;
    const char* key;
    const char* name;
    ViewingDistance distance;
  } cases[] = {
      {hdrTv, "3840x2160@60-hdr", "3840 \u00D7 2160 screen", ViewingDistance::room},
      {ScreenTraits::desk1610(), "2560x1600@60", "2560 \u00D7 1600 screen", ViewingDistance::desk},
      {sdrBig, "3840x2160@60", "3840 \u00D7 2160 screen", ViewingDistance::desk},
      {retina, "3840x2160@120-hdr", "3840 \u00D7 2160 screen", ViewingDistance::room},
      {tiny, "1x1@30", "1 \u00D7 1 screen", ViewingDistance::desk},
  };
  const Date now{123456};
  for (const auto& c : cases) {
    EXPECT_EQ(MonitorProfile::keyFor(c.t), c.key);
    auto p = MonitorProfile::firstGuess(c.t, now);
    EXPECT_EQ(p, (MonitorProfile{c.key, c.name, c.distance, false, std::nullopt, now})) << c.key;
  }
}

TEST(ProfileStore, RemembersTheUsersEdits) {
  ProfileStore store;
  const auto tv = ScreenTraits::tv4K();
  auto first = store.profile(tv, Date{10});
  EXPECT_EQ(first, MonitorProfile::firstGuess(tv, Date{10}));
  EXPECT_EQ(store.profiles.size(), 1u);
  EXPECT_EQ(store.profiles.at("3840x2160@60-hdr"), first);

  auto edited = first;
  edited.name = "Living room";
  edited.distance = ViewingDistance::acrossRoom;
  edited.overscan = true;
  edited.defaultMode = Mode::presenter;
  store.save(edited);

  // Another screen alike in pixels, rate and HDR shares the profile.
  auto sameKind = tv;
  sameKind.name = "Other TV";
  sameKind.overscan = false;
  auto again = store.profile(sameKind, Date{20});
  auto expected = edited;
  expected.lastSeen = Date{20};
  EXPECT_EQ(again, expected);
  EXPECT_EQ(store.profiles.at(edited.key), expected);

  store.profile(ScreenTraits::acer(), Date{30});
  EXPECT_EQ(store.profiles.size(), 2u);
}

TEST(ProfileStore, ApplyTakesOnlyWhatTheUserDescribed) {
  MonitorProfile p{"k", "Projector", ViewingDistance::acrossRoom, true, std::nullopt, Date{}};
  auto t = ScreenTraits::tv720();
  auto applied = ProfileStore::apply(p, t);
  auto expected = t;
  expected.name = "Projector";
  expected.distance = ViewingDistance::acrossRoom;
  expected.overscan = true;
  EXPECT_EQ(applied, expected);
}

TEST(ProfileStore, EncodedStoreReadsBack) {
  ProfileStore store;
  store.profile(ScreenTraits::acer(), Date{1.5});
  auto tv = store.profile(ScreenTraits::tv4K(), Date{2});
  tv.defaultMode = Mode::macStream;
  store.save(tv);
  auto bytes = store.encoded();
  ASSERT_TRUE(bytes);
  auto j = parseJson(asChars(*bytes));
  ASSERT_TRUE(j);
  EXPECT_EQ((*j)["profiles"]["3840x2160@60-hdr"]["defaultMode"], "macStream");
  EXPECT_EQ((*j)["profiles"]["3840x2160@60-hdr"]["distance"], "room");
  EXPECT_EQ((*j)["profiles"]["1920x1080@60"]["lastSeen"], 1.5);
  EXPECT_FALSE((*j)["profiles"]["1920x1080@60"].contains("defaultMode"));
  EXPECT_EQ(ProfileStore::decoded(*bytes), store);
}

TEST(ProfileStore, EncodedFailsForValuesJsonCannotCarry) {
  ProfileStore unseen;
  unseen.profile(ScreenTraits::acer(), Date{std::numeric_limits<double>::quiet_NaN()});
  ProfileStore badName;
  auto p = MonitorProfile::firstGuess(ScreenTraits::acer(), Date{1});
  p.name = "\xFF";
  badName.save(p);
  for (const auto* store : {&unseen, &badName}) {
    auto bytes = store->encoded();
    ASSERT_FALSE(bytes);
    EXPECT_EQ(bytes.error(), ContentError::unencodable);
  }
}

TEST(ProfileStore, DecodedIsEmptyForAnythingElse) {
  const char* cases[] = {
      "", "garbage", "[]", R"({"profiles":[]})",
      R"({"profiles":{"k":{"key":"k","name":"n","distance":"sofa","overscan":false,"lastSeen":0}}})",
      R"({"profiles":{"k":{"key":"k","name":"n","distance":"desk","overscan":false,"lastSeen":0,"defaultMode":"MacStream"}}})",
      R"({"profiles":{"k":{"key":"k","name":"n","distance":"desk","overscan":false}}})",
  };
  for (const char* text : cases) EXPECT_EQ(ProfileStore::decoded(asBytes(text)), ProfileStore{}) << text;
  auto ok = ProfileStore::decoded(
      asBytes(R"({"profiles":{"k":{"key":"k","name":"n","distance":"desk","overscan":true,"lastSeen":0}}})"));
  EXPECT_EQ(ok.profiles.size(), 1u);
  EXPECT_TRUE(ok.profiles.at("k").overscan);
}

}  // namespace
}  // namespace lumenbrook
