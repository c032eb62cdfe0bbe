// SPDX-License-Identifier: GPL-3.0-or-later
// An environment variable set for as long as a scope lasts.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace kestrova::testing {

// Sets an environment variable for as long as it lives.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* was = std::getenv(name)) was_ = was;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (was_) {
      ::setenv(name_, was_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> was_;
};

}  // namespace kestrova::testing
