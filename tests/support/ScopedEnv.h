// ScopedEnv: an environment variable set (unset, for nullptr) while the object lives, then put back.
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
    value != nullptr ? setenv(m_name.c_str(), value, 1) : unsetenv(m_name.c_str());
  }

  std::string m_name;
  std::optional<std::string> m_before;
};

}  // namespace vespril::test
