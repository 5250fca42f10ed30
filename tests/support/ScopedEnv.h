// ScopedEnv: an environment variable set (or unset, with nullptr) while the object lives, and put back
// as it was when it dies.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace vespril::test {

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : m_name(name) {
    if (const char* before = std::getenv(name)) m_before = before;
    Set(value);
  }
  ~ScopedEnv() { Set(m_before ? m_before->c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Set(const char* value) {
    if (value != nullptr) {
      setenv(m_name.c_str(), value, 1);
    } else {
      unsetenv(m_name.c_str());
    }
  }

  std::string m_name;
  std::optional<std::string> m_before;
};

}  // namespace vespril::test
