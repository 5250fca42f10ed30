// ErrorOf: the message of the error an action throws, for single assertions on failure texts.
#pragma once

#include <string>

#include "foundation/Error.h"

namespace vespril::test {

inline constexpr char kNoError[] = "(no error)";

// The Message() of the E (vespril::Error or a subclass) that action throws, or kNoError.
template <typename E = Error, typename Action>
std::string ErrorOf(Action&& action) {
  try {
    action();
  } catch (const E& e) {
    return e.Message();
  }
  return kNoError;
}

}  // namespace vespril::test
