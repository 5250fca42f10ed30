// FirebirdTestDatabase: a fresh Firebird database for one test, in a temporary directory of its own,
// dropped (and the directory removed) when the object dies. Embedded (a plain path, opened in this
// process) or on the loopback server ("localhost:/dir/x.fdb"). The helper keeps no attachment open
// between its calls, so the code under test may attach the same file meanwhile.
//
//   auto db = FirebirdTestDatabase::WithOrders();           // PEDIDO and ITEM, embedded
//   slot.baseDados.SetDatabaseName(db.Address());
//   db.Execute("insert into PEDIDO values (1, 'Ana')");
//   EXPECT_EQ(db.Dump("select * from PEDIDO"), "1|Ana");
//
// Tests that need the server start with VESPRIL_REQUIRE_FB_SERVER(): skipped when no server answers
// on 127.0.0.1:3050, failed instead when VESPRIL_FB_SERVER is set (scripts/test sets it).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QTemporaryDir;

namespace vespril::test {

inline constexpr char kFbUser[] = "SYSDBA";
inline constexpr char kFbPassword[] = "quillbark";

enum class FbLocation { Embedded, Server };

class FirebirdTestDatabase {
 public:
  struct Options {
    FbLocation location = FbLocation::Embedded;
    int dialect = 3;
    std::vector<std::string> ddl;  // run in order, each committed on its own
    std::string fileName = "test.fdb";
  };

  // Creates the database; throws vespril::Error (the client's text) when it cannot.
  explicit FirebirdTestDatabase(Options options);
  FirebirdTestDatabase();
  // PEDIDO(IDPEDIDO INTEGER NOT NULL PRIMARY KEY, CLIENTE VARCHAR(30)) and
  // ITEM(IDITEM INTEGER NOT NULL PRIMARY KEY, IDPEDIDO INTEGER, QTD INTEGER, PRECO NUMERIC(9,2)).
  static FirebirdTestDatabase WithOrders(FbLocation location = FbLocation::Embedded);
  static std::vector<std::string> OrdersDdl();

  FirebirdTestDatabase(FirebirdTestDatabase&& other) noexcept;
  FirebirdTestDatabase& operator=(FirebirdTestDatabase&& other) noexcept;
  FirebirdTestDatabase(const FirebirdTestDatabase&) = delete;
  FirebirdTestDatabase& operator=(const FirebirdTestDatabase&) = delete;
  ~FirebirdTestDatabase();

  // The connection string for BaseDados::SetDatabaseName: the path, or "localhost:" + the path.
  const std::string& Address() const { return m_address; }
  // The database file and its directory on this machine.
  const std::string& Path() const { return m_path; }
  std::string Directory() const;
  int Dialect() const { return m_dialect; }

  // Runs one statement in a transaction of its own and commits it; throws vespril::Error.
  void Execute(std::string_view sql) const;
  // Every row of a query, each value as text (the forms of foundation/FbStatement.h).
  std::vector<std::vector<std::string>> Rows(std::string_view query) const;
  // The rows in one line for a single assertion: values joined by "|", rows by ";" ("1|Ana;2|Bia").
  std::string Dump(std::string_view query) const;
  // select count(*) of a table.
  int64_t Count(std::string_view table) const;

 private:
  void DropSilently() noexcept;

  std::unique_ptr<QTemporaryDir> m_directory;
  std::string m_path;
  std::string m_address;
  int m_dialect = 3;
};

// Whether something accepts connections on 127.0.0.1:3050 (asked once per process).
bool FirebirdServerAnswers();
// Whether the run expects the server (VESPRIL_FB_SERVER is set).
bool FirebirdServerExpected();

}  // namespace vespril::test

#define VESPRIL_REQUIRE_FB_SERVER()                                                                  \
  do {                                                                                               \
    if (!::vespril::test::FirebirdServerAnswers()) {                                                 \
      if (::vespril::test::FirebirdServerExpected()) {                                               \
        FAIL() << "No Firebird server answers on 127.0.0.1:3050, and VESPRIL_FB_SERVER expects one"; \
      } else {                                                                                       \
        GTEST_SKIP() << "No Firebird server on 127.0.0.1:3050";                                      \
      }                                                                                              \
    }                                                                                                \
  } while (false)
