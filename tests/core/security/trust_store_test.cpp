#include "core/security/trust_store.h"

#include <gtest/gtest.h>

#include "core/security/secure_channel.h"
#include "test_identities.h"

namespace lumenbrook {
namespace {

using fixtures::uuid;

Bytes filled(std::uint8_t b) { return Bytes(32, b); }

// Device n: its own id, identity key and psk.
PairedDevice device(std::uint8_t n, std::optional<Date> revokedAt = std::nullopt) {
  std::array<std::uint8_t, 16> id{};
  id[0] = 0x10;
  id[15] = n;
  return PairedDevice{Uuid(id),
                      "Phone " + std::to_string(n),
                      filled(n),
                      filled(static_cast<std::uint8_t>(0x80 + n)),
                      Date{700000000.25 + n},
                      revokedAt};
}

TEST(TrustStore, FixedTexts) {
  EXPECT_EQ(TrustStore::refusal,
            "This Mac didn't accept this phone. On the Mac, check Lumenbrook is on and this phone "
            "is in its list.");
  ASSERT_EQ(TrustStore::pairRefusals.size(), 2u);
  EXPECT_EQ(TrustStore::pairRefusals[0], "Lumenbrook is switched off on this Mac");
  EXPECT_EQ(TrustStore::pairRefusals[1],
            "This phone is already paired. Remove it on the Mac first.");
}

TEST(TrustStore, AddKeepsIdsAndIdentityKeysUnique) {
  TrustStore store;
  EXPECT_TRUE(store.add(device(1)));
  EXPECT_TRUE(store.add(device(2, Date{5})));
  const TrustStore before = store;

  PairedDevice sameId = device(3);
  sameId.id = device(1).id;
  PairedDevice sameKey = device(3);
  sameKey.identityKey = device(1).identityKey;
  PairedDevice revokedKey = device(3);
  revokedKey.identityKey = device(2).identityKey;
  for (const auto& d : {device(1), device(2), sameId, sameKey, revokedKey}) {
    EXPECT_FALSE(store.add(d)) << d.name;
    EXPECT_EQ(store, before) << d.name;
  }
  store.forget(device(2).id);
  EXPECT_TRUE(store.add(device(2)));
  EXPECT_EQ(store.devices().at(device(2).id), device(2));
}

TEST(TrustStore, RevokeAndForgetTouchOnlyKnownDevices) {
  TrustStore store;
  ASSERT_TRUE(store.add(device(1)));
  const TrustStore before = store;
  store.revoke(device(9).id, Date{1});
  store.forget(device(9).id);
  EXPECT_EQ(store, before);

  store.revoke(device(1).id, Date{42.5});
  ASSERT_EQ(store.devices().size(), 1u);
  EXPECT_EQ(store.devices().at(device(1).id).revokedAt, Date{42.5});
  store.forget(device(1).id);
  EXPECT_TRUE(store.devices().empty());
}

TEST(TrustStore, DecideAllowsOnlyTrustedDevicesWithTheirOwnKey) {
  TrustStore store;
  ASSERT_TRUE(store.add(device(1)));
  ASSERT_TRUE(store.add(device(2, Date{5})));
  TrustStore off = store;
  off.setKillSwitch(true);
  const auto refused = ConnectDecision::refuse(std::string(TrustStore::refusal));
  struct Case {
    const char* what;
    const TrustStore& store;
    Uuid id;
    Bytes key;
    ConnectDecision decision;
  } cases[] = {
      {"trusted", store, device(1).id, device(1).identityKey, ConnectDecision::allow()},
      {"unknown id", store, device(3).id, device(3).identityKey, refused},
      {"revoked", store, device(2).id, device(2).identityKey, refused},
      {"other key", store, device(1).id, device(2).identityKey, refused},
      {"short key", store, device(1).id, Bytes(31, 1), refused},
      {"switched off", off, device(1).id, device(1).identityKey, refused},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.store.decide(c.id, c.key), c.decision) << c.what;
    auto psk = c.store.psk(c.id, c.key);
    if (c.decision.allowed()) {
      EXPECT_EQ(psk, device(1).psk) << c.what;
    } else {
      EXPECT_FALSE(psk) << c.what;
    }
  }
}

TEST(TrustStore, CanPairRefusesSwitchedOffAndKnownPhones) {
  TrustStore store;
  ASSERT_TRUE(store.add(device(1)));
  ASSERT_TRUE(store.add(device(2, Date{5})));
  TrustStore off = store;
  off.setKillSwitch(true);
  const auto switchedOff = ConnectDecision::refuse("Lumenbrook is switched off on this Mac");
  const auto paired =
      ConnectDecision::refuse("This phone is already paired. Remove it on the Mac first.");
  struct Case {
    const char* what;
    const TrustStore& store;
    Uuid id;
    Bytes key;
    ConnectDecision decision;
  } cases[] = {
      {"new phone", store, device(3).id, device(3).identityKey, ConnectDecision::allow()},
      {"stored id", store, device(1).id, device(3).identityKey, paired},
      {"revoked id", store, device(2).id, device(2).identityKey, paired},
      {"stored key", store, device(3).id, device(1).identityKey, paired},
      {"revoked key", store, device(3).id, device(2).identityKey, paired},
      {"switched off, stored id", off, device(1).id, device(1).identityKey, switchedOff},
      {"switched off, new phone", off, device(3).id, device(3).identityKey, switchedOff},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.store.canPair(c.id, c.key), c.decision) << c.what;
  }
}

