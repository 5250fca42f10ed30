#include "engine/Agenda.h"

#include <system_error>
#include <utility>
#include <vector>

#include <QMetaObject>

namespace vespril {

Agenda::Trabalhadores::Trabalhadores() { m_threads.emplace_back(&Trabalhadores::Laco, this); }

Agenda::Trabalhadores::~Trabalhadores() {
  {
    std::lock_guard lock(m_mutex);
    m_parar = true;
  }
  m_trabalho.notify_all();
  for (std::thread& thread : m_threads) thread.join();
}

void Agenda::Trabalhadores::Executar(std::function<void()> trabalho) {
  {
    std::lock_guard lock(m_mutex);
    m_fila.push_back(std::move(trabalho));
    if (static_cast<int>(m_fila.size()) > m_livres && static_cast<int>(m_threads.size()) < kMaximo) {
      try {
        m_threads.emplace_back(&Trabalhadores::Laco, this);
      } catch (const std::system_error&) {
        // The threads there are take it in turn.
      }
    }
  }
  m_trabalho.notify_one();  // outside the lock, so the thread woken need not wait for it
}

void Agenda::Trabalhadores::Laco() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    ++m_livres;
    m_trabalho.wait(lock, [this] { return m_parar || !m_fila.empty(); });
    --m_livres;
    if (m_fila.empty()) return;
    std::function<void()> trabalho = std::move(m_fila.front());
    m_fila.pop_front();
    lock.unlock();
    trabalho();
    trabalho = nullptr;  // what it holds goes before the lock is taken again
    lock.lock();
  }
}

Agenda::Agenda() = default;

Agenda::~Agenda() = default;

void Agenda::Enfileirar(Tarefa tarefa) {
  if (m_encerrado) {
    if (tarefa.cancelar) tarefa.cancelar();
    return;
  }
  m_fila.push_back(std::move(tarefa));
  Admitir();
}

void Agenda::Admitir() {
  // A completion run from here may queue more: the scan starts over instead of nesting.
  if (m_admitindo) {
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
  m_trabalhadores.Executar([this, id, trabalho = std::move(trabalho)] {
    if (trabalho) trabalho();
    bool primeira = false;
    {
      std::lock_guard lock(m_mutexConcluidas);
      primeira = m_concluidas.empty();
      m_concluidas.push_back(id);
    }
    if (primeira) QMetaObject::invokeMethod(this, &Agenda::Recolher, Qt::QueuedConnection);
  });
}

void Agenda::Recolher() {
  std::vector<uint64_t> concluidas;
  {
    std::lock_guard lock(m_mutexConcluidas);
    concluidas.swap(m_concluidas);
  }
  for (uint64_t id : concluidas) Concluir(id);
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

void Agenda::Encerrar() {
  m_encerrado = true;
  std::list<Tarefa> fila;
  fila.swap(m_fila);
  for (Tarefa& tarefa : fila) {
    if (tarefa.cancelar) tarefa.cancelar();
  }
}

}  // namespace vespril
