// Agenda: decides when each request and window operation runs, and runs them on worker threads so
// that the GUI thread never waits on a database or a disk. Everything but the work itself happens on
// the GUI thread: tasks are queued there in arrival order, started there, and finished there. Only the
// GUI thread may call it; its workers reach it only to hand finished work back.
//
// The rules, applied in arrival order:
//   - at most kMaximo tasks run at once on the workers;
//   - a write task runs alone among write tasks, in arrival order;
//   - tasks that name the same result file run in arrival order, never overlapping;
//   - an exclusive task (a window operation) waits for every running task, and every task that
//     arrives after it waits for it;
//   - anything else (a read) runs alongside anything.
// When the write lane comes free and the write task to take it may share it, the write tasks queued
// behind it that may too join it, in arrival order, up to kGrupoMaximo tasks or kGrupoBytes: the group's
// runner runs them together as they would run one after another, and each completes as usual. A group
// smaller than the last one waits up to kEsperaGrupo for more, since clients answered together write
// again together. Admission runs again after every change of state (an arrival, an immediate task, a
// completion) until a pass starts nothing, so no task waits for an unrelated arrival. A failure of a
// task's work or of its completion stays with that task: the agenda keeps serving, and what the task
// held (the write lane, its file) is released before its completion runs. Short of memory, admission is
// tried again a little later.
// The engine keeps at most one request of a connection queued or running (the connection is marked
// busy meanwhile), which keeps its requests in order and its replies too.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QObject>
#include <QTimer>

#include "foundation/Descriptor.h"
#include "foundation/ThreadAnnotations.h"

class QSocketNotifier;

namespace vespril {

class Agenda final : public QObject {
  Q_OBJECT

 public:
  static constexpr int kMaximo = 16;
  static constexpr size_t kGrupoMaximo = 64;
  static constexpr size_t kGrupoBytes = 4u << 20;
  // How long a group smaller than the last one waits, after the write lane came free, for more.
  static constexpr std::chrono::microseconds kEsperaGrupo{1000};

  // What a write task that may share the write lane carries for the group's runner.
  struct Membro {
    virtual ~Membro() = default;
  };
  // Runs a group (on a worker): the members in arrival order, each as its task's work would.
  using ExecutorGrupo = std::function<void(const std::vector<Membro*>& membros)>;

  struct Tarefa {
    bool escrita = false;
    bool exclusiva = false;
    // On the GUI thread, at once, instead of on a worker: work that touches no database and no disk.
    // Its completion runs inside admission, so it must not spin an event loop.
    bool imediata = false;
    std::string arquivo;  // the result file it names; "" for none
    // Set on a write task that names no file and may run in a group; alone, its `trabalho` runs.
    std::shared_ptr<Membro> membro;
    size_t bytes = 0;                // what it weighs against kGrupoBytes
    std::function<void()> trabalho;  // on a worker (or at once); what it throws is dropped
    std::function<void()> concluir;  // then on the GUI thread; may queue further tasks
    // Instead of both, when it is dropped before it starts: at Encerrar, or when it could not be
    // started for want of memory or threads.
    std::function<void()> cancelar;
    // The agenda's own: the tasks that run in this one's group, behind it.
    std::vector<std::list<Tarefa>::iterator> grupo;
  };

  // Without a runner no group is formed.
  explicit Agenda(ExecutorGrupo executorGrupo = {});
  ~Agenda() override;  // waits for the running work; what was only queued is dropped

  // Throws std::bad_alloc when the task can't be queued; nothing was queued then.
  void Enfileirar(Tarefa tarefa);
  // Tasks running on the workers.
  int Rodando() const { return m_rodando; }
  // From now on no task starts: those waiting are dropped (cancelled), and those that arrive later
  // too. The running ones go on; their completions still run.
  void Encerrar();

 private:
  using Posicao = std::list<Tarefa>::iterator;

  void Admitir();
  // One pass over the queue: starts what may start now. True when it started anything.
  bool Passo();
  void Iniciar(Posicao tarefa);
  // The write tasks queued behind `lider` that may share its turn of the write lane.
  std::vector<Posicao> Seguidores(Posicao lider);
  // Whether a group of `membros` should wait a moment for more (admission is tried again then).
  bool Aguardar(size_t membros);
  void Concluir(const Tarefa* tarefa);
  // Removes one finished member of a group and runs its completion.
  void ConcluirMembro(Posicao membro);
  // Runs the completions the workers have handed over.
  void Recolher();
  // On a worker: the task's work, then the hand-over to the GUI thread.
  void Trabalhar(Tarefa* tarefa) noexcept;
  static void Cancelar(Tarefa& tarefa) noexcept;

  // The worker threads: one from the start, more as work waits, up to kMaximo. A thread that can't be
  // made leaves the work queued for those there are. Nothing here allocates once it is built.
  class Trabalhadores {
   public:
    explicit Trabalhadores(Agenda& agenda);
    ~Trabalhadores();  // runs what is queued, then joins
    // REQUIRES: fewer than kMaximo tasks queued or running.
    void Executar(Tarefa* tarefa);

   private:
    void Laco();
    Agenda& m_agenda;
    Mutex m_mutex;
    std::condition_variable m_trabalho;
    std::vector<Tarefa*> m_fila GUARDED_BY(m_mutex);  // its room for kMaximo is made up front
    std::vector<std::thread> m_threads GUARDED_BY(m_mutex);
    int m_livres GUARDED_BY(m_mutex) = 0;
    bool m_parar GUARDED_BY(m_mutex) = false;
  };

  // Finished work, handed over under a lock of our own so that everything the work wrote is seen by
  // the completion; the eventfd wakes the GUI thread without allocating anything.
  Mutex m_mutexConcluidas;
  std::array<const Tarefa*, kMaximo> m_concluidas GUARDED_BY(m_mutexConcluidas){};
  size_t m_quantasConcluidas GUARDED_BY(m_mutexConcluidas) = 0;
  Descriptor m_sinal;
  QSocketNotifier* m_notificador = nullptr;
  // Admission that failed for want of memory is tried again a little later.
  QTimer m_retentar;
  const ExecutorGrupo m_executorGrupo;  // called on the workers
  QTimer m_esperaGrupo;

  // GUI thread only.
  std::list<Tarefa> m_fila;
  std::list<Tarefa> m_emCurso;  // on the workers; moved here from m_fila without allocating
  int m_rodando = 0;
  bool m_escrita = false;
  bool m_exclusiva = false;
  bool m_admitindo = false;
  bool m_denovo = false;
  bool m_encerrado = false;
  size_t m_ultimoGrupo = 1;                           // the members of the last write to take the lane
  std::chrono::steady_clock::time_point m_laneLivre;  // when the write lane last came free
  Trabalhadores m_trabalhadores{*this};               // last: its threads end before anything they use
};

}  // namespace vespril