TEST(TrustStore, DeviceFindsTheTrustedOwnerOfAHandle) {
  TrustStore store;
  for (std::uint8_t n = 1; n <= 3; ++n) ASSERT_TRUE(store.add(device(n)));
  const Bytes nonce(32, 0x5a);
  auto handleOf = [&](const PairedDevice& d, ByteView n) {
    return Handshake::handle(d.psk, d.id, n);
  };

  for (std::uint8_t n = 1; n <= 3; ++n) {
    EXPECT_EQ(store.device(handleOf(device(n), nonce), nonce), device(n)) << int(n);
  }
  Bytes otherNonce(32, 0x5b);
  Bytes flipped = handleOf(device(2), nonce);
  flipped[31] ^= 1;
  Bytes truncated = handleOf(device(2), nonce);
  truncated.pop_back();
  PairedDevice stranger = device(9);
  for (const Bytes& h :
       {handleOf(device(2), otherNonce), flipped, truncated, Bytes{}, handleOf(stranger, nonce)}) {
    EXPECT_FALSE(store.device(h, nonce));
  }

  TrustStore revoked = store;
  revoked.revoke(device(2).id, Date{9});
  EXPECT_FALSE(revoked.device(handleOf(device(2), nonce), nonce));
  EXPECT_EQ(revoked.device(handleOf(device(3), nonce), nonce), device(3));

  TrustStore off = store;
  off.setKillSwitch(true);
  for (std::uint8_t n = 1; n <= 3; ++n) EXPECT_FALSE(off.device(handleOf(device(n), nonce), nonce));
}

// --- stored form ----------------------------------------------------------------------------

TEST(TrustStoreJson, WritesDevicesKeyedByUpperCaseIdAndOmitsAbsentRevocation) {
  TrustStore store;
  PairedDevice d{uuid("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"),
                 "Zo\xC3\xAB",
                 filled(1),
                 filled(2),
                 Date{12.5},
                 {}};
  ASSERT_TRUE(store.add(d));
  const std::string k1 = "AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQE=";
  const std::string k2 = "AgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgI=";
  EXPECT_EQ(encodeJson(store).value(),
            "{\"devices\":{\"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\":{\"id\":\"E621E1F8-C36C-495A-"
            "93FC-0C247A3E6E5F\","
            "\"identityKey\":\"" +
                k1 + "\",\"name\":\"Zo\xC3\xAB\",\"pairedAt\":12.5,\"psk\":\"" + k2 +
                "\"}},\"killSwitch\":false}");
  store.revoke(d.id, Date{99.75});
  store.setKillSwitch(true);
  Json j = store;
  EXPECT_EQ(j["devices"]["E621E1F8-C36C-495A-93FC-0C247A3E6E5F"]["revokedAt"], Json(99.75));
  EXPECT_EQ(j["killSwitch"], Json(true));
}

TEST(TrustStoreJson, RoundTripsTrustedAndRevokedDevices) {
  TrustStore store;
  ASSERT_TRUE(store.add(device(1)));
  ASSERT_TRUE(store.add(device(2, Date{812345678.125})));
  ASSERT_TRUE(store.add(device(3)));
  store.setKillSwitch(true);
  auto text = encodeJson(store);
  ASSERT_TRUE(text);
  auto back = decodeJson<TrustStore>(*text);
  ASSERT_TRUE(back) << back.error();
  EXPECT_EQ(*back, store);
  EXPECT_EQ(decodeJson<TrustStore>(encodeJson(TrustStore()).value()).value(), TrustStore());
}

