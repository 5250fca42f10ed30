// VesprilClient: one TCP connection to a VESPRIL gateway, on plain POSIX sockets (no Qt). Requests go
// out as frames; replies come back in the order the requests were sent, every request but "Deletar"
// getting one, so several requests may be sent before their replies are read. Not thread-safe: one
// thread uses a connection at a time. Move-only; the destructor closes the socket and never throws.
//
//   vespril::VesprilClient gateway("127.0.0.1", 3211, std::chrono::seconds(5));
//   vespril::Resposta r = gateway.Executar("loja.3", "42", "select * from PEDIDO;");
//   if (r.mensagem.empty()) std::puts(gateway.Baixar("loja.3", "42").retorno.c_str());
//
// Failures on the way (the gateway refuses the connection, does not answer in time, closes the
// connection before a reply is whole, or answers for another request) throw ClientError, after which
// the connection is unusable. A failure the gateway reports comes back in Resposta::mensagem instead.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "WireProtocol.h"

namespace vespril {

class ClientError : public std::runtime_error {
 public:
  enum class Kind {
    Connect,   // no connection could be made (refused, unknown host, ...)
    Timeout,   // the connection or a reply took longer than the timeout
    Closed,    // the gateway closed the connection before a reply was whole
    Mismatch,  // a reply's Cliente or Pedido don't echo the request's
    Broken,    // the connection failed earlier, or the gateway sent what no reply can be
  };
  ClientError(Kind kind, const std::string& message) : std::runtime_error(message), m_kind(kind) {}
  Kind kind() const { return m_kind; }

 private:
  Kind m_kind;
};

class VesprilClient {
 public:
  // Connects to host:port (a name or an address). The timeout bounds the connection and every later
  // wait for the gateway (a whole reply, room to send); zero waits forever.
  VesprilClient(const std::string& host, uint16_t port, std::chrono::milliseconds timeout);
  ~VesprilClient();
  VesprilClient(VesprilClient&& other) noexcept;
  VesprilClient& operator=(VesprilClient&& other) noexcept;
  VesprilClient(const VesprilClient&) = delete;
  VesprilClient& operator=(const VesprilClient&) = delete;

  // Sends one request without waiting for its reply. Throws std::invalid_argument when cliente or
  // pedido could not be echoed (PodeEcoar) or comando holds MarcaFim, since the gateway would refuse
  // the first and cut the second elsewhere.
  void Send(std::string_view cliente, std::string_view pedido, std::string_view comando);
  // The reply to the oldest request sent and not yet answered, checked against that request.
  // REQUIRES: Pending() > 0 (std::logic_error otherwise).
  Resposta Receive();
  // Requests sent whose replies have not been received.
  size_t Pending() const { return m_pending.size(); }

  // One request and its reply. REQUIRES: Pending() == 0 (std::logic_error otherwise).
  Resposta Executar(std::string_view cliente, std::string_view pedido, std::string_view script);
  // The reply's retorno is the path of the request's result file on the gateway's machine.
  Resposta Baixar(std::string_view cliente, std::string_view pedido);
  // Asks the gateway to remove the result file; no reply comes.
  void Deletar(std::string_view cliente, std::string_view pedido);

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point Deadline() const;
  // Waits for the socket to be readable (and, when `writable`, writable) until the deadline; the
  // returned poll events. Throws ClientError Timeout with `what` in its text.
  short Wait(bool writable, Clock::time_point deadline, const std::string& what);
  // Reads what is waiting into the reply buffer; false at the end of the stream.
  bool ReadSome();
  [[noreturn]] void Fail(ClientError::Kind kind, const std::string& message);
  void CheckUsable() const;

  int m_fd = -1;       // owned; a bare int since this header is installed and Descriptor is not
  std::string m_peer;  // "host:port" for messages
  std::chrono::milliseconds m_timeout;
  ReplyAssembler m_replies;
  std::deque<Pedido> m_pending;  // requests awaiting a reply, oldest first (comando kept for the echo)
  std::string m_failure;         // set once a ClientError has been thrown
};

// The INSERT statement with foreign-key annotations, so that the gateway fills each Campo of the new
// row with the last key handed out for its TabelaPai:
//   AnotarChaves("insert into ITEM (QTD) values (2);", {{"PEDIDO", "IDPEDIDO"}})
//   == "insert into ITEM (QTD) values (2)" SEP "PEDIDO, IDPEDIDO" SEP ";"
// Throws std::invalid_argument when the text is not one INSERT statement as the gateway classifies
// it (more than one ";", or not an insert), or a name is empty or holds a "," or a control byte.
std::string AnotarChaves(std::string_view insert, const std::vector<ChaveEstrangeira>& chaves);

}  // namespace vespril
