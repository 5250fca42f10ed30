// SoqueteServidor: the gateway's TCP listener, component 0 of the engine. A QTcpServer on all local
// IPv4 addresses with a queue of 5, on the GUI thread; every client connection is served there too,
// with a receive buffer of its own (FrameAssembler) so frames are handled however the transport cuts
// them. The engine owns it; it calls back into the engine for each read of a client connection.
//
// Client connections are children of the listener and release themselves (deleteLater) once
// disconnected; their receive buffers go with them.
#pragma once

#include <functional>
#include <string>
#include <unordered_map>

#include <QObject>

#include "engine/SlotConexao.h"
#include "protocol/WireProtocol.h"

class QTcpServer;
class QTcpSocket;

namespace vespril {

class SoqueteServidor final : public QObject, public Componente {
  Q_OBJECT

 public:
  explicit SoqueteServidor(std::string name);
  ~SoqueteServidor() override;

  int Port() const { return m_port; }
  // Takes effect at the next activation.
  void SetPort(int port) { m_port = port; }
  bool Active() const;
  // Opening: Error "Can't create new socket", or "Windows socket error: <description> (<number>), on
  // API 'bind'" (or 'listen') when the port can't be taken; a port outside 0..65535 fails as bind
  // with EINVAL. The listener is then inactive. Port 0 means "do not listen": activating with it
  // leaves the listener inactive without error. Activating an active listener does nothing.
  // Closing also closes every client connection (replies already queued are still delivered).
  void SetActive(bool active);

  // The port being listened on; 0 when inactive.
  int BoundPort() const;
  // Client connections alive (a closed one counts until it has been released).
  int ClientCount() const;
  // The receive buffer of one client connection, created with it and dropped when it goes.
  FrameAssembler& Assembler(QTcpSocket& connection);

  // Called for every client read event with the connection; the handler reads what is pending.
  // Without a handler the bytes are discarded.
  std::function<void(QTcpSocket&)> OnClientRead;
  // Called when a client connection reports an error, with the error's code (a
  // QAbstractSocket::SocketError). A handler that sets the code to 0 suppresses it; a code left
  // non-zero is passed on to OnListenerError as "Asynchronous socket error <number>".
  std::function<void(QTcpSocket&, int& errorCode)> OnClientError;
  // An error of the listening socket itself: "Asynchronous socket error <number>". Accepting
  // resumes a second later, so a passing shortage of descriptors does not leave the port deaf.
  std::function<void(const std::string&)> OnListenerError;

 private:
  void Accept();
  void Track(QTcpSocket* connection);
  void ReportError(int code);

  int m_port = 0;
  QTcpServer* m_server = nullptr;  // child of this object; owns the client connections
  std::unordered_map<QTcpSocket*, FrameAssembler> m_assemblers;
};

}  // namespace vespril
