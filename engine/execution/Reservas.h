// Reservas: the blocks of keys the write lane hands out from. A key reaches a server only once its
// block is in the durable record (engine/execution/RegistroGrupos.h), so that a start after a crash takes
// each generator from the block's end: a crash costs at most the unused part of a block, never a key twice.
//
// A table's block holds the keys above the last one handed out when it was taken, as many as its
// size: 64 at first; twice the last size (up to 1,024) when the last block lasted under a second,
// half of it (down to 64) when it lasted over a minute. A new block is taken when a key passes the
// current one, or once the generator was set another way (the window, a recount): a block is always
// counted from the last key handed out. The write lane only.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "config/PersistedTable.h"
#include "execution/RegistroGrupos.h"

namespace vespril {

class Reservas {
 public:
  using Relogio = std::chrono::steady_clock;
  static constexpr int32_t kMenorBloco = 64;
  static constexpr int32_t kMaiorBloco = 1024;

  // `maiores`: for each table (by its stored name) the highest key about to be sent. Takes a new block
  // for each one that passes its table's; true when any was taken, and the record must then carry it
  // before any of those keys is sent.
  bool Estender(const std::map<std::string, int32_t>& maiores, Relogio::time_point agora = Relogio::now());
  // The table's generator was set from outside the blocks (or the table is gone): its next key takes
  // a new block, counted from it.
  void Esquecer(const std::string& tabela);
  // The tables as the record should carry them: each table's reservation is the end of its block, or
  // its generator when that is higher. Moves the tables' cursors.
  CopiaTabelas Copia(PersistedTable& tabelas, PersistedTable& contagens) const;

 private:
  struct Bloco {
    int32_t ate = 0;
    int32_t tamanho = kMenorBloco;
    Relogio::time_point desde = {};
  };
  std::map<std::string, Bloco> m_blocos;
};

}  // namespace vespril
