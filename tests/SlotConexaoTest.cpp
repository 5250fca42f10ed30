// The connection slot's three objects against real databases: its states, when work becomes
// permanent, the refusals, the dialect rule and the server.
#include "servers/SlotConexao.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "foundation/Error.h"
#include "foundation/FbAttachment.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/TcpProxy.h"
#include "tests/support/Workspace.h"

namespace vespril {
namespace {

using test::ErrorOf;
using test::FbLocation;
using test::FirebirdTestDatabase;

// One slot wired as the engine wires it: parameter lines, links and the two hooks.
class Slot {
 public:
  explicit Slot(const std::string& address = "") {
    baseDados.SetDatabaseName(address);
    baseDados.Params() = {"user_name=SYSDBA", "password=quillbark"};
    baseDados.SetSQLDialect(3);
    baseDados.SetLoginPrompt(false);
    transacao.SetDefaultDatabase(&baseDados);
    transacao.SetDefaultAction(TransactionAction::Commit);
    conexaoSQL.SetTransaction(&transacao);
    conexaoSQL.SetDatabase(&baseDados);
    conexaoSQL.AfterClose = [this](ConexaoSQL&) {
      if (transacao.InTransaction()) transacao.Rollback();
    };
    conexaoSQL.BeforeOpen = [this](ConexaoSQL&) {
      if (!transacao.InTransaction()) transacao.StartTransaction();
    };
  }

  // The executor's steps for a query and for any other statement.
  void Query(const std::string& sql) {
    conexaoSQL.Close();
    conexaoSQL.SQL() = {sql};
    conexaoSQL.Open();
  }
  void Execute(const std::string& sql) {
    conexaoSQL.Close();
    conexaoSQL.SQL() = {sql};
    conexaoSQL.ExecSQL();
  }

  // The state of the three objects together, as the slot's state table names them.
  std::string State() const {
    const bool attached = baseDados.Connected();
    const bool active = transacao.InTransaction();
    const bool open = conexaoSQL.Active();
    if (!attached) {
      if (active || open) return "broken";
      return baseDados.DatabaseName().empty() ? "unbound" : "bound";
    }
    if (!active) return open ? "broken" : "idle";
    return open ? "reading" : "stray";
  }

  // Every row from the current one on, columns by position: "1|Ana;2|Bia".
  std::string Rows() {
    std::string rows;
    for (conexaoSQL.First(); !conexaoSQL.Eof(); conexaoSQL.Next()) {
      if (!rows.empty()) rows += ';';
      for (int i = 0; i < conexaoSQL.FieldCount(); ++i) rows += (i ? "|" : "") + conexaoSQL.FieldAsString(i);
    }
    return rows;
  }

