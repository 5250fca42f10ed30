// Statement: one DSQL statement on an attachment, as a move-only handle, with the buffers that
// receive its result columns (one buffer and one null indicator per column). The destructor frees
// the handle without throwing. The attachment, and the transaction of the last Execute or
// OpenCursor, must outlive every call that reads a value (a BLOB is read through them).
//
// Values as text (AsText):
//   NULL                              ""
//   SMALLINT, INTEGER, BIGINT         decimal: "42", "-7"
//   NUMERIC, DECIMAL (scaled)         exactly as many decimals as the scale: "12.50", "-0.05", "3.000"
//   FLOAT, DOUBLE PRECISION           the shortest text that reads back to the same value: "0.1",
//                                     "2.5", "100", "1e+20"
//   DATE                              "YYYY-MM-DD"
//   TIME                              "HH:MM:SS.ffff" (ten-thousandths of a second)
//   TIMESTAMP                         "YYYY-MM-DD HH:MM:SS.ffff"
//   BOOLEAN                           "true", "false"
//   CHAR(n)                           its bytes as stored, padding blanks included
//   VARCHAR(n)                        its bytes
//   BLOB SUB_TYPE TEXT                its whole text
//   any other BLOB                    its bytes in lower-case hexadecimal, two digits a byte
// Values as integer (AsInt64): NULL is 0; integers are themselves; scaled numerics, FLOAT and DOUBLE
// are truncated toward zero ("12.99" gives 12, "-0.5" gives 0); CHAR, VARCHAR and text BLOBs are read
// as a decimal integer between blanks; BOOLEAN is 1 or 0. Anything else, or a number out of range,
// throws Error("'<text>' is not a valid integer value").
#pragma once

#include <ibase.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vespril::fb {

class Attachment;
class Transaction;

// What the database takes a prepared statement for (isc_info_sql_stmt_type).
enum class StatementKind {
  Select = isc_info_sql_stmt_select,
  Insert = isc_info_sql_stmt_insert,
  Update = isc_info_sql_stmt_update,
  Delete = isc_info_sql_stmt_delete,
  Ddl = isc_info_sql_stmt_ddl,
  GetSegment = isc_info_sql_stmt_get_segment,
  PutSegment = isc_info_sql_stmt_put_segment,
  ExecProcedure = isc_info_sql_stmt_exec_procedure,
  StartTransaction = isc_info_sql_stmt_start_trans,
  Commit = isc_info_sql_stmt_commit,
  Rollback = isc_info_sql_stmt_rollback,
  SelectForUpdate = isc_info_sql_stmt_select_for_upd,
  SetGenerator = isc_info_sql_stmt_set_generator,
  Savepoint = isc_info_sql_stmt_savepoint,
};

class Statement {
 public:
  // REQUIRES: attachment.Attached(). Allocates the handle; throws FbError.
  explicit Statement(Attachment& attachment);

  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&& other) noexcept;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  // Prepares sql in transaction with the given SQL dialect, learns its kind and describes its result
  // columns. REQUIRES: no cursor open. Throws FbError.
  void Prepare(Transaction& transaction, std::string_view sql, int dialect);

  // REQUIRES: prepared.
  StatementKind Kind() const { return m_kind; }
  // Select or select for update: the statements that open a cursor.
  bool IsQuery() const;

  // Runs the prepared statement in transaction. A statement that returns one row without a cursor
  // (EXECUTE PROCEDURE, INSERT ... RETURNING) leaves that row readable; a query's cursor is closed
  // again at once. Throws FbError.
  void Execute(Transaction& transaction);

  // REQUIRES: IsQuery(). Opens the cursor before the first row; throws FbError.
  void OpenCursor(Transaction& transaction);
  // REQUIRES: CursorOpen(). Steps to the next row; false at the end. Throws FbError.
  bool Fetch();
  // Closes an open cursor and keeps the statement prepared; throws FbError.
  void CloseCursor();
  bool CursorOpen() const { return m_cursorOpen; }

  // The result columns; index is 0-based and checked (Error when out of range).
  int ColumnCount() const;
  std::string ColumnName(int index) const;  // the alias, as the database reports it
  bool IsNull(int index) const;
  std::string AsText(int index) const;
  int64_t AsInt64(int index) const;

 private:
  struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
  };
  using Descriptor = std::unique_ptr<XSQLDA, FreeDeleter>;

  static Descriptor NewDescriptor(int columns);
  void BindColumns();
  const XSQLVAR& Column(int index) const;
  std::string BlobText(const XSQLVAR& column) const;
  void FreeSilently() noexcept;

  Attachment* m_attachment;
  Transaction* m_transaction = nullptr;
  isc_stmt_handle m_handle = 0;
  StatementKind m_kind = StatementKind::Select;
  bool m_cursorOpen = false;
  Descriptor m_output;
  std::vector<std::vector<char>> m_buffers;
  std::vector<short> m_nulls;
};

// Runs one statement in a transaction of its own and commits it; for tools and tests that set up
// databases. Throws FbError.
void ExecuteAndCommit(Attachment& attachment, std::string_view sql, int dialect);

// Runs one statement that returns nothing in `transaction`, in a single round trip (no statement handle
// is kept). REQUIRES: sql shorter than 64 KiB. Throws FbError.
void ExecuteImmediate(Attachment& attachment, Transaction& transaction, std::string_view sql, int dialect);

}  // namespace vespril::fb
