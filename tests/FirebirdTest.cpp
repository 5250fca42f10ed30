// The Firebird client wrapper against real embedded databases: the error text, every value form,
// statement kinds, dialects and the handles' states.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include <QTemporaryDir>

#include "foundation/FbAttachment.h"
#include "foundation/FbError.h"
#include "foundation/FbLockFolder.h"
#include "foundation/FbStatement.h"
#include "foundation/FbTransaction.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/FirebirdTestDatabase.h"

namespace vespril::fb {
namespace {

using test::ErrorOf;
using test::FirebirdTestDatabase;
using test::kFbPassword;
using test::kFbUser;

class FirebirdTest : public ::testing::Test {
 protected:
  // One database for the whole suite: the cases only read, or write inside their own tables.
  static void SetUpTestSuite() { s_db = new FirebirdTestDatabase(FirebirdTestDatabase::WithOrders()); }
  static void TearDownTestSuite() {
    delete s_db;
    s_db = nullptr;
  }

  Attachment Attach() { return Attachment(s_db->Address(), kFbUser, kFbPassword); }

  static FirebirdTestDatabase* s_db;
};

FirebirdTestDatabase* FirebirdTest::s_db = nullptr;

TEST(FbStatusTextTest, JoinsLinesWithCrLfUnlessALineFeedEndsTheTextAndDropsOneFinalFullStop) {
  struct Case {
    std::vector<const char*> messages;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{"one"}, "one"},
      {{"one", "two"}, "one\r\ntwo"},
      {{"one\n", "two"}, "one\ntwo"},
      {{"one\r\n", "two"}, "one\r\ntwo"},
      {{"one.", "two."}, "one.\r\ntwo"},
      {{"two.."}, "two."},
      {{"one", "."}, "one\r\n"},
  };
  for (const Case& c : cases) {
    // isc_random's message is its one argument, so each entry below is one line of the text.
    std::vector<ISC_STATUS> status = {isc_arg_gds};
    for (const char* message : c.messages) {
      if (status.size() > 1) status.push_back(isc_arg_gds);
      status.push_back(isc_random);
      status.push_back(isc_arg_string);
      status.push_back(reinterpret_cast<ISC_STATUS>(message));
    }
    status.push_back(isc_arg_end);
    EXPECT_EQ(StatusText(status.data()), c.expected) << c.messages.front();
  }
}

TEST_F(FirebirdTest, ErrorTextIsTheClientsMessagesWithoutSqlCodeText) {
  Attachment attachment = Attach();
  Transaction transaction(attachment);
  Statement statement(attachment);
  EXPECT_EQ(ErrorOf<FbError>([&] { statement.Prepare(transaction, "", 3); }),
            "Dynamic SQL Error\r\nSQL error code = -104\r\nUnexpected end of command - line 1, column 1");
  EXPECT_EQ(ErrorOf<FbError>([&] { statement.Prepare(transaction, "select * from NOSUCH", 3); }),
            "Dynamic SQL Error\r\nSQL error code = -204\r\nTable unknown\r\nNOSUCH\r\nAt line 1, column 15");

  const std::string missing = s_db->Directory() + "/missing.fdb";
  EXPECT_EQ(ErrorOf<FbError>([&] { Attachment(missing, kFbUser, kFbPassword); }),
            "I/O error during \"open\" operation for file \"" + missing +
                "\"\r\nError while trying to open file\r\nNo such file or directory");
}

TEST_F(FirebirdTest, ErrorCarriesTheFirstCode) {
  Attachment attachment = Attach();
  Transaction transaction(attachment);
  Statement statement(attachment);
  try {
    statement.Prepare(transaction, "select * from NOSUCH", 3);
    FAIL();
  } catch (const FbError& e) {
    EXPECT_EQ(e.Code(), isc_dsql_error);
  }
}

TEST_F(FirebirdTest, RendersEveryTypeAsTextAndAsInteger) {
  struct Case {
    std::string expression;
    std::string text;
    std::optional<int64_t> integer;  // nullopt: not an integer
  };
  const std::string longText = std::string(30000, 'a') + std::string(30000, 'b');
  const std::vector<Case> cases = {
      {"cast(null as integer)", "", 0},
      {"cast(null as varchar(5))", "", 0},
      {"cast(-7 as smallint)", "-7", -7},
      {"cast(42 as integer)", "42", 42},
      {"cast(9223372036854775807 as bigint)", "9223372036854775807", INT64_MAX},
      {"cast(-9223372036854775808 as bigint)", "-9223372036854775808", INT64_MIN},
      {"cast(3.5 as numeric(4,1))", "3.5", 3},
      {"cast(12.5 as numeric(9,2))", "12.50", 12},
      {"cast(-0.05 as numeric(9,2))", "-0.05", 0},
      {"cast(-12.9999 as numeric(18,4))", "-12.9999", -12},
      {"cast(3 as decimal(18,3))", "3.000", 3},
      {"cast(-92233720368547758.07 as numeric(18,2))", "-92233720368547758.07", -92233720368547758},
      {"cast(1.1 as float)", "1.1", 1},
      {"cast(0.1 as double precision)", "0.1", 0},
      {"cast(-2.5 as double precision)", "-2.5", -2},
      {"cast(1e20 as double precision)", "1e+20", std::nullopt},
      {"cast(100 as double precision)", "100", 100},
      {"cast('2024-03-05' as date)", "2024-03-05", std::nullopt},
      {"cast('0001-01-01' as date)", "0001-01-01", std::nullopt},
      {"cast('13:04:05.1234' as time)", "13:04:05.1234", std::nullopt},
      {"cast('00:00:00' as time)", "00:00:00.0000", std::nullopt},
      {"cast('2024-03-05 13:04:05.0001' as timestamp)", "2024-03-05 13:04:05.0001", std::nullopt},
      {"true", "true", 1},
      {"false", "false", 0},
      {"cast('ab' as char(5))", "ab   ", std::nullopt},
      {"cast(' 12' as char(5))", " 12  ", 12},
      {"cast('xy' as varchar(10))", "xy", std::nullopt},
      {"cast('-15' as varchar(10))", "-15", -15},
      {"cast('' as varchar(10))", "", std::nullopt},
      {"cast('a\xE7\xE3o' as varchar(10))", "a\xE7\xE3o", std::nullopt},
      {"cast('text blob' as blob sub_type text)", "text blob", std::nullopt},
      {"cast('77' as blob sub_type text)", "77", 77},
      {"cast(lpad('', 30000, 'a') as blob sub_type text) || lpad('', 30000, 'b')", longText, std::nullopt},
      {"cast(x'00FF10' as blob sub_type binary)", "00ff10", std::nullopt},
      {"cast(x'3132' as blob sub_type binary)", "3132", std::nullopt},
  };
  Attachment attachment = Attach();
  Transaction transaction(attachment);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expression);
    Statement statement(attachment);
    statement.Prepare(transaction, "select " + c.expression + " from RDB$DATABASE", 3);
    statement.OpenCursor(transaction);
    ASSERT_TRUE(statement.Fetch());
    EXPECT_EQ(statement.AsText(0), c.text);
    EXPECT_EQ(statement.IsNull(0), c.expression.starts_with("cast(null"));
    if (c.integer) {
      EXPECT_EQ(statement.AsInt64(0), *c.integer);
    } else {
      try {
        statement.AsInt64(0);
        ADD_FAILURE() << "read as an integer";
      } catch (const Error& e) {
        EXPECT_EQ(e.Message(), "'" + c.text + "' is not a valid integer value");
      }
    }
  }
}