  BaseDados baseDados{"BaseDados1"};
  Transacao transacao{"Transacao1"};
  ConexaoSQL conexaoSQL{"ConexaoSQL1"};
};

class SlotConexaoTest : public ::testing::Test {
 protected:
  FirebirdTestDatabase db = FirebirdTestDatabase::WithOrders();
};

TEST_F(SlotConexaoTest, UnboundSlotRefusesBothWaysAndStaysUnbound) {
  Slot slot;
  EXPECT_EQ(ErrorOf([&] { slot.Query("select * from PEDIDO"); }),
            "Cannot perform operation -- DB is not open");
  EXPECT_EQ(ErrorOf([&] { slot.Execute("delete from PEDIDO"); }), "Database name is missing");
  EXPECT_EQ(ErrorOf([&] { slot.baseDados.Open(); }), "Database name is missing");
  EXPECT_EQ(slot.State(), "unbound");
}

TEST_F(SlotConexaoTest, BoundSlotRefusesAQueryButAttachesForAnExecute) {
  Slot slot(db.Address());
  EXPECT_EQ(ErrorOf([&] { slot.Query("select * from PEDIDO"); }),
            "Cannot perform operation -- DB is not open");
  EXPECT_EQ(slot.State(), "bound");

  slot.Execute("insert into PEDIDO values (1, 'Ana')");
  EXPECT_EQ(slot.State(), "idle");
  EXPECT_EQ(db.Dump("select * from PEDIDO"), "1|Ana");
}

TEST_F(SlotConexaoTest, QueryReadsUntilCloseWhichRollsBack) {
  db.Execute("insert into PEDIDO values (1, 'Ana')");
  db.Execute("insert into PEDIDO values (2, 'Bia')");
  Slot slot(db.Address());
  slot.baseDados.Open();
  EXPECT_EQ(slot.State(), "idle");

  slot.Query("select * from PEDIDO order by IDPEDIDO");
  EXPECT_EQ(slot.State(), "reading");
  EXPECT_EQ(slot.conexaoSQL.FieldName(0) + "," + slot.conexaoSQL.FieldName(1), "IDPEDIDO,CLIENTE");
  EXPECT_EQ(slot.Rows(), "1|Ana;2|Bia");
  EXPECT_TRUE(slot.conexaoSQL.Eof());
  EXPECT_EQ(slot.conexaoSQL.FieldAsString(0), "");
  // First after the walk starts it again.
  EXPECT_EQ(slot.Rows(), "1|Ana;2|Bia");

  slot.conexaoSQL.Close();
  EXPECT_EQ(slot.State(), "idle");
  slot.conexaoSQL.Close();  // closing a closed statement object does nothing
  EXPECT_EQ(slot.State(), "idle");
  EXPECT_EQ(ErrorOf([&] { slot.conexaoSQL.FieldAsString(0); }),
            "Cannot perform this operation on a closed dataset");
}

TEST_F(SlotConexaoTest, EmptyResultStandsAtTheEnd) {
  Slot slot(db.Address());
  slot.baseDados.Open();
  slot.Query("select * from PEDIDO;");
  EXPECT_TRUE(slot.conexaoSQL.Eof());
  EXPECT_EQ(slot.conexaoSQL.FieldCount(), 2);
  EXPECT_EQ(slot.Rows(), "");
}

TEST_F(SlotConexaoTest, ColumnsKeepTheirOwnValuesAndNamesAreFoundIgnoringCase) {
  Slot slot(db.Address());
  slot.baseDados.Open();
  slot.Query("select count(IDPEDIDO) as QtAtual, max(IDPEDIDO) as IDMax from PEDIDO");
  EXPECT_EQ(slot.conexaoSQL.FieldName(0), "QTATUAL");
  EXPECT_EQ(slot.conexaoSQL.FieldAsInteger("QtAtual"), 0);
  EXPECT_EQ(slot.conexaoSQL.FieldAsInteger("IDMax"), 0);  // max of no rows is NULL
  EXPECT_EQ(slot.conexaoSQL.FieldAsString("IDMax"), "");

  db.Execute("insert into PEDIDO values (41, 'Ana')");
  slot.Query("select count(IDPEDIDO) as QtAtual, max(IDPEDIDO) as IDMax from PEDIDO");
  EXPECT_EQ(slot.conexaoSQL.FieldAsInteger("qtatual"), 1);
  EXPECT_EQ(slot.conexaoSQL.FieldAsInteger("IDMAX"), 41);

  slot.Query("select 1 as A, 2 as A, 'x' as B from RDB$DATABASE");
  EXPECT_EQ(slot.conexaoSQL.FieldAsString("a"), "1");
  EXPECT_EQ(slot.Rows(), "1|2|x");
  EXPECT_EQ(ErrorOf([&] { slot.conexaoSQL.FieldAsString("C"); }), "Field 'C' not found");
}

TEST_F(SlotConexaoTest, ExecuteCommitsWhatItStartedAlsoWhenTheStatementFails) {
  Slot slot(db.Address());
  slot.Execute("\r\ninsert into PEDIDO values (1, 'Ana');");
  EXPECT_EQ(slot.State(), "idle");

  const std::string duplicate = ErrorOf([&] { slot.Execute("insert into PEDIDO values (1, 'Bia')"); });
  EXPECT_TRUE(duplicate.starts_with("violation of PRIMARY or UNIQUE KEY constraint")) << duplicate;
  EXPECT_EQ(slot.State(), "idle");
  EXPECT_EQ(ErrorOf([&] { slot.Execute(""); }),
            "Dynamic SQL Error\r\nSQL error code = -104\r\nUnexpected end of command - line 1, column 1");
  EXPECT_EQ(slot.State(), "idle");

  slot.Execute("insert into PEDIDO values (2, 'Bia')");
  // A COMMIT statement ends the transaction itself, which leaves Execute nothing to commit.
  slot.Execute("commit;");
  EXPECT_EQ(slot.State(), "idle");
  EXPECT_EQ(db.Dump("select * from PEDIDO order by 1"), "1|Ana;2|Bia");
}

TEST_F(SlotConexaoTest, ExecuteInsideAnActiveTransactionCommitsNothing) {
  Slot slot(db.Address());
  slot.baseDados.Open();
  slot.transacao.StartTransaction();
  slot.Execute("insert into PEDIDO values (1, 'Ana')");
  EXPECT_TRUE(slot.transacao.InTransaction());
  slot.transacao.Rollback();
  EXPECT_EQ(db.Count("PEDIDO"), 0);
}

TEST_F(SlotConexaoTest, SecondQuerySeesWorkCommittedSinceTheFirst) {
  Slot slot(db.Address());
  slot.baseDados.Open();
  slot.Query("select count(*) from PEDIDO");
  EXPECT_EQ(slot.Rows(), "0");
  db.Execute("insert into PEDIDO values (1, 'Ana')");
  slot.Query("select count(*) from PEDIDO");
  EXPECT_EQ(slot.Rows(), "1");
}

TEST_F(SlotConexaoTest, InsertAfterAQueryIsCommittedBeforeExecuteReturns) {
  Slot slot(db.Address());
  slot.baseDados.Open();
  slot.Query("select * from PEDIDO");
  slot.Execute("insert into PEDIDO values (1, 'Ana')");
  EXPECT_EQ(slot.State(), "idle");
  EXPECT_EQ(db.Dump("select * from PEDIDO"), "1|Ana");
}

TEST_F(SlotConexaoTest, FailedOpenLeavesNoTransactionToSwallowLaterWork) {
  Slot slot(db.Address());
  slot.baseDados.Open();
  const std::string failure = ErrorOf([&] { slot.Query("select * from NOSUCH"); });
  EXPECT_EQ(failure,
            "Dynamic SQL Error\r\nSQL error code = -204\r\nTable unknown\r\nNOSUCH\r\nAt line 1, column 15");
  EXPECT_EQ(slot.State(), "idle");

  // Reported as done, the insert must survive the slot's next query and close.
  slot.Execute("insert into PEDIDO values (1, 'Ana')");
  slot.Query("select * from PEDIDO");
  slot.conexaoSQL.Close();
  slot.baseDados.Close();
  EXPECT_EQ(db.Dump("select * from PEDIDO"), "1|Ana");
}

TEST_F(SlotConexaoTest, StatementThatIsNotAQueryIsRefusedBeforeItRuns) {
  db.Execute("insert into ITEM values (7, 1, 2, 10)");
  db.Execute("create procedure NOVO_PEDIDO as begin insert into PEDIDO values (99, 'proc'); end");
  Slot slot(db.Address());
  slot.baseDados.Open();
  for (const char* sql : {
           "insert into PEDIDO values (1, 'Ana')",
           "insert into PEDIDO select IDITEM, 'copy' from ITEM",
           "update ITEM set QTD = 0 where IDPEDIDO in (select IDPEDIDO from ITEM)",
           "delete from ITEM where IDITEM = (select max(IDITEM) from ITEM)",
           "execute procedure NOVO_PEDIDO",
           "execute block as begin insert into PEDIDO values (2, 'block'); end",
       }) {
    EXPECT_EQ(ErrorOf([&] { slot.Query(sql); }), kNaoConsulta) << sql;
    EXPECT_EQ(slot.State(), "idle") << sql;
  }
  EXPECT_EQ(db.Dump("select count(*) from PEDIDO"), "0");
  EXPECT_EQ(db.Dump("select * from ITEM"), "7|1|2|10.00");
}

TEST_F(SlotConexaoTest, DetachOfAReadingSlotRollsItsTransactionBack) {
  // A selectable procedure writes inside the reading transaction; the detach must undo it.
  db.Execute(
      "create procedure LER returns (N integer) as begin insert into PEDIDO values (5, 'lido'); N = 1; "
      "suspend; end");
  Slot slot(db.Address());
  slot.baseDados.Open();
  slot.Query("select N from LER");
  EXPECT_EQ(slot.State(), "reading");
  slot.baseDados.Close();
  EXPECT_EQ(slot.State(), "bound");
  EXPECT_EQ(db.Count("PEDIDO"), 0);

  // Attaching again works as from the start.
  slot.Execute("insert into PEDIDO values (1, 'Ana')");
  EXPECT_EQ(db.Count("PEDIDO"), 1);
}

TEST_F(SlotConexaoTest, CommitOfAReadingSlotFindsItRolledBackByTheClose) {
  db.Execute(
      "create procedure LER returns (N integer) as begin insert into PEDIDO values (5, 'lido'); N = 1; "
      "suspend; end");
  Slot slot(db.Address());
  slot.baseDados.Open();
  slot.Query("select N from LER");
  slot.transacao.Commit();
  EXPECT_EQ(slot.State(), "idle");
  EXPECT_EQ(db.Count("PEDIDO"), 0);
}

TEST_F(SlotConexaoTest, DetachCommitsATransactionLeftActiveWithoutAResultSet) {
  Slot slot(db.Address());
  slot.baseDados.Open();
  slot.transacao.StartTransaction();
  slot.Execute("insert into PEDIDO values (1, 'Ana')");
  slot.baseDados.Close();
  EXPECT_FALSE(slot.transacao.InTransaction());
  EXPECT_EQ(db.Count("PEDIDO"), 1);
}

TEST_F(SlotConexaoTest, FailedAttachLeavesTheSlotBoundToTheNewName) {
  Slot slot(db.Directory() + "/missing.fdb");
  const std::string failure = ErrorOf([&] { slot.baseDados.Open(); });
  EXPECT_TRUE(failure.starts_with("I/O error during \"open\" operation for file")) << failure;
  EXPECT_EQ(slot.State(), "bound");
  EXPECT_EQ(ErrorOf([&] { slot.Query("select * from PEDIDO"); }),
            "Cannot perform operation -- DB is not open");
  // Once the address holds a database, an Execute attaches by itself.
  slot.baseDados.SetDatabaseName(db.Address());
  slot.Execute("insert into PEDIDO values (1, 'Ana')");
  EXPECT_EQ(slot.State(), "idle");
}

TEST(SlotConexaoDialectTest, DialectIsLoweredByAnOlderDatabaseAndNeverRaisedAgain) {
  FirebirdTestDatabase::Options one;
  one.dialect = 1;
  FirebirdTestDatabase dialect1(one);
  FirebirdTestDatabase dialect3;

  // Integer division tells the dialect in which a statement was prepared.
  const char* probe = "select 1/4 from RDB$DATABASE";
  Slot fresh(dialect3.Address());
  fresh.baseDados.Open();
  fresh.Query(probe);
  EXPECT_EQ(fresh.Rows(), "0");
  EXPECT_EQ(fresh.baseDados.SQLDialect(), 3);

  Slot slot(dialect1.Address());
  slot.baseDados.Open();
  EXPECT_EQ(slot.baseDados.SQLDialect(), 1);
  slot.baseDados.Close();
  slot.baseDados.SetDatabaseName(dialect3.Address());
  slot.baseDados.Open();
  EXPECT_EQ(slot.baseDados.SQLDialect(), 1);
  slot.Query(probe);
  EXPECT_EQ(slot.Rows(), "0.25");
}

TEST(SlotConexaoLifetimeTest, ObjectsMayDieInAnyOrderWhileReading) {
  FirebirdTestDatabase db = FirebirdTestDatabase::WithOrders();
  auto baseDados = std::make_unique<BaseDados>("BaseDados1");
  auto transacao = std::make_unique<Transacao>("Transacao1");
  auto conexaoSQL = std::make_unique<ConexaoSQL>("ConexaoSQL1");
  baseDados->SetDatabaseName(db.Address());
  baseDados->Params() = {"user_name=SYSDBA", "password=quillbark"};
  transacao->SetDefaultDatabase(baseDados.get());
  conexaoSQL->SetTransaction(transacao.get());
  conexaoSQL->SetDatabase(baseDados.get());
  baseDados->Open();
  transacao->StartTransaction();
  conexaoSQL->SQL() = {"select * from PEDIDO"};
  conexaoSQL->Open();

  baseDados.reset();
  EXPECT_FALSE(transacao->InTransaction());
  EXPECT_FALSE(conexaoSQL->Active());
  transacao.reset();
  conexaoSQL.reset();
  // Nothing is left attached: a drop would be refused while any attachment remains.
  fb::Attachment last(db.Address(), test::kFbUser, test::kFbPassword);
  EXPECT_NO_THROW(last.Drop());
}

class SlotConexaoServerTest : public ::testing::Test {
 protected:
  void SetUp() override { VESPRIL_REQUIRE_FB_SERVER(); }
};

TEST_F(SlotConexaoServerTest, SlotWorksThroughTheLoopbackServer) {
  FirebirdTestDatabase db = FirebirdTestDatabase::WithOrders(FbLocation::Server);
  ASSERT_TRUE(db.Address().starts_with("localhost:"));
  Slot slot(db.Address());
  slot.baseDados.Open();
  slot.Execute("insert into PEDIDO values (1, 'Ana')");
  slot.Query("select * from PEDIDO");
  EXPECT_EQ(slot.Rows(), "1|Ana");
  EXPECT_EQ(ErrorOf([&] { slot.Query("insert into PEDIDO values (2, 'Bia')"); }), kNaoConsulta);
  slot.baseDados.Close();
  EXPECT_EQ(db.Dump("select * from PEDIDO"), "1|Ana");
}

TEST_F(SlotConexaoServerTest, MissingFileOnTheServerIsTheServersError) {
  FirebirdTestDatabase::Options options;
  options.location = FbLocation::Server;
  FirebirdTestDatabase db(options);
  const std::string missing = db.Directory() + "/missing.fdb";
  Slot slot("localhost:" + missing);
  EXPECT_EQ(ErrorOf([&] { slot.baseDados.Open(); }),
            "I/O error during \"open\" operation for file \"" + missing +
                "\"\r\nError while trying to open file\r\nNo such file or directory");
  EXPECT_EQ(slot.State(), "bound");
}

TEST_F(SlotConexaoServerTest, PortWithoutAServerIsRefused) {
  Slot slot("localhost/" + std::to_string(test::FreeTcpPort()) + ":/tmp/none.fdb");
  EXPECT_EQ(ErrorOf([&] { slot.Execute("delete from PEDIDO"); }),
            "Unable to complete network request to host \"localhost\".\r\nFailed to establish a connection");
  EXPECT_EQ(slot.State(), "bound");
}

// The connection dies under a reading slot, cut on the way or ended by the server. The next statement
// finds it lost as its transaction starts, before anything of it is sent: the slot attaches again and
// runs it, or, while the server can't be reached, fails with the client's text and leaves no
// transaction behind, and runs the one after it once the server is back.
TEST_F(SlotConexaoServerTest, ConnectionLostUnderTheSlotIsAttachedAgainBeforeTheNextStatement) {
  for (const bool cut : {true, false}) {
    FirebirdTestDatabase db = FirebirdTestDatabase::WithOrders(FbLocation::Server);
    test::TcpProxy proxy(3050);
    Slot slot("localhost/" + std::to_string(proxy.Port()) + ":" + db.Path());
    slot.baseDados.Open();
    slot.Query("select * from PEDIDO");
    if (cut) {
      proxy.Cut();
    } else {
      db.Execute("delete from MON$ATTACHMENTS where MON$ATTACHMENT_ID <> CURRENT_CONNECTION");
    }
    const std::string failure = ErrorOf([&] { slot.Execute("insert into PEDIDO values (1, 'Ana')"); });
    EXPECT_EQ(failure,
              cut ? "Unable to complete network request to host \"localhost\".\r\nFailed to establish a "
                    "connection"
                  : test::kNoError);
    EXPECT_EQ(slot.State(), cut ? "bound" : "idle") << failure;

    if (cut) proxy.Restore();
    slot.Execute("insert into PEDIDO values (2, 'Bia')");
    EXPECT_EQ(db.Dump("select * from PEDIDO order by IDPEDIDO"), cut ? "2|Bia" : "1|Ana;2|Bia") << failure;
    slot.baseDados.Close();
  }
}

}  // namespace
}  // namespace vespril
