#include "execution/RegistroGrupos.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <sys/stat.h>

#include <cstring>
#include <stdexcept>

namespace vespril {

namespace {

// CRC-32 (IEEE), zlib's; `anterior` carries on the checksum of bytes that came before.
uint32_t Crc32(const char* data, size_t size, uint32_t anterior = 0) {
  return static_cast<uint32_t>(crc32_z(anterior, reinterpret_cast<const Bytef*>(data), size));
}

constexpr std::string_view kEspaco = "espaco ";
constexpr std::string_view kLimpo = "limpo ";
constexpr std::string_view kDecidido = "decidido ";
constexpr std::string_view kCopia = "copia";
constexpr std::string_view kTabela = "tabela ";
constexpr std::string_view kContagem = "contagem ";

// A name in a line: bytes that would end it or split it (controls, space, '%') as %XX.
std::string Codificar(const std::string& nome) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string texto;
  for (const char c : nome) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == '%' || byte == 0x7F) {
      texto += '%';
      texto += kHex[byte >> 4];
      texto += kHex[byte & 0xF];
    } else {
      texto += c;
    }
  }
  return texto;
}

std::string Decodificar(const std::string& texto) {
  std::string nome;
  for (size_t i = 0; i < texto.size(); ++i) {
    if (texto[i] == '%' && i + 2 < texto.size()) {
      nome += static_cast<char>(std::stoi(texto.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      nome += texto[i];
    }
  }
  return nome;
}

// The line's fields, split at spaces.
std::vector<std::string> Campos(const std::string& linha) {
  std::vector<std::string> campos;
  for (size_t inicio = 0;;) {
    const size_t fim = linha.find(' ', inicio);
    campos.push_back(linha.substr(inicio, fim - inicio));
    if (fim == std::string::npos) return campos;
    inicio = fim + 1;
  }
}

int32_t Numero(const std::string& texto) {
  const long long valor = std::stoll(texto);
  if (valor < INT32_MIN || valor > INT32_MAX) throw std::out_of_range(texto);
  return static_cast<int32_t>(valor);
}

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
    } else if (linha == kCopia) {
      conteudo.copia.existe = true;
    } else if (linha.rfind(kTabela, 0) == 0) {
      const std::vector<std::string> campos = Campos(linha.substr(kTabela.size()));
      if (campos.size() != 3) continue;
      conteudo.copia.tabelas.push_back({Decodificar(campos[0]), Decodificar(campos[1]), Numero(campos[2])});
    } else if (linha.rfind(kContagem, 0) == 0) {
      const std::vector<std::string> campos = Campos(linha.substr(kContagem.size()));
      if (campos.size() != 3) continue;
      conteudo.copia.contagens.push_back({Decodificar(campos[0]), Decodificar(campos[1]), Numero(campos[2])});
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
  if (!conteudo.copia.existe) return texto;
  texto += std::string(kCopia) + "\n";
  for (const CopiaTabelas::Tabela& tabela : conteudo.copia.tabelas) {
    texto += std::string(kTabela) + Codificar(tabela.nome) + " " + Codificar(tabela.chave) + " " +
             std::to_string(tabela.reservado) + "\n";
  }
  for (const CopiaTabelas::Contagem& contagem : conteudo.copia.contagens) {
    texto += std::string(kContagem) + Codificar(contagem.servidor) + " " + Codificar(contagem.tabela) + " " +
             std::to_string(contagem.registro) + "\n";
  }
  return texto;
}

std::string Pasta(const std::string& caminho) {
  const size_t barra = caminho.rfind('/');
  return barra == std::string::npos ? "." : caminho.substr(0, barra + 1);
}

}  // namespace