TEST_F(FirebirdTest, RendersTableColumnsAndTheirNulls) {
  s_db->Execute("insert into ITEM values (1, 10, 2, 10)");
  s_db->Execute("insert into ITEM (IDITEM) values (2)");
  EXPECT_EQ(s_db->Dump("select * from ITEM order by IDITEM"), "1|10|2|10.00;2|||");
  s_db->Execute("delete from ITEM");
}

TEST_F(FirebirdTest, ReportsWhatKindOfStatementTheDatabaseTakesATextFor) {
  const std::vector<std::pair<std::string, StatementKind>> cases = {
      {"select * from PEDIDO", StatementKind::Select},
      {"\r\n  select * from PEDIDO;", StatementKind::Select},
      {"select * from PEDIDO for update", StatementKind::SelectForUpdate},
      {"insert into PEDIDO values (1, 'a')", StatementKind::Insert},
      {"insert into PEDIDO select IDITEM, 'x' from ITEM", StatementKind::Insert},
      {"update PEDIDO set CLIENTE = 'b' where IDPEDIDO in (select IDPEDIDO from ITEM)",
       StatementKind::Update},
      {"delete from PEDIDO", StatementKind::Delete},
      {"create table T (A integer)", StatementKind::Ddl},
      {"execute block as begin end", StatementKind::ExecProcedure},
      {"insert into PEDIDO values (1, 'a') returning IDPEDIDO", StatementKind::ExecProcedure},
      {"commit", StatementKind::Commit},
  };
  Attachment attachment = Attach();
  Transaction transaction(attachment);
  for (const auto& [sql, kind] : cases) {
    Statement statement(attachment);
    statement.Prepare(transaction, sql, 3);
    EXPECT_EQ(statement.Kind(), kind) << sql;
    EXPECT_EQ(statement.IsQuery(), kind == StatementKind::Select || kind == StatementKind::SelectForUpdate)
        << sql;
  }
}

