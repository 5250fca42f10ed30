// LoopbackGateway: a gateway in this process on a free loopback port, serving one server, ALFA at the
// address given, across which PEDIDO is spread. The engine answers while the event loop runs, which a
// SocketClient's waits spin.
//
//   LoopbackGateway gateway(db.Address());
//   SocketClient client(gateway.port);
//   EXPECT_EQ(client.Ask(Pedir("c", "1", "select * from PEDIDO;")), MontarResposta("c", "1", "", ...));
#pragma once

#include <memory>
#include <string>

#include "gateway/UVESPRIL.h"
#include "tests/support/Frames.h"
#include "tests/support/SocketClient.h"
#include "tests/support/Workspace.h"

namespace vespril::test {

inline std::string Insert(const std::string& cliente) {
  return "insert into PEDIDO (CLIENTE) values ('" + cliente + "');";
}

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
