#include "foundation/FbAttachment.h"

#include <chrono>
#include <utility>

#include "foundation/Error.h"
#include "foundation/FbError.h"

namespace vespril::fb {

namespace {

// Appends one DPB item whose value is text; the DPB's length byte limits it to 255 bytes.
void AppendText(std::string& dpb, char item, std::string_view value) {
  if (value.size() > 255) throw Error("Connection parameter too long");
  dpb += item;
  dpb += static_cast<char>(value.size());
  dpb.append(value);
}

// Appends one DPB item whose value is a number, in the four bytes the client expects.
void AppendNumber(std::string& dpb, char item, int value) {
  dpb += item;
  dpb += static_cast<char>(4);
  for (int shift = 0; shift < 32; shift += 8) dpb += static_cast<char>((value >> shift) & 0xFF);
}

}  // namespace

std::string Attachment::ParameterBlock(std::string_view user, std::string_view password) {
  std::string dpb(1, static_cast<char>(isc_dpb_version1));
  AppendText(dpb, isc_dpb_user_name, user);
  AppendText(dpb, isc_dpb_password, password);
  return dpb;
}

Attachment::Attachment() : m_calls(std::make_unique<CallState>()) {}

Attachment::Attachment(std::string_view connection, std::string_view user, std::string_view password,
                       Watchdog* watchdog)
    : Attachment() {
  if (connection.size() > 0x7FFF) throw Error("Database name too long");
  std::string dpb = ParameterBlock(user, password);
  // The client's connect timeout covers the connection and the server's first answer, whole seconds.
  const auto limit = watchdog != nullptr ? watchdog->Limit() : std::chrono::milliseconds(0);
  if (watchdog != nullptr)
    AppendNumber(dpb, isc_dpb_connect_timeout, static_cast<int>((limit.count() + 999) / 1000));
  const auto start = std::chrono::steady_clock::now();
  ISC_STATUS_ARRAY status;
  isc_attach_database(status, static_cast<short>(connection.size()), connection.data(), &m_handle,
                      static_cast<short>(dpb.size()), dpb.data());
  if (watchdog != nullptr && status[0] == 1 && status[1] != 0 &&
      std::chrono::steady_clock::now() - start >= limit - std::chrono::milliseconds(100)) {
    throw FbError(watchdog->Message(), status[1], FbError::Kind::TimedOut);
  }
  Check(status);
  if (watchdog != nullptr) {
    m_calls->Watch(*watchdog, m_handle, std::string(connection), std::string(user), std::string(password));
  }
}

Attachment Attachment::Create(std::string_view connection, std::string_view user, std::string_view password,
                              int dialect, bool forcedWrites) {
  if (connection.size() > 0x7FFF) throw Error("Database name too long");
  std::string dpb = ParameterBlock(user, password);
  AppendNumber(dpb, isc_dpb_sql_dialect, dialect);
  AppendNumber(dpb, isc_dpb_force_write, forcedWrites ? 1 : 0);
  Attachment created;
  ISC_STATUS_ARRAY status;
  isc_create_database(status, static_cast<short>(connection.size()), connection.data(), &created.m_handle,
                      static_cast<short>(dpb.size()), dpb.data(), 0);
  Check(status);
  return created;
}

Attachment::Attachment(Attachment&& other) noexcept
    : m_handle(std::exchange(other.m_handle, 0)), m_calls(std::move(other.m_calls)) {}

Attachment& Attachment::operator=(Attachment&& other) noexcept {
  if (this != &other) {
    DetachSilently();
    m_handle = std::exchange(other.m_handle, 0);
    m_calls.swap(other.m_calls);
  }
  return *this;
}

Attachment::~Attachment() { DetachSilently(); }

int Attachment::DatabaseDialect() {
  const char items[] = {isc_info_db_sql_dialect, isc_info_end};
  char result[64] = {};
  ISC_STATUS_ARRAY status;
  Call call(Calls());
  isc_database_info(status, &m_handle, sizeof items, items, sizeof result, result);
  call.Check(status);
  // Each answer is its item code, a two-byte length and the value; a database that predates
  // dialects leaves the item out.
  for (size_t at = 0; at + 3 <= sizeof result && result[at] != isc_info_end;) {
    const char item = result[at];
    const auto length = static_cast<short>(isc_vax_integer(result + at + 1, 2));
    if (length < 0 || at + 3 + static_cast<size_t>(length) > sizeof result) break;
    if (item == isc_info_db_sql_dialect) return static_cast<int>(isc_vax_integer(result + at + 3, length));
    at += 3 + static_cast<size_t>(length);
  }
  return 1;
}

void Attachment::Detach() {
  ISC_STATUS_ARRAY status;
  {
    Call call(Calls());
    isc_detach_database(status, &m_handle);
    call.Check(status);
  }
  if (m_calls) m_calls->Unwatch();
  m_handle = 0;
}

void Attachment::Drop() {
  ISC_STATUS_ARRAY status;
  {
    Call call(Calls());
    isc_drop_database(status, &m_handle);
    call.Check(status);
  }
  if (m_calls) m_calls->Unwatch();
  m_handle = 0;
}

void Attachment::Abort() noexcept {
  if (m_handle == 0) return;
  ISC_STATUS_ARRAY status;
  fb_cancel_operation(status, &m_handle, fb_cancel_abort);
}

void Attachment::DetachSilently() noexcept {
  if (m_handle == 0) return;
  ISC_STATUS_ARRAY status;
  {
    const Call call(Calls());
    isc_detach_database(status, &m_handle);
  }
  if (m_calls) m_calls->Unwatch();
  m_handle = 0;
}

void PrepareClient() noexcept {
  // An attach to no database at all is refused at once, after the client has loaded its providers.
  ISC_STATUS_ARRAY status{};
  isc_db_handle handle = 0;
  const char dpb[] = {isc_dpb_version1};
  isc_attach_database(status, 0, "", &handle, sizeof dpb, dpb);
  if (handle != 0) isc_detach_database(status, &handle);
}

}  // namespace vespril::fb
