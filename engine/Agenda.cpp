#include "engine/Agenda.h"

#include <utility>
#include <vector>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMetaObject>

namespace vespril {

Agenda::Agenda() { m_pool.setMaxThreadCount(kMaximo); }

Agenda::~Agenda() { m_pool.waitForDone(); }

void Agenda::Enfileirar(Tarefa tarefa) {
  if (m_encerrado) return;
  m_fila.push_back(std::move(tarefa));
  Admitir();
}

void Agenda::Admitir() {
  // A completion run from here may queue more: the scan starts over instead of nesting.
  if (m_admitindo || m_suspensa) {
    m_denovo = true;
    return;
  }
  m_admitindo = true;
  do {
    m_denovo = false;
    bool escritaAntes = m_escrita;
    bool exclusivaAntes = m_exclusiva;
    std::set<std::string> arquivosAntes(m_arquivos.begin(), m_arquivos.end());
    std::vector<std::list<Tarefa>::iterator> prontas;
    for (auto it = m_fila.begin(); it != m_fila.end() && !m_encerrado; ++it) {
      const Tarefa& tarefa = *it;
      bool pode = !exclusivaAntes && (tarefa.imediata || m_rodando + static_cast<int>(prontas.size()) < kMaximo);
      if (tarefa.exclusiva) pode = pode && m_rodando == 0 && it == m_fila.begin();
      if (tarefa.escrita) pode = pode && !escritaAntes;
      if (!tarefa.arquivo.empty()) pode = pode && !arquivosAntes.contains(tarefa.arquivo);
      // Whether it starts or waits, those after it keep behind it.
      exclusivaAntes = exclusivaAntes || tarefa.exclusiva;
      escritaAntes = escritaAntes || tarefa.escrita;
      if (!tarefa.arquivo.empty()) arquivosAntes.insert(tarefa.arquivo);
      if (pode) prontas.push_back(it);
    }
    for (auto it : prontas) Iniciar(it);
  } while (m_denovo && !m_encerrado);
  m_admitindo = false;
}

void Agenda::Iniciar(std::list<Tarefa>::iterator it) {
  Tarefa tarefa = std::move(*it);
  m_fila.erase(it);
  if (tarefa.imediata) {
    if (tarefa.trabalho) tarefa.trabalho();
    if (tarefa.concluir) tarefa.concluir();
    return;
  }
  const uint64_t id = m_proximo++;
  ++m_rodando;
  m_escrita = m_escrita || tarefa.escrita;
  m_exclusiva = m_exclusiva || tarefa.exclusiva;
  if (!tarefa.arquivo.empty()) m_arquivos.insert(tarefa.arquivo);
  std::function<void()> trabalho = std::move(tarefa.trabalho);
  m_emCurso.emplace(id, std::move(tarefa));
  m_pool.start([this, id, trabalho = std::move(trabalho)] {
    if (trabalho) trabalho();
    QMetaObject::invokeMethod(this, [this, id] { Concluir(id); }, Qt::QueuedConnection);
  });
}

void Agenda::Concluir(uint64_t id) {
  const auto entry = m_emCurso.find(id);
  if (entry == m_emCurso.end()) return;
  Tarefa tarefa = std::move(entry->second);
  m_emCurso.erase(entry);
  --m_rodando;
  if (tarefa.escrita) m_escrita = false;
  if (tarefa.exclusiva) m_exclusiva = false;
  if (!tarefa.arquivo.empty()) m_arquivos.erase(m_arquivos.find(tarefa.arquivo));
  if (tarefa.concluir) tarefa.concluir();
  Admitir();
}

void Agenda::Sozinho(const std::function<void()>& operacao) {
  struct Retomar {
    Agenda& agenda;
    ~Retomar() {
      agenda.m_suspensa = false;
      agenda.Admitir();
    }
  };
  m_suspensa = true;
  Retomar retomar{*this};
  m_pool.waitForDone();
  operacao();
}

bool Agenda::Encerrar(int ms) {
  m_encerrado = true;
  m_fila.clear();
  const bool terminou = m_pool.waitForDone(ms);
  // The completions posted meanwhile deliver the replies of what ran.
  QCoreApplication::sendPostedEvents(this);
  return terminou;
}

}  // namespace vespril
