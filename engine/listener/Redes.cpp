#include "listener/Redes.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstdlib>
#include <cstring>

#include "foundation/Error.h"
#include "foundation/Text.h"

namespace vespril {

namespace {

// The items of a comma-separated list, blanks around each cut off; an empty item is kept, so that
// "a,,b" is refused rather than read as two.
std::vector<std::string> Itens(std::string_view valor) {
  std::vector<std::string> itens;
  for (;;) {
    const size_t virgula = valor.find(',');
    itens.push_back(Trim(valor.substr(0, virgula)));
    if (virgula == std::string_view::npos) return itens;
    valor.remove_prefix(virgula + 1);
  }
}

Error Invalido(std::string_view variavel, std::string_view item, const char* esperado) {
  return Error(std::string(variavel) + ": \"" + std::string(item) + "\" n\xE3o \xE9 " + esperado);
}

bool Mapeado(const in6_addr& endereco) { return IN6_IS_ADDR_V4MAPPED(&endereco); }

}  // namespace

EnderecoRede EnderecoRede::De(const sockaddr* endereco, socklen_t tamanho) {
  EnderecoRede resultado;
  if (endereco == nullptr) return resultado;
  const bool v4 = endereco->sa_family == AF_INET && tamanho >= static_cast<socklen_t>(sizeof(sockaddr_in));
  const bool v6 = endereco->sa_family == AF_INET6 && tamanho >= static_cast<socklen_t>(sizeof(sockaddr_in6));
  if (!v4 && !v6) return resultado;
  resultado.tamanho = v4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  std::memcpy(&resultado.endereco, endereco, resultado.tamanho);
  return resultado;
}

void EnderecoRede::SetPorta(int porta) {
  const auto rede = htons(static_cast<uint16_t>(porta));
  if (Familia() == AF_INET) reinterpret_cast<sockaddr_in&>(endereco).sin_port = rede;
  if (Familia() == AF_INET6) reinterpret_cast<sockaddr_in6&>(endereco).sin6_port = rede;
}

std::string EnderecoRede::Texto() const {
  if (tamanho == 0) return "";
  char texto[NI_MAXHOST] = {};
  if (::getnameinfo(Sockaddr(), tamanho, texto, sizeof texto, nullptr, 0, NI_NUMERICHOST) != 0) return "";
  return texto;
}

std::string EnderecoRede::TextoComPorta() const {
  const std::string host = Texto();
  if (host.empty()) return "";
  const int porta = Familia() == AF_INET ? ntohs(reinterpret_cast<const sockaddr_in&>(endereco).sin_port)
                                         : ntohs(reinterpret_cast<const sockaddr_in6&>(endereco).sin6_port);
  return (Familia() == AF_INET6 ? "[" + host + "]" : host) + ":" + std::to_string(porta);
}

std::vector<EnderecoRede> LerEnderecos(std::string_view valor, std::string_view variavel) {
  std::vector<EnderecoRede> enderecos;
  for (const std::string& item : Itens(valor)) {
    addrinfo dica{};
    dica.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    dica.ai_family = AF_UNSPEC;
    dica.ai_socktype = SOCK_STREAM;
    addrinfo* achados = nullptr;
    if (item.empty() || ::getaddrinfo(item.c_str(), "0", &dica, &achados) != 0 || achados == nullptr) {
      throw Invalido(variavel, item, "um endere\xE7o IPv4 ou IPv6 (como 127.0.0.1 ou ::1)");
    }
    EnderecoRede endereco = EnderecoRede::De(achados->ai_addr, achados->ai_addrlen);
    ::freeaddrinfo(achados);
    if (endereco.tamanho == 0)
      throw Invalido(variavel, item, "um endere\xE7o IPv4 ou IPv6 (como 127.0.0.1 ou ::1)");
    enderecos.push_back(endereco);
  }
  return enderecos;
}

RedesPermitidas RedesPermitidas::Ler(std::string_view valor, std::string_view variavel) {
  constexpr const char* kEsperado = "uma rede CIDR (como 192.168.0.0/24 ou fd00::/8)";
  RedesPermitidas permitidas;
  for (const std::string& item : Itens(valor)) {
    const size_t barra = item.find('/');
    const std::string endereco = item.substr(0, barra);
    Rede rede;
    if (::inet_pton(AF_INET, endereco.c_str(), rede.bytes.data()) == 1) {
      rede.familia = AF_INET;
    } else if (::inet_pton(AF_INET6, endereco.c_str(), rede.bytes.data()) == 1) {
      rede.familia = AF_INET6;
    } else {
      throw Invalido(variavel, item, kEsperado);
    }
    const int bits = rede.familia == AF_INET ? 32 : 128;
    rede.prefixo = bits;
    if (barra != std::string::npos) {
      const std::string prefixo = item.substr(barra + 1);
      if (prefixo.empty() || prefixo.size() > 3 ||
          prefixo.find_first_not_of("0123456789") != std::string::npos || std::atoi(prefixo.c_str()) > bits) {
        throw Invalido(variavel, item, kEsperado);
      }
      rede.prefixo = std::atoi(prefixo.c_str());
    }
    // An IPv4 network written in IPv6 (::ffff:10.0.0.0/104) is the IPv4 one.
    if (rede.familia == AF_INET6 && rede.prefixo >= 96 &&
        Mapeado(*reinterpret_cast<const in6_addr*>(rede.bytes.data()))) {
      std::memmove(rede.bytes.data(), rede.bytes.data() + 12, 4);
      rede.familia = AF_INET;
      rede.prefixo -= 96;
    }
    permitidas.m_redes.push_back(rede);
  }
  return permitidas;
}

bool RedesPermitidas::Permite(const EnderecoRede& endereco) const {
  if (m_redes.empty()) return true;
  int familia = endereco.Familia();
  const uint8_t* bytes = nullptr;
  if (familia == AF_INET) {
    bytes =
        reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in&>(endereco.endereco).sin_addr);
  } else if (familia == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(endereco.endereco).sin6_addr;
    bytes = reinterpret_cast<const uint8_t*>(&v6);
    if (Mapeado(v6)) {
      familia = AF_INET;
      bytes += 12;
    }
  } else {
    return false;
  }
  for (const Rede& rede : m_redes) {
    if (rede.familia != familia) continue;
    const int inteiros = rede.prefixo / 8;
    const int resto = rede.prefixo % 8;
    if (std::memcmp(bytes, rede.bytes.data(), static_cast<size_t>(inteiros)) != 0) continue;
    const auto mascara = static_cast<uint8_t>(0xFF << (8 - resto));
    if (resto != 0 && (bytes[inteiros] & mascara) != (rede.bytes[static_cast<size_t>(inteiros)] & mascara))
      continue;
    return true;
  }
  return false;
}

Rede Rede::DoAmbiente() {
  Rede rede;
  const char* escuta = std::getenv("VESPRIL_ESCUTA");
  rede.escutaDada = escuta != nullptr && *escuta != '\0';
  rede.escuta = LerEnderecos(rede.escutaDada ? escuta : "0.0.0.0", "VESPRIL_ESCUTA");
  const char* clientes = std::getenv("VESPRIL_CLIENTES");
  if (clientes != nullptr && *clientes != '\0')
    rede.clientes = RedesPermitidas::Ler(clientes, "VESPRIL_CLIENTES");
  return rede;
}

}  // namespace vespril
