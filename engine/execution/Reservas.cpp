#include "execution/Reservas.h"

#include <algorithm>

namespace vespril {

bool Reservas::Estender(const std::map<std::string, int32_t>& maiores, Relogio::time_point agora) {
  bool algum = false;
  for (const auto& [tabela, maior] : maiores) {
    const auto existente = m_blocos.find(tabela);
    if (existente != m_blocos.end() && maior <= existente->second.ate) continue;
    Bloco bloco;
    if (existente != m_blocos.end()) {
      const Bloco& ultimo = existente->second;
      const auto durou = agora - ultimo.desde;
      bloco.tamanho = durou < std::chrono::seconds(1)    ? std::min(ultimo.tamanho * 2, kMaiorBloco)
                      : durou > std::chrono::seconds(60) ? std::max(ultimo.tamanho / 2, kMenorBloco)
                                                         : ultimo.tamanho;
    }
    bloco.ate = static_cast<int32_t>(std::min<int64_t>(int64_t{maior} + bloco.tamanho - 1, INT32_MAX));
    bloco.desde = agora;
    m_blocos[tabela] = bloco;
    algum = true;
  }
  return algum;
}

void Reservas::Esquecer(const std::string& tabela) { m_blocos.erase(tabela); }

CopiaTabelas Reservas::Copia(PersistedTable& tabelas, PersistedTable& contagens) const {
  CopiaTabelas copia;
  copia.existe = true;
  for (tabelas.First(); !tabelas.Eof(); tabelas.Next()) {
    CopiaTabelas::Tabela& tabela = copia.tabelas.emplace_back();
    tabela.nome = tabelas.FieldAsString("Tabela");
    tabela.chave = tabelas.FieldAsString("Chave");
    tabela.reservado = tabelas.FieldAsInteger("Gerador");
    if (const auto bloco = m_blocos.find(tabela.nome); bloco != m_blocos.end()) {
      tabela.reservado = std::max(tabela.reservado, bloco->second.ate);
    }
  }
  for (contagens.First(); !contagens.Eof(); contagens.Next()) {
    copia.contagens.push_back({contagens.FieldAsString("Servidor"), contagens.FieldAsString("Tabela"),
                               contagens.FieldAsInteger("Registro")});
  }
  return copia;
}

}  // namespace vespril
