#pragma once
// Sets one environment variable (or unsets it, for null) until it goes out of scope.

#include <cstdlib>
#include <optional>
#include <string>

namespace lumenbrook::testing {

class EnvOverride {
 public:
  EnvOverride(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~EnvOverride() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  EnvOverride(const EnvOverride&) = delete;
  EnvOverride& operator=(const EnvOverride&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace lumenbrook::testing
