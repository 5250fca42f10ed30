// LoopbackGateway: a gateway in this process on a free loopback port, serving one server, ALFA at the
// address given, across which PEDIDO is spread; and Client, a connection that asks it one request at
// a time. The engine answers while the event loop runs, which Ask spins.
//
//   LoopbackGateway gateway(db.Address());
//   Client client(gateway.port);
//   EXPECT_EQ(client.Ask(Pedir("c", "1", "select * from PEDIDO;")), MontarResposta("c", "1", "", ...));
#pragma once

#include <memory>
#include <string>

#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>

#include "engine/UVESPRIL.h"
#include "protocol/WireProtocol.h"
#include "tests/support/Workspace.h"

namespace vespril::test {

inline std::string Pedir(const std::string& cliente, const std::string& pedido, const std::string& comando) {
  return std::string(MarcaInicio) + cliente + std::string(Separador) + pedido + std::string(Separador) +
         comando + std::string(MarcaFim);
}

inline std::string Insert(const std::string& cliente) {
  return "insert into PEDIDO (CLIENTE) values ('" + cliente + "');";
}

class Client {
 public:
  explicit Client(int port) { m_socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port)); }
  // Sends one request and waits for a whole reply (or the time to run out).
  std::string Ask(const std::string& request) {
    if (!QTest::qWaitFor([&] { return m_socket.state() == QAbstractSocket::ConnectedState; }, 5000)) {
      return "(not connected)";
    }
    m_socket.write(request.data(), static_cast<qint64>(request.size()));
    std::string reply;
    (void)QTest::qWaitFor(
        [&] {
          reply += m_socket.readAll().toStdString();
          return reply.find(MarcaFim) != std::string::npos;
        },
        20000);
    return reply;
  }

 private:
  QTcpSocket m_socket;
};

struct LoopbackGateway {
  explicit LoopbackGateway(const std::string& address) {
    workspace.WriteSettings(std::to_string(port), "False");
    workspace.WriteServers({{"ALFA", address}});
    workspace.WriteTables({{"PEDIDO", "IDPEDIDO", 0}});
    workspace.WriteMatrix({{"ALFA", "PEDIDO", 0}});
    engine = std::make_unique<VESPRIL>(workspace.ResultDirectory());
  }
  Workspace workspace;
  const int port = FreeTcpPort();
  std::unique_ptr<VESPRIL> engine;
};

}  // namespace vespril::test
