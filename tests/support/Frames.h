// Frames as the tests send and expect them, built by the protocol's own code (whose bytes
// WireProtocolTest checks against the delimiters spelt out), so no test types a delimiter by hand.
#pragma once

#include <string>
#include <string_view>

#include "protocol/WireProtocol.h"

namespace vespril::test {

// A request frame.
inline std::string Pedir(std::string_view cliente, std::string_view pedido, std::string_view comando) {
  return MontarPedido(cliente, pedido, comando);
}

// A frame that carries only its comando.
inline std::string Comando(std::string_view comando) { return MontarPedido("", "", comando); }

// A frame without its MarcaFim: one the peer has not finished sending.
inline std::string SemFim(std::string frame) {
  frame.resize(frame.size() - MarcaFim.size());
  return frame;
}

}  // namespace vespril::test