TEST_F(FirebirdTest, ReadsManyColumnsAndWalksTheCursorToItsEnd) {
  // More columns than the first descriptor holds, so the statement must describe them again.
  std::string columns;
  for (int i = 0; i < 40; ++i) columns += (i ? ", " : "") + std::to_string(i) + " as C" + std::to_string(i);
  Attachment attachment = Attach();
  Transaction transaction(attachment);
  Statement statement(attachment);
  statement.Prepare(transaction, "select " + columns + " from RDB$DATABASE", 3);
  ASSERT_EQ(statement.ColumnCount(), 40);
  statement.OpenCursor(transaction);
  ASSERT_TRUE(statement.Fetch());
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(statement.ColumnName(i), "C" + std::to_string(i));
    EXPECT_EQ(statement.AsText(i), std::to_string(i));
  }
  EXPECT_FALSE(statement.Fetch());
  EXPECT_THROW(statement.AsText(40), Error);
  EXPECT_THROW(statement.ColumnName(-1), Error);

  // The same statement opens again after its cursor was closed.
  statement.CloseCursor();
  statement.OpenCursor(transaction);
  EXPECT_TRUE(statement.Fetch());
}

TEST_F(FirebirdTest, ExecuteLeavesTheOneRowOfAStatementThatReturnsOne) {
  Attachment attachment = Attach();
  Transaction transaction(attachment);
  Statement statement(attachment);
  statement.Prepare(transaction, "insert into PEDIDO values (5, 'Eva') returning IDPEDIDO, CLIENTE", 3);
  statement.Execute(transaction);
  EXPECT_EQ(statement.AsText(0) + "|" + statement.AsText(1), "5|Eva");
  transaction.Rollback();
}

TEST_F(FirebirdTest, TransactionCommitsRollsBackAndRollsBackWhenDestroyed) {
  Attachment attachment = Attach();
  const auto insert = [&](Transaction& transaction, const char* sql) {
    Statement statement(attachment);
    statement.Prepare(transaction, sql, 3);
    statement.Execute(transaction);
  };
  {
    Transaction committed(attachment);
    insert(committed, "insert into PEDIDO values (1, 'kept')");
    committed.Commit();
    EXPECT_FALSE(committed.Active());
    Transaction rolledBack(attachment);
    insert(rolledBack, "insert into PEDIDO values (2, 'undone')");
    rolledBack.Rollback();
    Transaction abandoned(attachment);
    insert(abandoned, "insert into PEDIDO values (3, 'abandoned')");
    // A COMMIT statement ends the transaction it runs in; the handle must follow.
    Transaction byStatement(attachment);
    insert(byStatement, "insert into PEDIDO values (4, 'by statement')");
    insert(byStatement, "commit");
    EXPECT_FALSE(byStatement.Active());
  }
  attachment.Detach();
  EXPECT_EQ(s_db->Dump("select * from PEDIDO order by 1"), "1|kept;4|by statement");
  s_db->Execute("delete from PEDIDO");
}

