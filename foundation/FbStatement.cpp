#include "foundation/FbStatement.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "foundation/Error.h"
#include "foundation/FbAttachment.h"
#include "foundation/FbError.h"
#include "foundation/FbTransaction.h"
#include "foundation/Text.h"

namespace vespril::fb {

namespace {

constexpr int kFirstColumns = 16;
constexpr unsigned short kSqldaVersion = SQLDA_VERSION1;

template <typename T>
T Load(const char* data) {
  T value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

Error NotAnInteger(std::string_view text) {
  return Error("'" + std::string(text) + "' is not a valid integer value");
}

uint64_t PowerOfTen(int exponent) {
  uint64_t power = 1;
  for (int i = 0; i < exponent; ++i) power *= 10;
  return power;
}

// An integer with scale decimals, written without going through floating point.
std::string ScaledText(int64_t value, int scale) {
  if (scale <= 0) return std::to_string(value);
  const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  const uint64_t power = PowerOfTen(scale);
  std::string fraction = std::to_string(magnitude % power);
  fraction.insert(0, static_cast<size_t>(scale) - fraction.size(), '0');
  return (value < 0 ? "-" : "") + std::to_string(magnitude / power) + "." + fraction;
}

template <typename T>
std::string ShortestText(T value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

std::string DateText(const std::tm& t) {
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  return text;
}

std::string TimeText(ISC_TIME time) {
  std::tm t{};
  isc_decode_sql_time(&time, &t);
  char text[48];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%04u", t.tm_hour, t.tm_min, t.tm_sec,
                static_cast<unsigned>(time % 10000));
  return text;
}

std::string HexText(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    out += kDigits[u >> 4];
    out += kDigits[u & 0xF];
  }
  return out;
}

bool ParseInt64(std::string_view text, int64_t& value) {
  const std::string trimmed = Trim(text);
  std::string_view digits = trimmed;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty() || digits.front() == '+') return false;
  const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return result.ec == std::errc() && result.ptr == digits.data() + digits.size();
}

// Closes an open BLOB on every way out of the reader.
class BlobHandle {
 public:
  BlobHandle() = default;
  BlobHandle(const BlobHandle&) = delete;
  BlobHandle& operator=(const BlobHandle&) = delete;
  ~BlobHandle() {
    if (m_handle == 0) return;
    ISC_STATUS_ARRAY status;
    isc_close_blob(status, &m_handle);
  }
  isc_blob_handle* Get() { return &m_handle; }
  void Close() {
    ISC_STATUS_ARRAY status;
    isc_close_blob(status, &m_handle);
    Check(status);
    m_handle = 0;
  }

 private:
  isc_blob_handle m_handle = 0;
};

}  // namespace

Statement::Statement(Attachment& attachment) : m_attachment(&attachment) {
  ISC_STATUS_ARRAY status;
  Call call(m_attachment->Calls());
  isc_dsql_allocate_statement(status, attachment.Handle(), &m_handle);
  call.Check(status);
}

Statement::Statement(Statement&& other) noexcept
    : m_attachment(other.m_attachment),
      m_transaction(other.m_transaction),
      m_handle(std::exchange(other.m_handle, 0)),
      m_kind(other.m_kind),
      m_cursorOpen(std::exchange(other.m_cursorOpen, false)),
      m_output(std::move(other.m_output)),
      m_buffers(std::move(other.m_buffers)),
      m_nulls(std::move(other.m_nulls)) {}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    FreeSilently();
    m_attachment = other.m_attachment;
    m_transaction = other.m_transaction;
    m_handle = std::exchange(other.m_handle, 0);
    m_kind = other.m_kind;
    m_cursorOpen = std::exchange(other.m_cursorOpen, false);
    m_output = std::move(other.m_output);
    m_buffers = std::move(other.m_buffers);
    m_nulls = std::move(other.m_nulls);
  }
  return *this;
}

Statement::~Statement() { FreeSilently(); }

void Statement::FreeSilently() noexcept {
  if (m_handle == 0) return;
  ISC_STATUS_ARRAY status;
  const Call call(m_attachment->Calls());
  isc_dsql_free_statement(status, &m_handle, DSQL_drop);
  m_handle = 0;
}

Statement::Descriptor Statement::NewDescriptor(int columns) {
  Descriptor descriptor(static_cast<XSQLDA*>(std::calloc(1, XSQLDA_LENGTH(columns))));
  if (!descriptor) throw std::bad_alloc();
  descriptor->version = SQLDA_VERSION1;
  descriptor->sqln = static_cast<ISC_SHORT>(columns);
  return descriptor;
}

