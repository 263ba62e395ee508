#pragma once
// The configuration of a D-Bus bus ("system" or "session") that a test runs for itself on
// `socketPath`: anyone may own any name and send anything, and nothing is bus-activated, so
// only the daemons the test starts answer on it.

#include <string>

namespace lumenbrook::testing {

inline std::string privateBusConfig(const std::string& socketPath,
                                    const std::string& type = "system") {
  return R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>)" + type + R"(</type>
  <listen>unix:path=)" + socketPath + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/><allow send_type="signal"/>
    <allow send_type="method_return"/><allow send_type="error"/>
    <allow receive_type="method_call"/><allow receive_type="signal"/>
    <allow receive_type="method_return"/><allow receive_type="error"/>
  </policy>
</busconfig>
)";
}

}  // namespace lumenbrook::testing