TEST_F(FirebirdTest, FailedDetachLeavesTheAttachmentAttachedUntilADetachSucceeds) {
  Attachment attachment = Attach();
  Transaction transaction(attachment);
  EXPECT_EQ(ErrorOf<FbError>([&] { attachment.Detach(); }),
            "cannot disconnect database with open transactions (1 active)");
  EXPECT_TRUE(attachment.Attached());
  // The client has shut the connection down all the same; only a second detach releases the handle.
  EXPECT_THROW(transaction.Commit(), FbError);
  EXPECT_FALSE(transaction.Active());  // a refused end ends it all the same
  attachment.Detach();
  EXPECT_FALSE(attachment.Attached());
}

TEST_F(FirebirdTest, HandlesMoveAndTheMovedFromObjectsHoldNothing) {
  Attachment first = Attach();
  Attachment second = std::move(first);
  EXPECT_FALSE(first.Attached());
  Transaction transaction(second);
  Transaction moved = std::move(transaction);
  EXPECT_FALSE(transaction.Active());
  Statement statement(second);
  statement.Prepare(moved, "select 1 from RDB$DATABASE", 3);
  Statement kept = std::move(statement);
  kept.OpenCursor(moved);
  ASSERT_TRUE(kept.Fetch());
  EXPECT_EQ(kept.AsText(0), "1");
}

TEST(FirebirdDialectTest, CreatesDatabasesOfEitherDialectAndReadsIt) {
  for (int dialect : {1, 3}) {
    FirebirdTestDatabase::Options options;
    options.dialect = dialect;
    FirebirdTestDatabase db(options);
    Attachment attachment(db.Address(), kFbUser, kFbPassword);
    EXPECT_EQ(attachment.DatabaseDialect(), dialect);
    // The dialect decides how the database reads a statement: integer division only in dialect 3.
    EXPECT_EQ(db.Dump("select 1/4 from RDB$DATABASE"), dialect == 1 ? "0.25" : "0");
  }
}

// The engine's own exclusive lock on each database file keeps processes of different lock folders
// apart only in the modes that take it.
TEST(FbLockFolderTest, ExclusiveModesAreReadFromFirebirdConf) {
  EXPECT_TRUE(ExclusiveServerMode("#ServerMode = Classic\nRemoteBindAddress = localhost\n"));
  EXPECT_TRUE(ExclusiveServerMode("  servermode=threadeddedicated  # the same\r\n"));
  EXPECT_FALSE(ExclusiveServerMode("ServerMode = Super\nServerMode = SuperClassic\n"));
  EXPECT_FALSE(ExclusiveServerMode("ServerMode = Classic"));
}

// A user to whom the default folder is closed gets a folder of their own, made for them alone; one
// that another user made first, or a link put in its place, is refused rather than used.
TEST(FbLockFolderTest, OwnFolderIsThisUsersAloneOrRefused) {
  QTemporaryDir runtime;
  ASSERT_TRUE(runtime.isValid());
  const std::string own = runtime.path().toStdString() + "/firebird";
  const std::string closed = runtime.path().toStdString() + "/missing";
  const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
  qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
  qunsetenv("FIREBIRD_LOCK");

  EXPECT_EQ(ChooseLockFolder(runtime.path().toStdString()), runtime.path().toStdString());
  EXPECT_EQ(ChooseLockFolder(closed), own);
  EXPECT_EQ(qgetenv("FIREBIRD_LOCK").toStdString(), own);
  struct stat info {};
  ASSERT_EQ(stat(own.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  EXPECT_EQ(ChooseLockFolder(closed), own);  // FIREBIRD_LOCK, once set, is kept

  const std::string refused = "A pasta de travas do Firebird " + own + " n\xE3o \xE9 s\xF3 deste usu\xE1rio";
  qunsetenv("FIREBIRD_LOCK");
  if (geteuid() == 0) {
    ASSERT_EQ(chown(own.c_str(), 65534, 65534), 0);
    EXPECT_EQ(ErrorOf([&] { ChooseLockFolder(closed); }), refused);
  }
  ASSERT_EQ(rmdir(own.c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent", own.c_str()), 0);
  EXPECT_EQ(ErrorOf([&] { ChooseLockFolder(closed); }), refused);
  EXPECT_TRUE(qgetenv("FIREBIRD_LOCK").isEmpty());

  if (savedRuntime.isNull()) {
    qunsetenv("XDG_RUNTIME_DIR");
  } else {
    qputenv("XDG_RUNTIME_DIR", savedRuntime);
  }
}

}  // namespace
}  // namespace vespril::fb