std::string deviceJson(std::string_view id, std::string_view key, std::string_view extra = "") {
  return "{\"id\":\"" + std::string(id) + "\",\"name\":\"P\",\"identityKey\":\"" +
         std::string(key) +
         "\",\"psk\":\"AgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgI=\",\"pairedAt\":1.5" +
         std::string(extra) + "}";
}

constexpr std::string_view kId1 = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
constexpr std::string_view kId2 = "3F2504E0-4F89-41D3-9A0C-0305E82C3301";
constexpr std::string_view kKey1 = "AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQE=";
constexpr std::string_view kKey3 = "AwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwM=";

TEST(TrustStoreJson, ReadsTheAlternatingArrayForm) {
  std::string text = "{\"killSwitch\":false,\"devices\":[\"" + std::string(kId1) + "\"," +
                     deviceJson(kId1, kKey1) + ",\"" + std::string(kId2) + "\"," +
                     deviceJson(kId2, kKey3, ",\"revokedAt\":3") + "]}";
  auto store = decodeJson<TrustStore>(text);
  ASSERT_TRUE(store) << store.error();
  ASSERT_EQ(store->devices().size(), 2u);
  const auto& revoked = store->devices().at(uuid(kId2));
  EXPECT_EQ(revoked.revokedAt, Date{3});
  EXPECT_EQ(revoked.pairedAt, Date{1.5});
  EXPECT_EQ(revoked.identityKey, filled(3));
  EXPECT_FALSE(store->devices().at(uuid(kId1)).revokedAt);
  // Lower-case keys name the same devices.
  std::string lower =
      "{\"killSwitch\":true,\"devices\":{\"e621e1f8-c36c-495a-93fc-0c247a3e6e5f\":" +
      deviceJson(kId1, kKey1) + "}}";
  auto fromObject = decodeJson<TrustStore>(lower);
  ASSERT_TRUE(fromObject) << fromObject.error();
  EXPECT_TRUE(fromObject->killSwitch());
  EXPECT_EQ(fromObject->devices().at(uuid(kId1)).name, "P");
}

TEST(TrustStoreJson, RejectsBrokenStores) {
  const std::string id1(kId1), id2(kId2);
  auto object = [](const std::string& devices) {
    return "{\"killSwitch\":false,\"devices\":" + devices + "}";
  };
  const std::string cases[] = {
      "",
      "[]",
      "{\"killSwitch\":false}",
      "{\"devices\":{}}",
      "{\"devices\":{},\"killSwitch\":0}",
      object("\"none\""),
      object("{\"" + id1 + "\":" + deviceJson(id2, kKey1) + "}"),  // stored under another id
      object("{\"not-a-uuid\":" + deviceJson(id1, kKey1) + "}"),
      object("{\"" + id1 + "\":" + deviceJson(id1, kKey1) + ",\"" + id2 +
             "\":" + deviceJson(id2, kKey1) + "}"),
      object("[\"" + id1 + "\"," + deviceJson(id1, kKey1) + ",\"" + id1 + "\"," +
             deviceJson(id1, kKey3) + "]"),
      object("[\"" + id1 + "\"]"),
      object("[" + deviceJson(id1, kKey1) + ",\"" + id1 + "\"]"),
      object("{\"" + id1 + "\":" + deviceJson(id1, "AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQ==") +
             "}"),  // 31 bytes
      object("{\"" + id1 + "\":" + deviceJson(id1, "not base64") + "}"),
      object("{\"" + id1 + "\":" + deviceJson(id1, kKey1, ",\"revokedAt\":\"now\"") + "}"),
      object("{\"" + id1 + "\":{\"id\":\"" + id1 + "\",\"name\":\"P\",\"identityKey\":\"" +
             std::string(kKey1) + "\",\"psk\":\"" + std::string(kKey1) + "\"}}"),  // no pairedAt
      object("{\"" + id1 + "\":{\"id\":\"" + id1 + "\",\"name\":7,\"identityKey\":\"" +
             std::string(kKey1) + "\",\"psk\":\"" + std::string(kKey1) + "\",\"pairedAt\":1}}"),
  };
  for (const auto& text : cases) {
    EXPECT_FALSE(decodeJson<TrustStore>(text)) << text;
  }
}

}  // namespace
}  // namespace lumenbrook