RegistroGrupos::RegistroGrupos(std::string caminho) : m_caminho(std::move(caminho)) {
  m_arquivo.Reset(::open(m_caminho.c_str(), O_RDWR | O_CLOEXEC));
  if (!m_arquivo.Valid()) return;
  struct stat estado {};
  if (::fstat(m_arquivo.Get(), &estado) == 0 && static_cast<size_t>(estado.st_size) >= 4 * kSlot) {
    m_slot = static_cast<size_t>(estado.st_size) / 2 / kSlot * kSlot;
  }
  std::string bytes(m_slot, '\0');
  for (size_t slot = 0; slot < 2; ++slot) {
    if (::pread(m_arquivo.Get(), bytes.data(), m_slot, static_cast<off_t>(slot * m_slot)) !=
        static_cast<ssize_t>(m_slot)) {
      continue;
    }
    uint64_t sequencia = 0;
    uint32_t tamanho = 0;
    uint32_t soma = 0;
    std::memcpy(&sequencia, bytes.data(), 8);
    std::memcpy(&tamanho, bytes.data() + 8, 4);
    std::memcpy(&soma, bytes.data() + 12, 4);
    if (sequencia == 0 || tamanho > m_slot - kCabecalho || sequencia <= m_sequencia) continue;
    if (Crc32(bytes.data() + kCabecalho, tamanho, Crc32(bytes.data(), 12)) != soma) continue;
    try {
      m_conteudo = Ler(std::string(bytes.data() + kCabecalho, tamanho));
    } catch (const std::logic_error&) {
      continue;  // a number that is not one: not a record this program wrote
    }
    m_sequencia = sequencia;
  }
}

void RegistroGrupos::Gravar(const Conteudo& conteudo) {
  const std::string texto = Escrever(conteudo);
  const uint64_t sequencia = m_sequencia + 1;
  const size_t tamanho = kCabecalho + texto.size();
  // Whole pages of the slot, only as many as the record needs.
  std::string bytes((tamanho + kSlot - 1) / kSlot * kSlot, '\0');
  const auto comprimento = static_cast<uint32_t>(texto.size());
  std::memcpy(bytes.data(), &sequencia, 8);
  std::memcpy(bytes.data() + 8, &comprimento, 4);
  const uint32_t soma = Crc32(texto.data(), texto.size(), Crc32(bytes.data(), 12));
  std::memcpy(bytes.data() + 12, &soma, 4);
  std::memcpy(bytes.data() + kCabecalho, texto.data(), texto.size());
  if (!m_arquivo.Valid() || bytes.size() > m_slot) {
    size_t slot = m_slot;
    while (slot < bytes.size()) slot *= 2;
    Criar(slot, sequencia, bytes);
    m_sequencia = sequencia;
    m_conteudo = conteudo;
    return;
  }
  const auto onde = static_cast<off_t>((sequencia % 2) * m_slot);
  // From here the slot may hold the new record, whatever the calls say: the sequence moves on, so the
  // next record goes to the other slot and never over the one before this.
  m_sequencia = sequencia;
  if (::pwrite(m_arquivo.Get(), bytes.data(), bytes.size(), onde) != static_cast<ssize_t>(bytes.size()) ||
      ::fdatasync(m_arquivo.Get()) != 0) {
    throw Incerto(Format("Cannot write file %s", m_caminho));
  }
  m_conteudo = conteudo;
}

void RegistroGrupos::Criar(size_t slot, uint64_t sequencia, const std::string& bytes) {
  const std::string novo = m_caminho + ".novo";
  Descriptor arquivo(::open(novo.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  const auto onde = static_cast<off_t>((sequencia % 2) * slot);
  // Both slots, the record and the file's bytes are on the disk before the name is given to it.
  if (!arquivo.Valid() || ::ftruncate(arquivo.Get(), static_cast<off_t>(2 * slot)) != 0 ||
      ::pwrite(arquivo.Get(), bytes.data(), bytes.size(), onde) != static_cast<ssize_t>(bytes.size()) ||
      ::fsync(arquivo.Get()) != 0 || ::rename(novo.c_str(), m_caminho.c_str()) != 0) {
    ::unlink(novo.c_str());
    throw NaoGravado(Format("Cannot create file %s", m_caminho));
  }
  m_arquivo = std::move(arquivo);
  m_slot = slot;
  const Descriptor pasta(::open(Pasta(m_caminho).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!pasta.Valid() || ::fsync(pasta.Get()) != 0) throw Incerto(Format("Cannot create file %s", m_caminho));
}

}  // namespace vespril