void Statement::Prepare(Transaction& transaction, std::string_view sql, int dialect) {
  // The client takes the length in 16 bits; a longer text goes NUL-terminated, so it must hold no NUL
  // that would cut it short.
  const bool longText = sql.size() > 0xFFFF;
  if (longText && sql.find('\0') != std::string_view::npos) throw Error("Statement text holds a NUL byte");
  const std::string text(sql);
  m_output = NewDescriptor(kFirstColumns);
  m_buffers.clear();
  m_nulls.clear();
  ISC_STATUS_ARRAY status;
  Call call(m_attachment->Calls());
  isc_dsql_prepare(status, transaction.Handle(), &m_handle,
                   longText ? 0 : static_cast<unsigned short>(text.size()), text.c_str(),
                   static_cast<unsigned short>(dialect), m_output.get());
  call.Check(status);
  if (m_output->sqld > m_output->sqln) {
    m_output = NewDescriptor(m_output->sqld);
    isc_dsql_describe(status, &m_handle, kSqldaVersion, m_output.get());
    call.Check(status);
  }

  const char items[] = {isc_info_sql_stmt_type};
  char result[16] = {};
  isc_dsql_sql_info(status, &m_handle, sizeof items, items, sizeof result, result);
  call.Check(status);
  if (result[0] != isc_info_sql_stmt_type) throw Error("Statement type not reported");
  const auto length = static_cast<short>(isc_vax_integer(result + 1, 2));
  m_kind = static_cast<StatementKind>(isc_vax_integer(result + 3, length));
  BindColumns();
}

void Statement::BindColumns() {
  const int count = m_output->sqld;
  m_buffers.assign(static_cast<size_t>(count), {});
  m_nulls.assign(static_cast<size_t>(count), 0);
  for (int i = 0; i < count; ++i) {
    XSQLVAR& column = m_output->sqlvar[i];
    size_t size = static_cast<size_t>(column.sqllen);
    if ((column.sqltype & ~1) == SQL_VARYING) size += sizeof(ISC_USHORT);
    m_buffers[static_cast<size_t>(i)].assign(size == 0 ? 1 : size, 0);
    column.sqldata = m_buffers[static_cast<size_t>(i)].data();
    column.sqlind = &m_nulls[static_cast<size_t>(i)];
  }
}

bool Statement::IsQuery() const {
  return m_kind == StatementKind::Select || m_kind == StatementKind::SelectForUpdate;
}

void Statement::Execute(Transaction& transaction) {
  m_transaction = &transaction;
  ISC_STATUS_ARRAY status;
  Call call(m_attachment->Calls(), Call::Kind::Statement);
  const bool oneRow = !IsQuery() && m_output->sqld > 0;
  isc_dsql_execute2(status, transaction.Handle(), &m_handle, kSqldaVersion, nullptr,
                    oneRow ? m_output.get() : nullptr);
  call.Check(status);
  if (IsQuery()) {
    m_cursorOpen = true;
    CloseCursor();
  }
}

void Statement::OpenCursor(Transaction& transaction) {
  m_transaction = &transaction;
  ISC_STATUS_ARRAY status;
  Call call(m_attachment->Calls(), Call::Kind::Statement);
  isc_dsql_execute(status, transaction.Handle(), &m_handle, kSqldaVersion, nullptr);
  call.Check(status);
  m_cursorOpen = true;
}

bool Statement::Fetch() {
  ISC_STATUS_ARRAY status;
  Call call(m_attachment->Calls(), Call::Kind::Statement);
  const ISC_STATUS result = isc_dsql_fetch(status, &m_handle, kSqldaVersion, m_output.get());
  if (result == 100) return false;
  call.Check(status);
  return true;
}

void Statement::CloseCursor() {
  if (!m_cursorOpen) return;
  m_cursorOpen = false;
  ISC_STATUS_ARRAY status;
  Call call(m_attachment->Calls());
  isc_dsql_free_statement(status, &m_handle, DSQL_close);
  call.Check(status);
}

int Statement::ColumnCount() const { return m_output ? m_output->sqld : 0; }

const XSQLVAR& Statement::Column(int index) const {
  if (index < 0 || index >= ColumnCount())
    throw Error("Column index " + std::to_string(index) + " out of range");
  return m_output->sqlvar[index];
}

std::string Statement::ColumnName(int index) const {
  const XSQLVAR& column = Column(index);
  return std::string(column.aliasname, static_cast<size_t>(column.aliasname_length));
}

bool Statement::IsNull(int index) const {
  const XSQLVAR& column = Column(index);
  if ((column.sqltype & ~1) == SQL_NULL) return true;
  return (column.sqltype & 1) != 0 && *column.sqlind < 0;
}

