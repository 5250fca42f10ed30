// The credentials file: how its lines are read, which files are refused, where it is looked for, and a
// server on the loopback server attached with the user it names, while no password reaches the log.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QTemporaryDir>

#include "engine/Credenciais.h"
#include "engine/UVESPRIL.h"
#include "foundation/Descriptor.h"
#include "foundation/Error.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackGateway.h"
#include "tests/support/ScopedEnv.h"

namespace vespril {
namespace {

using test::ErrorOf;
using test::ScopedEnv;

std::string Dump(const Credenciais::Acesso& acesso) {
  return acesso.usuario + "|" + acesso.senha + "|" + acesso.fonte;
}

// Writes `text` to `path` with exactly `mode`.
void WriteFile(const std::string& path, const std::string& text, mode_t mode) {
  Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  ASSERT_TRUE(file.Valid());
  ASSERT_EQ(::write(file.Get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ASSERT_EQ(::fchmod(file.Get(), mode), 0);
}

std::string Refused(const std::string& path, const char* mode) {
  return "O arquivo de credenciais " + path +
         " foi recusado: outros usu\xE1rios podem l\xEA-lo ou alter\xE1-lo (modo " + mode +
         "); deixe-o s\xF3 para o dono (chmod 600)";
}

TEST(CredenciaisTest, EachServerGetsItsLineTheStarOrTheDefault) {
  const std::string comStar = "# servidores da loja\n\n  ALFA  ana\tse=gr\xEA\x64o\r\n*  rui outra\n";
  const std::string semStar = "ALFA ana segredo";
  struct Case {
    const std::string& text;
    const char* server;
    std::string expected;
  };
  const Case cases[] = {
      {comStar, "ALFA", "ana|se=gr\xEA\x64o|/f (ALFA)"},
      {comStar, "alfa", "ana|se=gr\xEA\x64o|/f (ALFA)"},  // names compare as the server table's do
      {comStar, "BETA", "rui|outra|/f (*)"},
      {semStar, "BETA", "SYSDBA|quillbark|padr\xE3o"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Dump(Credenciais::DoTexto(c.text, "/f").Para(c.server)), c.expected) << c.server;
  }
  EXPECT_EQ(Dump(Credenciais().Para("ALFA")), "SYSDBA|quillbark|padr\xE3o");
}

TEST(CredenciaisTest, ABadLineIsRefusedByItsNumberNeverItsText) {
  struct Case {
    const char* text;
    std::string expected;
  };
  const Case cases[] = {
      {"ALFA ana\n", "O arquivo de credenciais /f, linha 1: esperava tr\xEAs campos, Nome usuario senha"},
      {"# x\nALFA ana senha secreta\n",
       "O arquivo de credenciais /f, linha 2: esperava tr\xEAs campos, Nome usuario senha"},
      {"ALFA a s\nalfa b t\n", "O arquivo de credenciais /f, linha 2: o servidor alfa j\xE1 foi nomeado"},
  };
  for (const Case& c : cases) EXPECT_EQ(ErrorOf([&] { Credenciais::DoTexto(c.text, "/f"); }), c.expected);
}

TEST(CredenciaisTest, AFileAnyoneButItsOwnerCanReachIsRefused) {
  QTemporaryDir dir;
  const std::string path = dir.filePath(QStringLiteral("credenciais")).toStdString();
  struct Case {
    mode_t mode;
    std::string expected;  // "" when read
  };
  const Case cases[] = {
      {0600, ""},
      {0400, ""},
      {0640, Refused(path, "0640")},
      {0620, Refused(path, "0620")},
      {0604, Refused(path, "0604")},
      {0602, Refused(path, "0602")},
  };
  for (const Case& c : cases) {
    WriteFile(path, "* ana segredo\n", c.mode);
    const std::string error = ErrorOf([&] { Credenciais::DoArquivo(path); });
    EXPECT_EQ(error, c.expected.empty() ? test::kNoError : c.expected) << std::oct << c.mode;
  }
  EXPECT_EQ(ErrorOf([&] { Credenciais::DoArquivo(dir.path().toStdString()); }),
            "O arquivo de credenciais " + dir.path().toStdString() + " n\xE3o \xE9 um arquivo comum");
}

// An access ACL as the kernel stores it: version 2, then (tag, permissions, id) entries in tag order.
std::string Acl(const std::vector<std::vector<uint32_t>>& entries) {
  std::string bytes;
  const auto put = [&](uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  put(2, 4);
  for (const auto& entry : entries) {
    put(entry[0], 2);
    put(entry[1], 2);
    put(entry.size() > 2 ? entry[2] : 0xFFFFFFFF, 4);
  }
  return bytes;
}

// A service manager hands its credentials over as a 0400 file with a read ACL for the service's user,
// which stat shows as mode 0440: that is no group's right to read it.
TEST(CredenciaisTest, AnAclReadGrantToThisUserAloneIsNoExposure) {
  QTemporaryDir dir;
  const std::string path = dir.filePath(QStringLiteral("vespril-credenciais")).toStdString();
  enum : uint32_t { kOwner = 1, kUser = 2, kGroup = 4, kMask = 0x10, kOther = 0x20 };
  struct Case {
    const char* what;
    std::string acl;
    bool refused;
  };
  const Case cases[] = {
      {"this user", Acl({{kOwner, 4}, {kUser, 4, ::geteuid()}, {kGroup, 0}, {kMask, 4}, {kOther, 0}}), false},
      {"another user", Acl({{kOwner, 4}, {kUser, 4, ::geteuid() + 4321}, {kGroup, 0}, {kMask, 4}, {kOther, 0}}),
       true},
      {"the group", Acl({{kOwner, 4}, {kUser, 4, ::geteuid()}, {kGroup, 4}, {kMask, 4}, {kOther, 0}}), true},
  };
  for (const Case& c : cases) {
    WriteFile(path, "* ana segredo\n", 0400);
    if (::setxattr(path.c_str(), "system.posix_acl_access", c.acl.data(), c.acl.size(), 0) != 0) {
      GTEST_SKIP() << "no ACLs here: " << std::strerror(errno);
    }
    struct stat estado {};
    ASSERT_EQ(::stat(path.c_str(), &estado), 0);
    ASSERT_EQ(estado.st_mode & 0777, 0440u) << c.what;
    EXPECT_EQ(ErrorOf([&] { Credenciais::DoArquivo(path); }), c.refused ? Refused(path, "0440") : test::kNoError)
        << c.what;
  }
}

TEST(CredenciaisTest, TheFileIsLookedForInItsOrder) {
  test::Workspace workspace;  // the working directory
  QTemporaryDir service;
  const std::string named = workspace.Path() + "nomeado";
  const std::string served = service.filePath(QStringLiteral("vespril-credenciais")).toStdString();
  WriteFile(named, "", 0600);
  WriteFile(served, "", 0600);
  WriteFile(workspace.Path() + "Credenciais.conf", "", 0600);
  const QTemporaryDir emptyDir;
  const std::string empty = emptyDir.path().toStdString();
  const std::string serviceDir = service.path().toStdString();
  struct Case {
    const char* variable;     // VESPRIL_CREDENCIAIS
    const char* credentials;  // CREDENTIALS_DIRECTORY
    std::string expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, "Credenciais.conf"},
      {nullptr, empty.c_str(), "Credenciais.conf"},
      {nullptr, serviceDir.c_str(), served},
      {"", serviceDir.c_str(), served},
      {named.c_str(), serviceDir.c_str(), named},
  };
  for (const Case& c : cases) {
    const ScopedEnv variable("VESPRIL_CREDENCIAIS", c.variable);
    const ScopedEnv credentials("CREDENTIALS_DIRECTORY", c.credentials);
    EXPECT_EQ(Credenciais::DoAmbiente().Arquivo(), c.expected);
  }
  const ScopedEnv missing("VESPRIL_CREDENCIAIS", "/nao/existe");
  EXPECT_EQ(ErrorOf([] { Credenciais::DoAmbiente(); }),
            "VESPRIL_CREDENCIAIS: O arquivo de credenciais /nao/existe n\xE3o pode ser lido: No such file or directory");
  ::unlink((workspace.Path() + "Credenciais.conf").c_str());
  const ScopedEnv none("VESPRIL_CREDENCIAIS", nullptr);
  EXPECT_EQ(Credenciais::DoAmbiente().Arquivo(), "");
}

// A user of the loopback server's own, for the life of a test.
class ServerUser {
 public:
  ServerUser(const test::FirebirdTestDatabase& db, std::string name, const std::string& password)
      : m_db(db), m_name(std::move(name)) {
    m_db.Execute("create or alter user " + m_name + " password '" + password + "'");
  }
  ~ServerUser() {
    try {
      m_db.Execute("drop user " + m_name);
    } catch (const Error&) {
    }
  }

 private:
  const test::FirebirdTestDatabase& m_db;
  std::string m_name;
};

TEST(CredenciaisTest, AServerIsAttachedWithTheUserOfAPrivateFileAndNoPasswordIsTold) {
  VESPRIL_REQUIRE_FB_SERVER();
  auto db = test::FirebirdTestDatabase::WithOrders(test::FbLocation::Server);
  const ServerUser user(db, "VESPRIL_T25", "Pa55-t25");
  db.Execute("grant all on PEDIDO to user VESPRIL_T25");
  QTemporaryDir dir;
  const std::string path = dir.filePath(QStringLiteral("credenciais")).toStdString();
  const ScopedEnv variable("VESPRIL_CREDENCIAIS", path.c_str());
  const auto attachmentsOfUser = [&] {
    return db.Dump("select count(*) from MON$ATTACHMENTS where MON$USER = 'VESPRIL_T25'");
  };

  // Readable by others: refused before anything is attached, and said in the log too.
  {
    test::LogCapture log;
    WriteFile(path, "ALFA VESPRIL_T25 Pa55-t25\n", 0644);
    const std::string expected = "VESPRIL_CREDENCIAIS: " + Refused(path, "0644");
    EXPECT_EQ(ErrorOf([&] { test::LoopbackGateway gateway(db.Address()); }), expected);
    EXPECT_TRUE(log.WaitFor("vespril.servers: ")) << log.Text();
    EXPECT_NE(log.Text().find(expected), std::string::npos) << log.Text();
  }
  // A wrong password is the server's refusal: the file's user is the one attached.
  WriteFile(path, "ALFA VESPRIL_T25 errada\n", 0600);
  EXPECT_NE(ErrorOf([&] { test::LoopbackGateway gateway(db.Address()); }).find("user name and password"),
            std::string::npos);

  test::LogCapture log;
  WriteFile(path, "# a loja\nALFA VESPRIL_T25 Pa55-t25\n* SYSDBA nada\n", 0600);
  test::LoopbackGateway gateway(db.Address());
  test::Client client(gateway.port);
  std::string replies = client.Ask(test::Pedir("c", "1", test::Insert("Ana")));
  // A read script goes through the read connections, which attach with the same user.
  replies += client.Ask(test::Pedir("c", "2", "select CLIENTE from PEDIDO;"));
  EXPECT_EQ(replies, MontarResposta("c", "1", "", test::Insert("Ana")) +
                         MontarResposta("c", "2", "", "select CLIENTE from PEDIDO;"));
  EXPECT_EQ(db.Dump("select CLIENTE from PEDIDO"), "Ana");
  EXPECT_EQ(attachmentsOfUser(), "2");
  EXPECT_EQ(gateway.engine->FonteCredenciais("ALFA"), path + " (ALFA)");
  EXPECT_TRUE(log.WaitFor("credenciais=\"" + path + " (ALFA)\"")) << log.Text();
  EXPECT_EQ(log.Text().find("Pa55"), std::string::npos) << log.Text();
}

}  // namespace
}  // namespace vespril
