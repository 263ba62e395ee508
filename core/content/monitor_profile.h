#pragma once
// What the user told the phone about a kind of screen, remembered per pixel size, frame rate
// and HDR capability, and the first guess for a screen never seen before.

#include <map>
#include <optional>
#include <string>

#include "core/content/content_error.h"
#include "core/content/mode.h"
#include "core/messages/screen_traits.h"
#include "core/util/bytes.h"
#include "core/util/date.h"
#include "core/util/json.h"
#include "core/util/result.h"

namespace lumenbrook {

struct MonitorProfile {
  std::string key;  // keyFor() of the screens it describes
  std::string name;
  ViewingDistance distance = ViewingDistance::desk;
  bool overscan = false;
  std::optional<Mode> defaultMode;
  Date lastSeen;

  // "<pixelWidth>x<pixelHeight>@<maxFPS>", with "-hdr" for an HDR screen: screens alike in
  // all three share a profile.
  static std::string keyFor(const ScreenTraits& t);
  // Named after its pixel size; a large HDR screen (3840 pixels wide or more) is taken for a
  // television across the room, anything else for a desk screen. Seen `now`.
  static MonitorProfile firstGuess(const ScreenTraits& t, Date now);

  friend bool operator==(const MonitorProfile&, const MonitorProfile&) = default;
};

void to_json(Json& j, const MonitorProfile& p);
void from_json(const Json& j, MonitorProfile& p);

struct ProfileStore {
  std::map<std::string, MonitorProfile> profiles;  // by MonitorProfile::key

  // The profile for screens like `t` (the stored one, else the first guess), marked seen
  // `now` and stored.
  MonitorProfile profile(const ScreenTraits& t, Date now);
  // Stores `p` under its key, replacing any entry.
  void save(const MonitorProfile& p);
  // `t` as the user described it: name, overscan and distance from `p`; size, scale, frame
  // rate and HDR from `t`.
  static ScreenTraits apply(const MonitorProfile& p, const ScreenTraits& t);

  Result<Bytes, ContentError> encoded() const;
  // An empty store when `bytes` are not a store.
  static ProfileStore decoded(ByteView bytes);

  friend bool operator==(const ProfileStore&, const ProfileStore&) = default;
};

void to_json(Json& j, const ProfileStore& s);
void from_json(const Json& j, ProfileStore& s);

}  // namespace lumenbrook