std::string Statement::AsText(int index) const {
  if (IsNull(index)) return "";
  const XSQLVAR& column = Column(index);
  const char* data = column.sqldata;
  switch (column.sqltype & ~1) {
    case SQL_TEXT:
      return std::string(data, static_cast<size_t>(column.sqllen));
    case SQL_VARYING:
      return std::string(data + sizeof(ISC_USHORT), Load<ISC_USHORT>(data));
    case SQL_SHORT:
      return ScaledText(Load<ISC_SHORT>(data), -column.sqlscale);
    case SQL_LONG:
      return ScaledText(Load<ISC_LONG>(data), -column.sqlscale);
    case SQL_INT64:
      return ScaledText(Load<ISC_INT64>(data), -column.sqlscale);
    case SQL_FLOAT:
      return ShortestText(Load<float>(data));
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
      return ShortestText(Load<double>(data));
    case SQL_TYPE_DATE: {
      const auto date = Load<ISC_DATE>(data);
      std::tm t{};
      isc_decode_sql_date(&date, &t);
      return DateText(t);
    }
    case SQL_TYPE_TIME:
      return TimeText(Load<ISC_TIME>(data));
    case SQL_TIMESTAMP: {
      const auto stamp = Load<ISC_TIMESTAMP>(data);
      std::tm t{};
      isc_decode_timestamp(&stamp, &t);
      return DateText(t) + " " + TimeText(stamp.timestamp_time);
    }
    case SQL_BOOLEAN:
      return Load<FB_BOOLEAN>(data) ? "true" : "false";
    case SQL_BLOB: {
      std::string bytes = BlobText(column);
      return column.sqlsubtype == isc_blob_text ? bytes : HexText(bytes);
    }
    default:
      throw Error("Column " + ColumnName(index) + " has a type that cannot be read as text");
  }
}

int64_t Statement::AsInt64(int index) const {
  if (IsNull(index)) return 0;
  const XSQLVAR& column = Column(index);
  const char* data = column.sqldata;
  const auto scaled = [&column](int64_t value) -> int64_t {
    return column.sqlscale < 0 ? value / static_cast<int64_t>(PowerOfTen(-column.sqlscale)) : value;
  };
  const auto truncated = [this, index](double value) -> int64_t {
    // Doubles at or beyond 2^63 have no int64; converting them would be undefined.
    if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0))
      throw NotAnInteger(AsText(index));
    return static_cast<int64_t>(value);
  };
  switch (column.sqltype & ~1) {
    case SQL_SHORT:
      return scaled(Load<ISC_SHORT>(data));
    case SQL_LONG:
      return scaled(Load<ISC_LONG>(data));
    case SQL_INT64:
      return scaled(Load<ISC_INT64>(data));
    case SQL_FLOAT:
      return truncated(Load<float>(data));
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
      return truncated(Load<double>(data));
    case SQL_BOOLEAN:
      return Load<FB_BOOLEAN>(data) ? 1 : 0;
    case SQL_TEXT:
    case SQL_VARYING:
    case SQL_BLOB: {
      const std::string text = AsText(index);
      int64_t value = 0;
      if ((column.sqltype & ~1) == SQL_BLOB && column.sqlsubtype != isc_blob_text) throw NotAnInteger(text);
      if (!ParseInt64(text, value)) throw NotAnInteger(text);
      return value;
    }
    default:
      throw NotAnInteger(AsText(index));
  }
}

std::string Statement::BlobText(const XSQLVAR& column) const {
  if (m_transaction == nullptr) throw Error("No transaction to read a BLOB in");
  auto id = Load<ISC_QUAD>(column.sqldata);
  ISC_STATUS_ARRAY status;
  Call call(m_attachment->Calls(), Call::Kind::Statement);
  BlobHandle blob;
  isc_open_blob2(status, m_attachment->Handle(), m_transaction->Handle(), blob.Get(), &id, 0, nullptr);
  call.Check(status);
  std::string bytes;
  char segment[16384];
  for (;;) {
    unsigned short length = 0;
    const ISC_STATUS result = isc_get_segment(status, blob.Get(), &length, sizeof segment, segment);
    if (result == isc_segstr_eof) break;
    if (result != 0 && result != isc_segment) call.Check(status);
    bytes.append(segment, length);
  }
  blob.Close();
  return bytes;
}

void ExecuteImmediate(Attachment& attachment, Transaction& transaction, std::string_view sql, int dialect) {
  ISC_STATUS_ARRAY status;
  Call call(attachment.Calls(), Call::Kind::Statement);
  isc_dsql_execute_immediate(status, attachment.Handle(), transaction.Handle(),
                             static_cast<unsigned short>(sql.size()), sql.data(),
                             static_cast<unsigned short>(dialect), nullptr);
  call.Check(status);
}

void ExecuteAndCommit(Attachment& attachment, std::string_view sql, int dialect) {
  Transaction transaction(attachment);
  {
    Statement statement(attachment);
    statement.Prepare(transaction, sql, dialect);
    statement.Execute(transaction);
  }
  transaction.Commit();
}

}  // namespace vespril::fb
