// Redes: where the listener listens and whom it takes. VESPRIL_ESCUTA lists the addresses the port
// is opened on, separated by commas (IPv4 or IPv6 literals; 0.0.0.0, every IPv4 address, when unset),
// and VESPRIL_CLIENTES the client networks allowed (CIDR, IPv4 and IPv6; everyone when unset). A
// malformed value is refused with a message that names its variable.
//
// Values: built at start-up, then only read; any thread.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vespril {

// An IPv4 or IPv6 socket address.
struct EnderecoRede {
  sockaddr_storage endereco{};
  socklen_t tamanho = 0;

  // From sockaddr_in or sockaddr_in6; anything else gives an empty address (tamanho 0).
  static EnderecoRede De(const sockaddr* endereco, socklen_t tamanho);
  int Familia() const { return endereco.ss_family; }
  const sockaddr* Sockaddr() const { return reinterpret_cast<const sockaddr*>(&endereco); }
  void SetPorta(int porta);
  // "10.0.0.1", "::1"; with the port, "10.0.0.1:3211" and "[::1]:3211". "" when empty.
  std::string Texto() const;
  std::string TextoComPorta() const;
};

// The addresses of a comma-separated list (the value of `variavel`, named in the message), port 0.
// Throws Error.
std::vector<EnderecoRede> LerEnderecos(std::string_view valor, std::string_view variavel);

class RedesPermitidas {
 public:
  // Every client.
  RedesPermitidas() = default;
  // The networks of a comma-separated CIDR list (a bare address is one host). Throws Error.
  static RedesPermitidas Ler(std::string_view valor, std::string_view variavel);

  bool Todas() const { return m_redes.empty(); }
  // Whether a client from `endereco` may come in. An IPv4 client seen through an IPv6 socket
  // (::ffff:a.b.c.d) counts as the IPv4 one.
  bool Permite(const EnderecoRede& endereco) const;

 private:
  struct Rede {
    int familia = 0;
    std::array<uint8_t, 16> bytes{};
    int prefixo = 0;
  };
  std::vector<Rede> m_redes;
};

// The listener's settings from VESPRIL_ESCUTA and VESPRIL_CLIENTES. Throws Error.
struct Rede {
  std::vector<EnderecoRede> escuta;  // 0.0.0.0 when unset
  bool escutaDada = false;           // VESPRIL_ESCUTA was set
  RedesPermitidas clientes;

  static Rede DoAmbiente();
};

}  // namespace vespril
