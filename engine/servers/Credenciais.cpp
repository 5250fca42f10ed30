#include "servers/Credenciais.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "foundation/Descriptor.h"
#include "foundation/Error.h"
#include "foundation/Text.h"

namespace vespril {

namespace {

constexpr char kFontePadrao[] = "padr\xE3o";
constexpr char kArquivoServico[] = "vespril-credenciais";
constexpr char kArquivoLocal[] = "Credenciais.conf";
constexpr off_t kMaiorArquivo = 1 << 20;

// The access ACL as the kernel stores it (linux/posix_acl_xattr.h): a version, then entries.
constexpr uint32_t kVersaoAcl = 2;
enum : uint16_t {
  kAclUsuario = 0x02,
  kAclGrupoDono = 0x04,
  kAclGrupo = 0x08,
  kAclMascara = 0x10,
  kAclOutros = 0x20
};
constexpr uint16_t kLerOuEscrever = 04 | 02;

uint32_t Le(const unsigned char* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// Whether anyone but the owner and this process's user may read or write the file. With an access
// ACL the mode's group bits are its mask, not the group's rights (a service manager grants its
// credentials to the service's user that way), so the entries are read instead.
bool Exposto(int fd, const struct stat& estado) {
  unsigned char acl[4 + 8 * 64];
  const ssize_t tamanho = ::fgetxattr(fd, "system.posix_acl_access", acl, sizeof acl);
  if (tamanho < 4 || (tamanho - 4) % 8 != 0 || Le(acl, 4) != kVersaoAcl) {
    // No ACL (or one too large to be a plain grant, read as what the mode says).
    return (estado.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0;
  }
  uint16_t mascara = 07;
  for (ssize_t at = 4; at < tamanho; at += 8) {
    if (Le(acl + at, 2) == kAclMascara) mascara = static_cast<uint16_t>(Le(acl + at + 2, 2));
  }
  for (ssize_t at = 4; at < tamanho; at += 8) {
    const uint32_t tipo = Le(acl + at, 2);
    const uint16_t direitos = static_cast<uint16_t>(Le(acl + at + 2, 2)) & kLerOuEscrever;
    const uint32_t id = Le(acl + at + 4, 4);
    if ((tipo == kAclUsuario && id != ::geteuid()) || tipo == kAclGrupoDono || tipo == kAclGrupo) {
      if ((direitos & mascara) != 0) return true;
    } else if (tipo == kAclOutros && direitos != 0) {
      return true;
    }
  }
  return false;
}

std::string Modo(mode_t modo) {
  char texto[8];
  std::snprintf(texto, sizeof texto, "%04o", static_cast<unsigned>(modo & 07777));
  return texto;
}

bool Branco(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string> Campos(std::string_view linha) {
  std::vector<std::string> campos;
  size_t at = 0;
  while (at < linha.size()) {
    while (at < linha.size() && Branco(linha[at])) ++at;
    const size_t inicio = at;
    while (at < linha.size() && !Branco(linha[at])) ++at;
    if (at > inicio) campos.emplace_back(linha.substr(inicio, at - inicio));
  }
  return campos;
}

}  // namespace

Credenciais::Credenciais() : m_padrao{kUsuario, kSenha, kFontePadrao} {}

Credenciais Credenciais::DoAmbiente() {
  const char* nomeado = std::getenv("VESPRIL_CREDENCIAIS");
  if (nomeado != nullptr && *nomeado != '\0') return DoArquivo(nomeado, "VESPRIL_CREDENCIAIS");
  const char* servico = std::getenv("CREDENTIALS_DIRECTORY");
  if (servico != nullptr && *servico != '\0') {
    std::string caminho = servico;
    if (caminho.back() != '/') caminho += '/';
    caminho += kArquivoServico;
    if (::access(caminho.c_str(), F_OK) == 0) return DoArquivo(caminho);
  }
  // Named by its whole path, so that the log tells where it is.
  if (::access(kArquivoLocal, F_OK) == 0) return DoArquivo(std::filesystem::absolute(kArquivoLocal).native());
  return Credenciais();
}

Credenciais Credenciais::DoArquivo(const std::string& caminho, std::string_view variavel) {
  const std::string cabeca = (variavel.empty() ? std::string() : std::string(variavel) + ": ") +
                             "O arquivo de credenciais " + caminho;
  // Not followed through a pipe or a device: only a regular file is read.
  Descriptor arquivo(::open(caminho.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!arquivo.Valid()) throw Error(cabeca + " n\xE3o pode ser lido: " + std::strerror(errno));
  struct stat estado {};
  if (::fstat(arquivo.Get(), &estado) != 0)
    throw Error(cabeca + " n\xE3o pode ser lido: " + std::strerror(errno));
  if (!S_ISREG(estado.st_mode)) throw Error(cabeca + " n\xE3o \xE9 um arquivo comum");
  if (Exposto(arquivo.Get(), estado)) {
    throw Error(cabeca + " foi recusado: outros usu\xE1rios podem l\xEA-lo ou alter\xE1-lo (modo " +
                Modo(estado.st_mode) + "); deixe-o s\xF3 para o dono (chmod 600)");
  }
  if (estado.st_size > kMaiorArquivo) throw Error(cabeca + " passa de 1 MiB");
  std::string texto(static_cast<size_t>(estado.st_size), '\0');
  size_t lidos = 0;
  while (lidos < texto.size()) {
    const ssize_t n = ::read(arquivo.Get(), texto.data() + lidos, texto.size() - lidos);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Error(cabeca + " n\xE3o pode ser lido: " + std::strerror(errno));
    if (n == 0) break;
    lidos += static_cast<size_t>(n);
  }
  texto.resize(lidos);
  return DoTexto(texto, caminho, variavel);
}

Credenciais Credenciais::DoTexto(std::string_view texto, const std::string& caminho,
                                 std::string_view variavel) {
  const std::string cabeca = (variavel.empty() ? std::string() : std::string(variavel) + ": ") +
                             "O arquivo de credenciais " + caminho;
  Credenciais credenciais;
  credenciais.m_arquivo = caminho;
  int numero = 0;
  while (!texto.empty()) {
    const size_t fim = texto.find('\n');
    std::string_view linha = texto.substr(0, fim);
    texto.remove_prefix(fim == std::string_view::npos ? texto.size() : fim + 1);
    ++numero;
    if (!linha.empty() && linha.back() == '\r') linha.remove_suffix(1);
    std::vector<std::string> campos = Campos(linha);
    if (campos.empty() || campos.front().front() == '#') continue;
    // The line is never quoted: it may hold a password.
    const std::string onde = cabeca + ", linha " + std::to_string(numero);
    if (campos.size() != 3) throw Error(onde + ": esperava tr\xEAs campos, Nome usuario senha");
    for (const Linha& anterior : credenciais.m_linhas) {
      if (SameText(anterior.nome, campos[0]))
        throw Error(onde + ": o servidor " + campos[0] + " j\xE1 foi nomeado");
    }
    Linha nova{campos[0], Acesso{campos[1], campos[2], caminho + " (" + campos[0] + ")"}};
    if (nova.nome == "*") credenciais.m_padrao = nova.acesso;
    credenciais.m_linhas.push_back(std::move(nova));
  }
  return credenciais;
}

const Credenciais::Acesso& Credenciais::Para(std::string_view nome) const {
  for (const Linha& linha : m_linhas) {
    if (linha.nome != "*" && SameText(linha.nome, nome)) return linha.acesso;
  }
  return m_padrao;
}

}  // namespace vespril
