// SoqueteServidor: the gateway's TCP listener, component 0 of the engine. A QTcpServer on all local
// IPv4 addresses with a queue of 5, on the GUI thread; every client connection is served there too,
// with a receive buffer of its own (FrameAssembler) so frames are handled however the transport cuts
// them. The engine owns it; it calls back into the engine for each complete request frame.
#pragma once

#include <functional>
#include <string>

#include <QObject>

#include "engine/SlotConexao.h"
#include "engine/WireProtocol.h"

class QTcpServer;
class QTcpSocket;

namespace vespril {

class SoqueteServidor final : public QObject, public Componente {
  Q_OBJECT

 public:
  explicit SoqueteServidor(std::string name);
  ~SoqueteServidor() override;

  int Port() const { return m_port; }
  void SetPort(int port) { m_port = port; }
  bool Active() const;
  // Opening: Error "Can't create new socket", or "Windows socket error: <description> (<number>), on
  // API 'bind'" (or 'listen') when the port can't be taken; the listener is then inactive.
  // Closing also closes every client connection.
  void SetActive(bool active);

  // The port actually bound (differs from Port() only for port 0 in tests); 0 when inactive.
  int BoundPort() const;
  int ClientCount() const;
  // The receive buffer of one client connection, created with it and dropped when it goes.
  FrameAssembler& Assembler(QTcpSocket& connection);

  // Called for every client read event with the connection; the handler reads what is pending.
  std::function<void(QTcpSocket&)> OnClientRead;
  // Called when a client connection reports an error (the code is cleared: nothing is raised).
  std::function<void(QTcpSocket&, int& errorCode)> OnClientError;
  // An error of the listening socket itself: "Asynchronous socket error <number>".
  std::function<void(const std::string&)> OnListenerError;

 private:
  void Accept();

  int m_port = 0;
  QTcpServer* m_server = nullptr;  // child of this object
};

}  // namespace vespril
