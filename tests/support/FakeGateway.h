// FakeGateway: a stand-in for the gateway on a loopback port, on the GUI thread, for client tests. It
// records every request frame it receives and answers each with whatever Answer returns for it
// (by default the reply the gateway would give to a script that ran without failure), then closes
// the connection when CloseAfterAnswer is set. Answers are written only while the event loop runs.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include "protocol/WireProtocol.h"

namespace vespril::test {

class FakeGateway {
 public:
  FakeGateway() {
    m_server.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* connection = m_server.nextPendingConnection()) {
        auto assembler = std::make_shared<FrameAssembler>();
        QObject::connect(connection, &QTcpSocket::readyRead, connection, [this, connection, assembler] {
          const QByteArray bytes = connection->readAll();
          received.append(bytes.constData(), static_cast<size_t>(bytes.size()));
          assembler->Append(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
          while (std::optional<Pedido> request = assembler->Next()) {
            requests.push_back(*request);
            const std::string reply = Answer(*request);
            connection->write(reply.data(), static_cast<qint64>(reply.size()));
            connection->flush();
            if (CloseAfterAnswer) connection->disconnectFromHost();
          }
        });
        QObject::connect(connection, &QTcpSocket::disconnected, connection, &QObject::deleteLater);
      }
    });
  }

  int Port() const { return m_server.serverPort(); }

  std::function<std::string(const Pedido&)> Answer = [](const Pedido& p) {
    return p.comando == "Deletar" ? std::string() : MontarResposta(p.cliente, p.pedido, "", p.comando);
  };
  bool CloseAfterAnswer = false;
  std::string received;  // every byte, as it came
  std::vector<Pedido> requests;

 private:
  QTcpServer m_server;
};

}  // namespace vespril::test
