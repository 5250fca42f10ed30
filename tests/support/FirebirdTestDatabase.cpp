#include "tests/support/FirebirdTestDatabase.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

#include "foundation/Error.h"
#include "foundation/FbAttachment.h"
#include "foundation/FbStatement.h"
#include "foundation/FbTransaction.h"
#include "tests/support/SocketClient.h"

namespace vespril::test {

namespace {

constexpr quint16 kServerPort = 3050;

}  // namespace

FirebirdTestDatabase::FirebirdTestDatabase() : FirebirdTestDatabase(Options{}) {}

FirebirdTestDatabase::FirebirdTestDatabase(Options options)
    : m_directory(std::make_unique<QTemporaryDir>(QDir::tempPath() + "/vespril-fb-XXXXXX")),
      m_dialect(options.dialect) {
  if (!m_directory->isValid()) throw Error("Cannot create a temporary directory for a test database");
  // The server runs as its own user and must create and open the file in this directory.
  if (options.location == FbLocation::Server) {
    QFile::setPermissions(m_directory->path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                              QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
                              QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther);
  }
  m_path = m_directory->filePath(QString::fromStdString(options.fileName)).toStdString();
  m_address = options.location == FbLocation::Server ? "localhost:" + m_path : m_path;

  // A test database may be lost with the machine; leaving its writes to the OS makes it several times
  // quicker to build.
  fb::Attachment attachment = fb::Attachment::Create(m_address, kFbUser, kFbPassword, m_dialect, false);
  for (const std::string& ddl : options.ddl) fb::ExecuteAndCommit(attachment, ddl, m_dialect);
  attachment.Detach();
}

FirebirdTestDatabase FirebirdTestDatabase::WithOrders(FbLocation location) {
  Options options;
  options.location = location;
  options.ddl = OrdersDdl();
  return FirebirdTestDatabase(std::move(options));
}

std::vector<std::string> FirebirdTestDatabase::OrdersDdl() {
  return {
      "CREATE TABLE PEDIDO (IDPEDIDO INTEGER NOT NULL PRIMARY KEY, CLIENTE VARCHAR(30))",
      "CREATE TABLE ITEM (IDITEM INTEGER NOT NULL PRIMARY KEY, IDPEDIDO INTEGER, QTD INTEGER, "
      "PRECO NUMERIC(9,2))",
  };
}

FirebirdTestDatabase::FirebirdTestDatabase(FirebirdTestDatabase&& other) noexcept
    : m_directory(std::move(other.m_directory)),
      m_path(std::move(other.m_path)),
      m_address(std::move(other.m_address)),
      m_dialect(other.m_dialect) {
  other.m_address.clear();
}

FirebirdTestDatabase& FirebirdTestDatabase::operator=(FirebirdTestDatabase&& other) noexcept {
  if (this != &other) {
    DropSilently();
    m_directory = std::move(other.m_directory);
    m_path = std::move(other.m_path);
    m_address = std::move(other.m_address);
    m_dialect = other.m_dialect;
    other.m_address.clear();
  }
  return *this;
}

FirebirdTestDatabase::~FirebirdTestDatabase() { DropSilently(); }

void FirebirdTestDatabase::DropSilently() noexcept {
  if (m_address.empty()) return;
  try {
    fb::Attachment attachment(m_address, kFbUser, kFbPassword);
    attachment.Drop();
  } catch (const std::exception&) {
    // Still attached by the code under test: the directory's removal takes the file with it.
  }
  m_address.clear();
  m_directory.reset();
}

std::string FirebirdTestDatabase::Directory() const { return m_directory->path().toStdString(); }

void FirebirdTestDatabase::Execute(std::string_view sql) const {
  fb::Attachment attachment(m_address, kFbUser, kFbPassword);
  fb::ExecuteAndCommit(attachment, sql, m_dialect);
  attachment.Detach();
}

std::vector<std::vector<std::string>> FirebirdTestDatabase::Rows(std::string_view query) const {
  std::vector<std::vector<std::string>> rows;
  fb::Attachment attachment(m_address, kFbUser, kFbPassword);
  {
    fb::Transaction transaction(attachment);
    fb::Statement statement(attachment);
    statement.Prepare(transaction, query, m_dialect);
    statement.OpenCursor(transaction);
    while (statement.Fetch()) {
      std::vector<std::string>& row = rows.emplace_back();
      for (int i = 0; i < statement.ColumnCount(); ++i) row.push_back(statement.AsText(i));
    }
    statement.CloseCursor();
    transaction.Rollback();
  }
  attachment.Detach();
  return rows;
}

std::string FirebirdTestDatabase::Dump(std::string_view query) const {
  std::string dump;
  for (const auto& row : Rows(query)) {
    if (!dump.empty()) dump += ';';
    for (size_t i = 0; i < row.size(); ++i) {
      if (i > 0) dump += '|';
      dump += row[i];
    }
  }
  return dump;
}

int64_t FirebirdTestDatabase::Count(std::string_view table) const {
  return std::stoll(Rows("select count(*) from " + std::string(table)).at(0).at(0));
}

bool FirebirdServerAnswers() {
  static const bool answers = SocketClient(kServerPort).Connected(3000);
  return answers;
}

bool FirebirdServerExpected() {
  const char* value = std::getenv("VESPRIL_FB_SERVER");
  return value != nullptr && *value != '\0';
}

}  // namespace vespril::test
