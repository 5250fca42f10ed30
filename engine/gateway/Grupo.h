// A group of the write lane in flight, its one owner: what engine/gateway/GroupCommit.cpp says of group
// commit happens through its four steps, each called once and in order while the previous one returned true.
// Internal to the engine; the write lane only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/PersistedTable.h"
#include "foundation/FbTransaction.h"
#include "gateway/UVESPRIL.h"

namespace vespril {

class VESPRIL::Grupo {
 public:
  Grupo(VESPRIL& engine, const std::vector<const Pedido*>& pedidos);
  // A group not seen through is rolled back, and the tables put back.
  ~Grupo();
  Grupo(const Grupo&) = delete;
  Grupo& operator=(const Grupo&) = delete;

  // Its INSERTs planned as one at a time. False when the group can't be planned (the recount flag is
  // on, or a statement's plan fails).
  bool Planejar();
  // The keys' save, and each server's statements, side by side. False when any failed.
  bool Preparar();
  // False when the decision could not be recorded: nothing of the group is committed.
  bool Decidir();
  // Every server commits, and the counts are saved. Each script's message; nothing when a lone
  // server refused the commit (nothing of the group stays, and its scripts run alone). Never throws.
  std::optional<std::vector<std::string>> Confirmar() noexcept;

 private:
  struct Participante {
    int n;
    std::string nome;
    std::string endereco;
    std::vector<std::string> linhas = {};
    std::vector<std::string> tabelas = {};  // of its rows, in the same order
    std::vector<size_t> pedidos = {};       // the script of each of its rows
    std::unique_ptr<fb::Transaction> transacao = {};
    bool falhou = false;  // its commit did not get through
  };

  void PrepararServidor(Participante& participante);
  std::optional<std::vector<std::string>> ConfirmarUm();
  std::vector<std::string> ConfirmarCada();
  void Publicar();
  void Desfazer() noexcept;

  VESPRIL& m_engine;
  const std::vector<const Pedido*>& m_pedidos;
  std::vector<std::string> m_mensagens;  // made up front: nothing after the decision allocates them
  // The generators and counts as they stood, put back when the group is dropped.
  PersistedTable m_geradores;
  PersistedTable m_contagens;
  bool m_tabelasGuardadas = false;
  std::vector<Participante> m_participantes;
  std::map<std::string, int32_t> m_maiores;  // each table's highest key in the group
  std::string m_nome;
  bool m_dependentes = false;  // a row's parent key is the group's, on another server
  bool m_duasFases = false;
  bool m_confirmado = false;
};

}  // namespace vespril
