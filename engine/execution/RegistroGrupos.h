// RegistroGrupos: the write lane's durable record, GruposConfirmados.dat in the working directory. It
// holds the workspace's own mark (what this program's prepared transactions carry at the servers),
// whether the last run that wrote ended cleanly, the groups decided whose commit has not yet been
// seen through on a server, each with that server's address, and a copy of the distributed tables as
// the write lane last recorded them: each table's key column and the highest key reserved for it (no
// key above it was handed out), and the row-count matrix.
//
// Two slots of the same size written in turn, each with its sequence number and a checksum: a write
// torn by a crash spoils only its own slot, and the other still holds the record before it. A record
// costs one flush. A record too big for its slot makes the file anew with bigger slots, beside it,
// and puts it in the old one's place (a rename, two flushes more). A record the older layout wrote
// (one group a line, no address) is read as groups decided on every server. One thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Descriptor.h"
#include "foundation/Error.h"

namespace vespril {

inline constexpr char kArquivoDecisoes[] = "GruposConfirmados.dat";

// The distributed tables as the write lane recorded them: each table's key column and the highest key
// that may have been handed out of it, and the row-count matrix. None in a record of the older layout.
struct CopiaTabelas {
  struct Tabela {
    std::string nome;
    std::string chave;
    int32_t reservado = 0;
    bool operator==(const Tabela&) const = default;
  };
  struct Contagem {
    std::string servidor;
    std::string tabela;
    int32_t registro = 0;
    bool operator==(const Contagem&) const = default;
  };
  bool existe = false;
  std::vector<Tabela> tabelas;
  std::vector<Contagem> contagens;
  bool operator==(const CopiaTabelas&) const = default;
};

class RegistroGrupos {
 public:
  static constexpr size_t kSlot = 4096;     // the smallest slot, and the unit slots grow by
  static constexpr size_t kCabecalho = 16;  // sequence (8), length (4), checksum (4)
  using Copia = CopiaTabelas;

  struct Conteudo {
    std::string espaco;  // the workspace's mark; "" before the first record
    bool limpo = true;   // the last run that wrote ended cleanly
    // Decided groups and the address of a server that may not have committed its part yet; "" for
    // every server (the older layout).
    std::vector<std::pair<std::string, std::string>> decididos;
    Copia copia = {};
    bool operator==(const Conteudo&) const = default;
  };

  // Nothing reached the disk: the record before still stands.
  struct NaoGravado : Error {
    using Error::Error;
  };
  // The write or its flush failed: the disk may hold this record or the one before.
  struct Incerto : Error {
    using Error::Error;
  };

  // Reads the file, if there is one; it is made at the first record.
  explicit RegistroGrupos(std::string caminho = kArquivoDecisoes);

  // Whether the file held a record, or one was written since.
  bool Existia() const { return m_sequencia > 0; }
  // The last record that reached the disk, or what was last recorded.
  const Conteudo& Lido() const { return m_conteudo; }

  // Records `conteudo` durably. Throws NaoGravado or Incerto; after Incerto, the next record goes to
  // the other slot, so the doubtful one never hides the one before it.
  void Gravar(const Conteudo& conteudo);

 private:
  // The file made with slots of `slot` bytes, and `bytes` (a slot's worth) in the slot of
  // `sequencia`. Throws NaoGravado, or Incerto once the new file may have taken the old one's place.
  void Criar(size_t slot, uint64_t sequencia, const std::string& bytes);

  std::string m_caminho;
  Descriptor m_arquivo;
  size_t m_slot = kSlot;
  uint64_t m_sequencia = 0;
  Conteudo m_conteudo;
};

}  // namespace vespril
