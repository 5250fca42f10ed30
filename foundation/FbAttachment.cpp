#include "foundation/FbAttachment.h"

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

// Text between single quotes in a statement, with quotes doubled.
std::string Quoted(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  out += '\'';
  return out;
}

}  // namespace

Attachment::Attachment(std::string_view connection, std::string_view user, std::string_view password) {
  if (connection.size() > 0x7FFF) throw Error("Database name too long");
  std::string dpb(1, static_cast<char>(isc_dpb_version1));
  AppendText(dpb, isc_dpb_user_name, user);
  AppendText(dpb, isc_dpb_password, password);
  ISC_STATUS_ARRAY status;
  isc_attach_database(status, static_cast<short>(connection.size()), connection.data(), &m_handle,
                      static_cast<short>(dpb.size()), dpb.data());
  Check(status);
}

Attachment Attachment::Create(std::string_view connection, std::string_view user, std::string_view password,
                              int dialect) {
  const std::string sql =
      "CREATE DATABASE " + Quoted(connection) + " USER " + Quoted(user) + " PASSWORD " + Quoted(password);
  Attachment created;
  isc_tr_handle transaction = 0;
  ISC_STATUS_ARRAY status;
  isc_dsql_execute_immediate(status, &created.m_handle, &transaction, 0, sql.c_str(),
                             static_cast<unsigned short>(dialect), nullptr);
  Check(status);
  return created;
}

Attachment::Attachment(Attachment&& other) noexcept : m_handle(std::exchange(other.m_handle, 0)) {}

Attachment& Attachment::operator=(Attachment&& other) noexcept {
  if (this != &other) {
    DetachSilently();
    m_handle = std::exchange(other.m_handle, 0);
  }
  return *this;
}

Attachment::~Attachment() { DetachSilently(); }

int Attachment::DatabaseDialect() {
  const char items[] = {isc_info_db_sql_dialect, isc_info_end};
  char result[64] = {};
  ISC_STATUS_ARRAY status;
  isc_database_info(status, &m_handle, sizeof items, items, sizeof result, result);
  Check(status);
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
  isc_detach_database(status, &m_handle);
  Check(status);
  m_handle = 0;
}

void Attachment::Drop() {
  ISC_STATUS_ARRAY status;
  isc_drop_database(status, &m_handle);
  Check(status);
  m_handle = 0;
}

void Attachment::DetachSilently() noexcept {
  if (m_handle == 0) return;
  ISC_STATUS_ARRAY status;
  isc_detach_database(status, &m_handle);
  m_handle = 0;
}

}  // namespace vespril::fb
