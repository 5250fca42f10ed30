#include "foundation/FbError.h"

#include <array>

namespace vespril::fb {

namespace {

bool LinkCode(ISC_STATUS code) {
  switch (code) {
    case isc_network_error:
    case isc_net_read_err:
    case isc_net_write_err:
    case isc_lost_db_connection:
    case isc_conn_lost:
    case isc_att_shutdown:
    case isc_shutdown:
    case isc_cancelled:
      return true;
    default:
      return false;
  }
}

// Any of the vector's codes, not only the first: a lost link is often reported under a general code.
template <typename F>
bool AnyCode(const ISC_STATUS* status, F&& f) {
  for (const ISC_STATUS* p = status; *p != isc_arg_end;) {
    const ISC_STATUS kind = *p;
    if (kind == isc_arg_gds && f(p[1])) return true;
    p += kind == isc_arg_cstring ? 3 : 2;
  }
  return false;
}

}  // namespace

FbError::FbError(const ISC_STATUS* status)
    : Error(StatusText(status)),
      m_code(status[1]),
      m_linkLost(AnyCode(status, LinkCode)),
      m_inLimbo(AnyCode(status, [](ISC_STATUS code) { return code == isc_rec_in_limbo; })) {}

FbError::FbError(std::string text, ISC_STATUS code, Kind)
    : Error(std::move(text)), m_code(code), m_linkLost(true), m_timedOut(true) {}

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
