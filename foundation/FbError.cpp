#include "foundation/FbError.h"

#include <array>

namespace vespril::fb {

FbError::FbError(const ISC_STATUS* status) : Error(StatusText(status)), m_code(status[1]) {}

std::string StatusText(const ISC_STATUS* status) {
  std::string text;
  std::array<char, 1024> line{};
  const ISC_STATUS* cursor = status;
  while (fb_interpret(line.data(), line.size(), &cursor) > 0) {
    if (!text.empty() && text.back() != '\n') text += "\r\n";
    text += line.data();
  }
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

void Check(const ISC_STATUS* status) {
  if (status[0] == 1 && status[1] != 0) throw FbError(status);
}

}  // namespace vespril::fb
