#include "scheduler/Agenda.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <string_view>
#include <utility>

#include <QSocketNotifier>

#include "foundation/Error.h"

namespace vespril {

namespace {

constexpr int kRetentarMs = 50;

}  // namespace

Agenda::Trabalhadores::Trabalhadores(Agenda& agenda) : m_agenda(agenda) {
  m_fila.reserve(kMaximo);
  m_threads.reserve(kMaximo);
  m_threads.emplace_back(&Trabalhadores::Laco, this);
}

Agenda::Trabalhadores::~Trabalhadores() {
  {
    MutexLock lock(m_mutex);
    m_parar = true;
  }
  m_trabalho.notify_all();
  for (std::thread& thread : m_threads) thread.join();
}

void Agenda::Trabalhadores::Executar(Tarefa* tarefa) {
  {
    MutexLock lock(m_mutex);
    m_fila.push_back(tarefa);  // within the room made up front: never allocates
    if (static_cast<int>(m_fila.size()) > m_livres && static_cast<int>(m_threads.size()) < kMaximo) {
      try {
        m_threads.emplace_back(&Trabalhadores::Laco, this);
      } catch (...) {
        // The threads there are take it in turn.
      }
    }
  }
  m_trabalho.notify_one();  // outside the lock, so the thread woken need not wait for it
}

void Agenda::Trabalhadores::Laco() {
  UniqueLock lock(m_mutex);
  for (;;) {
    ++m_livres;
    m_trabalho.wait(lock.Native(), [this]() REQUIRES(m_mutex) { return m_parar || !m_fila.empty(); });
    --m_livres;
    if (m_fila.empty()) return;
    Tarefa* tarefa = m_fila.front();
    m_fila.erase(m_fila.begin());
    lock.unlock();
    m_agenda.Trabalhar(tarefa);
    lock.lock();
  }
}

Agenda::Agenda(ExecutorGrupo executorGrupo)
    : m_sinal(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), m_executorGrupo(std::move(executorGrupo)) {
  if (!m_sinal.Valid()) throw Error("Cannot create the agenda's event descriptor");
  m_notificador = new QSocketNotifier(static_cast<qintptr>(m_sinal.Get()), QSocketNotifier::Read, this);
  connect(m_notificador, &QSocketNotifier::activated, this, &Agenda::Recolher);
  m_retentar.setSingleShot(true);
  m_retentar.setInterval(kRetentarMs);
  connect(&m_retentar, &QTimer::timeout, this, &Agenda::Admitir);
  m_esperaGrupo.setSingleShot(true);
  m_esperaGrupo.setTimerType(Qt::PreciseTimer);
  connect(&m_esperaGrupo, &QTimer::timeout, this, &Agenda::Admitir);
}

Agenda::~Agenda() = default;

void Agenda::Enfileirar(Tarefa tarefa) {
  if (m_encerrado) {
    Cancelar(tarefa);
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
  try {
    bool iniciou = false;
    do {
      m_denovo = false;
      iniciou = Passo();
    } while ((iniciou || m_denovo) && !m_encerrado);
  } catch (...) {
    // Short of memory mid-pass: what is still queued stays queued for the next try.
    m_retentar.start();
  }
  m_admitindo = false;
}

bool Agenda::Passo() {
  bool escritaAntes = m_escrita;
  bool exclusivaAntes = m_exclusiva;
  // The files of the running tasks, then of every task passed over in this pass.
  std::vector<std::string_view> arquivosAntes;
  for (const Tarefa& tarefa : m_emCurso) {
    if (!tarefa.arquivo.empty()) arquivosAntes.push_back(tarefa.arquivo);
  }
  const auto ocupado = [&](const std::string& arquivo) {
    return std::find(arquivosAntes.begin(), arquivosAntes.end(), arquivo) != arquivosAntes.end();
  };
  std::vector<Posicao> prontas;
  int vagas = kMaximo - m_rodando;
  for (auto it = m_fila.begin(); it != m_fila.end() && !exclusivaAntes; ++it) {
    const Tarefa& tarefa = *it;
    bool pode = tarefa.imediata || vagas > 0;
    if (tarefa.exclusiva) pode = pode && m_rodando == 0 && prontas.empty() && it == m_fila.begin();
    if (tarefa.escrita) pode = pode && !escritaAntes;
    if (!tarefa.arquivo.empty()) pode = pode && !ocupado(tarefa.arquivo);
    // Whether it starts or waits, those after it keep behind it.
    exclusivaAntes = exclusivaAntes || tarefa.exclusiva;
    escritaAntes = escritaAntes || tarefa.escrita;
    if (!tarefa.arquivo.empty()) arquivosAntes.push_back(tarefa.arquivo);
    if (pode && tarefa.membro && tarefa.escrita) {
      it->grupo = Seguidores(it);
      pode = !Aguardar(it->grupo.size() + 1);
    }
    if (pode) {
      prontas.push_back(it);
      if (!tarefa.imediata) --vagas;
    }
  }
  for (Posicao it : prontas) {
    if (m_encerrado) break;
    Iniciar(it);
  }
  return !prontas.empty();
}

bool Agenda::Aguardar(size_t membros) {
  // Clients answered together tend to send their next writes together, a moment after their replies:
  // a group smaller than the last one waits that moment for them, so that one flush serves them all
  // again instead of a lone write going first. A lone client never waits: its last group was one.
  if (membros >= m_ultimoGrupo) return false;
  const auto esperado = std::chrono::steady_clock::now() - m_laneLivre;
  if (esperado >= kEsperaGrupo) return false;
  if (!m_esperaGrupo.isActive()) {
    m_esperaGrupo.start(
        static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(kEsperaGrupo - esperado).count()));
  }
  return true;
}

std::vector<Agenda::Posicao> Agenda::Seguidores(Posicao lider) {
  std::vector<Posicao> seguidores;
  if (!m_executorGrupo) return seguidores;
  size_t bytes = lider->bytes;
  for (auto it = std::next(lider); it != m_fila.end() && !it->exclusiva; ++it) {
    if (!it->escrita) continue;  // reads and immediate tasks keep their own turn
    // A write that may not join, or would pass the bounds, ends the group: writes keep their order.
    if (!it->membro || seguidores.size() + 1 >= kGrupoMaximo || bytes + it->bytes > kGrupoBytes) break;
    bytes += it->bytes;
    seguidores.push_back(it);
  }
  return seguidores;
}

void Agenda::Iniciar(Posicao it) {
  if (it->imediata) {
    Tarefa tarefa = std::move(*it);
    m_fila.erase(it);
    try {
      if (tarefa.trabalho) tarefa.trabalho();
      if (tarefa.concluir) tarefa.concluir();
    } catch (...) {
      // The task's own failure; the others go on.
    }
    return;
  }
  // Moved between the lists, the tasks keep their places: the group's positions stay good.
  m_emCurso.splice(m_emCurso.end(), m_fila, it);
  for (Posicao seguidor : it->grupo) m_emCurso.splice(m_emCurso.end(), m_fila, seguidor);
  ++m_rodando;
  m_escrita = m_escrita || it->escrita;
  if (it->membro && it->escrita) m_ultimoGrupo = it->grupo.size() + 1;
  if (it->escrita && !it->membro) m_ultimoGrupo = 1;
  m_exclusiva = m_exclusiva || it->exclusiva;
  m_trabalhadores.Executar(&*it);
}

void Agenda::Trabalhar(Tarefa* tarefa) noexcept {
  try {
    if (tarefa->grupo.empty()) {
      if (tarefa->trabalho) tarefa->trabalho();
    } else {
      std::vector<Membro*> membros{tarefa->membro.get()};
      for (Posicao seguidor : tarefa->grupo) membros.push_back(seguidor->membro.get());
      m_executorGrupo(membros);
    }
  } catch (...) {
    // The task answers for its own failures; what escapes it is dropped here, and its completion
    // still runs.
  }
  tarefa->trabalho = nullptr;  // what it holds goes on this thread, before the hand-over
  {
    MutexLock lock(m_mutexConcluidas);
    // A task counts as running until Recolher has taken it from here, and Passo starts no more than
    // kMaximo at once: there is always room. Should that counting ever break, stop rather than write
    // past the array.
    if (m_quantasConcluidas >= m_concluidas.size()) std::terminate();
    m_concluidas[m_quantasConcluidas++] = tarefa;
  }
  const uint64_t um = 1;
  [[maybe_unused]] const ssize_t escrito = ::write(m_sinal.Get(), &um, sizeof um);
}

void Agenda::Recolher() {
  uint64_t contagem = 0;
  [[maybe_unused]] const ssize_t lido = ::read(m_sinal.Get(), &contagem, sizeof contagem);
  std::array<const Tarefa*, kMaximo> concluidas{};
  size_t quantas = 0;
  {
    MutexLock lock(m_mutexConcluidas);
    concluidas = m_concluidas;
    quantas = std::exchange(m_quantasConcluidas, 0);
  }
  for (size_t i = 0; i < quantas; ++i) Concluir(concluidas[i]);
}

void Agenda::Concluir(const Tarefa* concluida) {
  const auto it = std::find_if(m_emCurso.begin(), m_emCurso.end(),
                               [concluida](const Tarefa& tarefa) { return &tarefa == concluida; });
  if (it == m_emCurso.end()) return;
  // What it held is released, and what waited for it admitted, before its completion runs: a
  // completion that fails or spins an event loop holds nothing up. The members of its group complete
  // after it, in arrival order.
  std::function<void()> concluir = std::move(it->concluir);
  std::vector<Posicao> grupo = std::move(it->grupo);  // they name no file and hold nothing meanwhile
  if (it->escrita) {
    m_escrita = false;
    m_laneLivre = std::chrono::steady_clock::now();
  }
  if (it->exclusiva) m_exclusiva = false;
  --m_rodando;
  m_emCurso.erase(it);
  Admitir();
  try {
    if (concluir) concluir();
  } catch (...) {
    // The task's own failure; the others go on.
  }
  for (Posicao membro : grupo) ConcluirMembro(membro);
}

void Agenda::ConcluirMembro(Posicao membro) {
  std::function<void()> concluir = std::move(membro->concluir);
  m_emCurso.erase(membro);
  try {
    if (concluir) concluir();
  } catch (...) {
    // The task's own failure; the others go on.
  }
}

void Agenda::Encerrar() {
  m_encerrado = true;
  std::list<Tarefa> fila;
  fila.swap(m_fila);
  for (Tarefa& tarefa : fila) Cancelar(tarefa);
}

void Agenda::Cancelar(Tarefa& tarefa) noexcept {
  try {
    if (tarefa.cancelar) tarefa.cancelar();
  } catch (...) {
  }
}

}  // namespace vespril
