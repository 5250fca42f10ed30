// The credentials file: its lines, the files refused, where it is looked for, and a server on the
// loopback server attached with the user it names while no password reaches the log.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <QTemporaryDir>

#include "foundation/Descriptor.h"
#include "servers/Credenciais.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackGateway.h"
#include "tests/support/ScopedEnv.h"

namespace vespril {
namespace {

using test::ErrorOf;
using test::kNoError;
using test::ScopedEnv;

void WriteFile(const std::string& path, const std::string& text, mode_t mode) {
  Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  ASSERT_EQ(::write(file.Get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ASSERT_EQ(::fchmod(file.Get(), mode), 0);
}

std::string Refused(const std::string& path, const char* mode) {
  return "O arquivo de credenciais " + path +
         " foi recusado: outros usu\xE1rios podem l\xEA-lo ou alter\xE1-lo (modo " + mode +
         "); deixe-o s\xF3 para o dono (chmod 600)";
}

TEST(CredenciaisTest, LinesAreReadAndABadOneIsToldByNumberNeverByText) {
  const Credenciais file = Credenciais::DoTexto("# loja\n\n ALFA  ana\tse=gredo\r\n* rui outra\n", "/f");
  const auto dump = [](const Credenciais::Acesso& a) { return a.usuario + "|" + a.senha + "|" + a.fonte; };
  EXPECT_EQ(dump(file.Para("alfa")), "ana|se=gredo|/f (ALFA)");
  EXPECT_EQ(dump(file.Para("BETA")), "rui|outra|/f (*)");
  EXPECT_EQ(dump(Credenciais::DoTexto("ALFA a s", "/f").Para("BETA")), "SYSDBA|quillbark|padr\xE3o");
  EXPECT_EQ(ErrorOf([] { Credenciais::DoTexto("# x\nALFA ana senha secreta\n", "/f"); }),
            "O arquivo de credenciais /f, linha 2: esperava tr\xEAs campos, Nome usuario senha");
  EXPECT_EQ(ErrorOf([] { Credenciais::DoTexto("ALFA a s\nalfa b t\n", "/f"); }),
            "O arquivo de credenciais /f, linha 2: o servidor alfa j\xE1 foi nomeado");
}

// An access ACL as the kernel stores it: version 2, then (tag, permissions, id) entries in tag order.
std::string Acl(uint32_t user, uint16_t groupRights) {
  std::string bytes;
  const auto put = [&](uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  put(2, 4);
  for (const auto& [tag, rights, id] : {std::tuple<uint32_t, uint32_t, uint32_t>{0x01, 4, ~0u},
                                        {0x02, 4, user},
                                        {0x04, groupRights, ~0u},
                                        {0x10, 4, ~0u},
                                        {0x20, 0, ~0u}}) {
    put(tag, 2);
    put(rights, 2);
    put(id, 4);
  }
  return bytes;
}

// A service manager hands its credentials over as a 0400 file with a read ACL for the service's user,
// which stat shows as mode 0440: that is no group's right to read it.
TEST(CredenciaisTest, AFileAnyoneButItsOwnerAndThisUserCanReachIsRefused) {
  QTemporaryDir dir;
  const std::string path = dir.filePath(QStringLiteral("c")).toStdString();
  struct Case {
    mode_t mode;
    std::string acl;  // "" for none
    std::string expected;
  };
  const Case cases[] = {
      {0600, "", kNoError},
      {0640, "", Refused(path, "0640")},
      {0602, "", Refused(path, "0602")},
      {0400, Acl(::geteuid(), 0), kNoError},
      {0400, Acl(::geteuid() + 4321, 0), Refused(path, "0440")},
      {0400, Acl(::geteuid(), 4), Refused(path, "0440")},
  };
  for (const Case& c : cases) {
    WriteFile(path, "* ana segredo\n", c.mode);
    if (!c.acl.empty() &&
        ::setxattr(path.c_str(), "system.posix_acl_access", c.acl.data(), c.acl.size(), 0) != 0) {
      GTEST_SKIP() << "no ACLs here: " << std::strerror(errno);
    }
    EXPECT_EQ(ErrorOf([&] { Credenciais::DoArquivo(path); }), c.expected) << std::oct << c.mode;
  }
  EXPECT_EQ(ErrorOf([&] { Credenciais::DoArquivo(dir.path().toStdString()); }),
            "O arquivo de credenciais " + dir.path().toStdString() + " n\xE3o \xE9 um arquivo comum");
}

TEST(CredenciaisTest, TheFileIsLookedForInItsOrder) {
  test::Workspace workspace;  // the working directory
  const QTemporaryDir service;
  const std::string served = service.path().toStdString() + "/vespril-credenciais";
  WriteFile(served, "", 0600);
  WriteFile(workspace.Path() + "Credenciais.conf", "", 0600);
  const ScopedEnv directory("CREDENTIALS_DIRECTORY", service.path().toUtf8().constData());
  EXPECT_EQ(Credenciais::DoAmbiente().Arquivo(), served);
  ::unlink(served.c_str());
  EXPECT_EQ(Credenciais::DoAmbiente().Arquivo(), workspace.Path() + "Credenciais.conf");
  const ScopedEnv missing("VESPRIL_CREDENCIAIS", "/nao/existe");
  EXPECT_EQ(ErrorOf([] { Credenciais::DoAmbiente(); }),
            "VESPRIL_CREDENCIAIS: O arquivo de credenciais /nao/existe n\xE3o pode ser lido: No such file or "
            "directory");
}

TEST(CredenciaisTest, AServerIsAttachedWithTheUserOfAPrivateFileAndNoPasswordIsTold) {
  VESPRIL_REQUIRE_FB_SERVER();
  auto db = test::FirebirdTestDatabase::WithOrders(test::FbLocation::Server);
  db.Execute("create or alter user VESPRIL_T25 password 'Pa55-t25'");
  struct DropUser {
    const test::FirebirdTestDatabase& db;
    ~DropUser() {
      try {
        db.Execute("drop user VESPRIL_T25");
      } catch (const Error&) {
      }
    }
  } dropUser{db};
  db.Execute("grant all on PEDIDO to user VESPRIL_T25");
  QTemporaryDir dir;
  const std::string path = dir.filePath(QStringLiteral("credenciais")).toStdString();
  const ScopedEnv variable("VESPRIL_CREDENCIAIS", path.c_str());

  {  // Readable by others: refused before anything is attached, and said in the log too.
    test::LogCapture log;
    WriteFile(path, "ALFA VESPRIL_T25 Pa55-t25\n", 0644);
    const std::string expected = "VESPRIL_CREDENCIAIS: " + Refused(path, "0644");
    EXPECT_EQ(ErrorOf([&] { test::LoopbackGateway gateway(db.Address()); }), expected);
    EXPECT_TRUE(log.WaitFor(expected)) << log.Text();
  }
  // A wrong password is the server's refusal: the file's user is the one attached (the server is then
  // away, and start-up says why).
  WriteFile(path, "ALFA VESPRIL_T25 errada\n", 0600);
  {
    test::LoopbackGateway gateway(db.Address());
    ASSERT_EQ(gateway.engine->FalhasInicio().size(), 1u);
    EXPECT_NE(gateway.engine->FalhasInicio()[0].find("user name and password"), std::string::npos);
  }

  test::LogCapture log;
  WriteFile(path, "ALFA VESPRIL_T25 Pa55-t25\n* SYSDBA nada\n", 0600);
  test::LoopbackGateway gateway(db.Address());
  test::SocketClient client(gateway.port);
  // The read script goes through the read connections, which attach with the same user.
  const std::string replies = client.Ask(test::Pedir("c", "1", test::Insert("Ana"))) +
                              client.Ask(test::Pedir("c", "2", "select CLIENTE from PEDIDO;"));
  EXPECT_EQ(replies, MontarResposta("c", "1", "", test::Insert("Ana")) +
                         MontarResposta("c", "2", "", "select CLIENTE from PEDIDO;"));
  EXPECT_EQ(db.Dump("select CLIENTE from PEDIDO"), "Ana");
  EXPECT_EQ(db.Dump("select count(*) from MON$ATTACHMENTS where MON$USER = 'VESPRIL_T25'"), "2");
  EXPECT_EQ(gateway.engine->FonteCredenciais("ALFA"), path + " (ALFA)");
  EXPECT_TRUE(log.WaitFor("credenciais=\"" + path + " (ALFA)\"")) << log.Text();
  EXPECT_EQ(log.Text().find("Pa55"), std::string::npos) << log.Text();
}

}  // namespace
}  // namespace vespril
