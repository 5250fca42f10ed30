#include "engine/RegistroGrupos.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cstring>

namespace vespril {

namespace {

// CRC-32 (IEEE), zlib's; `anterior` carries on the checksum of bytes that came before.
uint32_t Crc32(const char* data, size_t size, uint32_t anterior = 0) {
  return static_cast<uint32_t>(crc32_z(anterior, reinterpret_cast<const Bytef*>(data), size));
}

constexpr std::string_view kEspaco = "espaco ";
constexpr std::string_view kLimpo = "limpo ";
constexpr std::string_view kDecidido = "decidido ";

// One line a fact; a decided group's line names the group, then the address to the line's end.
RegistroGrupos::Conteudo Ler(const std::string& texto) {
  RegistroGrupos::Conteudo conteudo;
  for (size_t inicio = 0, fim; (fim = texto.find('\n', inicio)) != std::string::npos; inicio = fim + 1) {
    const std::string linha = texto.substr(inicio, fim - inicio);
    if (linha.rfind(kEspaco, 0) == 0) {
      conteudo.espaco = linha.substr(kEspaco.size());
    } else if (linha.rfind(kLimpo, 0) == 0) {
      conteudo.limpo = linha.substr(kLimpo.size()) == "1";
    } else if (linha.rfind(kDecidido, 0) == 0) {
      const std::string resto = linha.substr(kDecidido.size());
      const size_t espaco = resto.find(' ');
      conteudo.decididos.emplace_back(resto.substr(0, espaco),
                                      espaco == std::string::npos ? "" : resto.substr(espaco + 1));
    } else if (!linha.empty()) {
      conteudo.decididos.emplace_back(linha, "");  // the older layout: a group decided everywhere
    }
  }
  return conteudo;
}

std::string Escrever(const RegistroGrupos::Conteudo& conteudo) {
  std::string texto = std::string(kEspaco) + conteudo.espaco + "\n" + std::string(kLimpo) +
                      (conteudo.limpo ? "1" : "0") + "\n";
  for (const auto& [grupo, endereco] : conteudo.decididos) {
    texto += std::string(kDecidido) + grupo + " " + endereco + "\n";
  }
  return texto;
}

}  // namespace

RegistroGrupos::RegistroGrupos(std::string caminho) : m_caminho(std::move(caminho)) {
  m_arquivo.Reset(::open(m_caminho.c_str(), O_RDWR | O_CLOEXEC));
  if (!m_arquivo.Valid()) return;
  for (size_t slot = 0; slot < 2; ++slot) {
    std::array<char, kSlot> bytes{};
    if (::pread(m_arquivo.Get(), bytes.data(), kSlot, static_cast<off_t>(slot * kSlot)) != kSlot) continue;
    uint64_t sequencia = 0;
    uint32_t tamanho = 0;
    uint32_t soma = 0;
    std::memcpy(&sequencia, bytes.data(), 8);
    std::memcpy(&tamanho, bytes.data() + 8, 4);
    std::memcpy(&soma, bytes.data() + 12, 4);
    if (sequencia == 0 || tamanho > kSlot - kCabecalho || sequencia <= m_sequencia) continue;
    if (Crc32(bytes.data() + kCabecalho, tamanho, Crc32(bytes.data(), 12)) != soma) continue;
    m_sequencia = sequencia;
    m_conteudo = Ler(std::string(bytes.data() + kCabecalho, tamanho));
  }
}

void RegistroGrupos::Gravar(const Conteudo& conteudo) {
  const std::string texto = Escrever(conteudo);
  if (texto.size() > kSlot - kCabecalho) throw NaoGravado(Format("Cannot write file %s", m_caminho));
  std::array<char, kSlot> bytes{};
  const uint64_t sequencia = m_sequencia + 1;
  const auto tamanho = static_cast<uint32_t>(texto.size());
  std::memcpy(bytes.data(), &sequencia, 8);
  std::memcpy(bytes.data() + 8, &tamanho, 4);
  const uint32_t soma = Crc32(texto.data(), texto.size(), Crc32(bytes.data(), 12));
  std::memcpy(bytes.data() + 12, &soma, 4);
  std::memcpy(bytes.data() + kCabecalho, texto.data(), texto.size());
  if (!m_arquivo.Valid()) Criar();
  const auto onde = static_cast<off_t>((sequencia % 2) * kSlot);
  // From here the slot may hold the new record, whatever the calls say: the sequence moves on, so the
  // next record goes to the other slot and never over the one before this.
  m_sequencia = sequencia;
  if (::pwrite(m_arquivo.Get(), bytes.data(), kSlot, onde) != kSlot || ::fdatasync(m_arquivo.Get()) != 0) {
    throw Incerto(Format("Cannot write file %s", m_caminho));
  }
  m_conteudo = conteudo;
}

void RegistroGrupos::Criar() {
  Descriptor arquivo(::open(m_caminho.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  // Both slots exist, and so does the file's name, before the first record relies on them.
  const Descriptor pasta(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!arquivo.Valid() || ::ftruncate(arquivo.Get(), 2 * kSlot) != 0 || ::fsync(arquivo.Get()) != 0 ||
      !pasta.Valid() || ::fsync(pasta.Get()) != 0) {
    throw NaoGravado(Format("Cannot create file %s", m_caminho));
  }
  m_arquivo = std::move(arquivo);
}

}  // namespace vespril
