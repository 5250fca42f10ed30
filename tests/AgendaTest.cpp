// The agenda alone, with tasks that touch nothing: when each starts, and that a failure or a
// completion that spins an event loop holds nothing up. The GUI thread is this test's thread.
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>

#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include "scheduler/Agenda.h"

namespace vespril {
namespace {

constexpr int kEspera = 10000;

// Holds a worker until the test lets it go.
class Trinco {
 public:
  void Esperar() {
    std::unique_lock lock(m_mutex);
    m_aberto.wait(lock, [this] { return m_livre; });
  }
  void Abrir() {
    {
      std::lock_guard lock(m_mutex);
      m_livre = true;
    }
    m_aberto.notify_all();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_aberto;
  bool m_livre = false;
};

struct Tipo {
  bool escrita = false;
  bool exclusiva = false;
  bool imediata = false;
  std::string arquivo = {};
  bool membro = false;  // a write that may share the write lane
  size_t bytes = 0;
};

struct Nomeado final : Agenda::Membro {
  explicit Nomeado(std::string n) : nome(std::move(n)) {}
  std::string nome;
};

// A task that notes its name in `feito` when it completes (on this thread).
Agenda::Tarefa Tarefa(const Tipo& tipo, const std::string& nome, std::string& feito,
                      std::function<void()> trabalho = {}) {
  Agenda::Tarefa tarefa;
  tarefa.escrita = tipo.escrita;
  tarefa.exclusiva = tipo.exclusiva;
  tarefa.imediata = tipo.imediata;
  tarefa.arquivo = tipo.arquivo;
  if (tipo.membro) tarefa.membro = std::make_shared<Nomeado>(nome);
  tarefa.bytes = tipo.bytes;
  tarefa.trabalho = std::move(trabalho);
  tarefa.concluir = [&feito, nome] { feito += nome; };
  return tarefa;
}

// What waited behind a running task starts once it ends, without anything else arriving: an
// immediate task of its file, a task of the same file behind that one, and a window operation.
TEST(AgendaTest, WhatWaitsBehindARunningTaskAllStartsWhenItEnds) {
  Agenda agenda;
  std::string feito;
  Trinco trinco;
  agenda.Enfileirar(Tarefa({.arquivo = "f"}, "A", feito, [&] { trinco.Esperar(); }));
  agenda.Enfileirar(Tarefa({.imediata = true, .arquivo = "f"}, "B", feito));
  agenda.Enfileirar(Tarefa({.arquivo = "f"}, "C", feito));
  agenda.Enfileirar(Tarefa({.exclusiva = true}, "D", feito));
  EXPECT_EQ(feito, "");
  trinco.Abrir();
  EXPECT_TRUE(QTest::qWaitFor([&] { return feito.size() == 4; }, kEspera)) << feito;
  EXPECT_EQ(feito.substr(2), "CD");
}

// When the write lane comes free, the writes queued behind it that may share it join the first one, in
// arrival order, up to a write that may not; a read among them keeps its own turn. A lone one runs by
// its own work.
TEST(AgendaTest, WritesWaitingForTheLaneShareItsNextTurn) {
  std::string grupos;  // each group the runner saw, as "(names)"
  Agenda agenda([&grupos](const std::vector<Agenda::Membro*>& membros) {
    grupos += "(";
    for (Agenda::Membro* membro : membros) grupos += static_cast<Nomeado*>(membro)->nome;
    grupos += ")";
  });
  std::string feito;
  Trinco trinco;
  agenda.Enfileirar(Tarefa({.escrita = true}, "X", feito, [&] { trinco.Esperar(); }));
  for (const char* nome : {"A", "B"})
    agenda.Enfileirar(Tarefa({.escrita = true, .membro = true}, nome, feito));
  agenda.Enfileirar(Tarefa({}, "r", feito));
  agenda.Enfileirar(Tarefa({.escrita = true, .membro = true}, "C", feito));
  agenda.Enfileirar(Tarefa({.escrita = true}, "W", feito));
  agenda.Enfileirar(Tarefa({.escrita = true, .membro = true}, "D", feito));
  trinco.Abrir();
  EXPECT_TRUE(QTest::qWaitFor([&] { return feito.size() == 7; }, kEspera)) << feito;
  EXPECT_EQ(grupos, "(ABC)");
  EXPECT_EQ(feito.find("ABC") != std::string::npos && feito.find("W") < feito.find("D"), true) << feito;
}

// A runner that notes each group's size as "(n)".
Agenda::ExecutorGrupo Contador(std::string& grupos) {
  return [&grupos](const std::vector<Agenda::Membro*>& membros) {
    grupos += "(" + std::to_string(membros.size()) + ")";
  };
}

// A group holds at most kGrupoMaximo scripts and kGrupoBytes of them; what is left takes the next turn.
TEST(AgendaTest, GroupsKeepToTheirBounds) {
  struct Caso {
    size_t membros;
    size_t bytes;
    std::string grupos;
  };
  for (const Caso& caso :
       {Caso{Agenda::kGrupoMaximo + 2, 1, "(" + std::to_string(Agenda::kGrupoMaximo) + ")(2)"},
        Caso{3, Agenda::kGrupoBytes / 2, "(2)"}}) {
    std::string grupos;
    Agenda agenda(Contador(grupos));
    std::string feito;
    Trinco trinco;
    agenda.Enfileirar(Tarefa({.escrita = true}, "X", feito, [&] { trinco.Esperar(); }));
    for (size_t i = 0; i < caso.membros; ++i) {
      agenda.Enfileirar(Tarefa({.escrita = true, .membro = true, .bytes = caso.bytes}, "m", feito));
    }
    trinco.Abrir();
    EXPECT_TRUE(QTest::qWaitFor([&] { return feito.size() == caso.membros + 1; }, kEspera)) << feito;
    // A lone member runs by its own work, not as a group: only groups are counted.
    EXPECT_EQ(grupos, caso.grupos);
  }
}

// Clients answered together send their next writes a moment later: right after a group of three, a
// lone write waits that moment, and one that arrives meanwhile shares its turn.
TEST(AgendaTest, SmallerGroupWaitsAMomentForMore) {
  std::string grupos;
  Agenda agenda(Contador(grupos));
  std::string feito;
  Trinco trinco;
  agenda.Enfileirar(Tarefa({.escrita = true}, "X", feito, [&] { trinco.Esperar(); }));
  for (const char* nome : {"A", "B"})
    agenda.Enfileirar(Tarefa({.escrita = true, .membro = true}, nome, feito));
  Agenda::Tarefa ultima = Tarefa({.escrita = true, .membro = true}, "C", feito);
  ultima.concluir = [&] {
    feito += "C";
    for (const char* nome : {"D", "E"})
      agenda.Enfileirar(Tarefa({.escrita = true, .membro = true}, nome, feito));
  };
  agenda.Enfileirar(std::move(ultima));
  trinco.Abrir();
  EXPECT_TRUE(QTest::qWaitFor([&] { return feito.size() == 6; }, kEspera)) << feito;
  EXPECT_EQ(grupos, "(3)(2)");
}

// A completion may open a message box (a nested event loop): the tasks behind it start and end
// meanwhile.
TEST(AgendaTest, CompletionThatSpinsAnEventLoopHoldsUpNoOtherTask) {
  Agenda agenda;
  std::string feito;
  Agenda::Tarefa primeira = Tarefa({.escrita = true}, "A", feito);
  primeira.concluir = [&] {
    QEventLoop caixa;
    QTimer::singleShot(kEspera, &caixa, &QEventLoop::quit);
    QTimer vigia;
    QObject::connect(&vigia, &QTimer::timeout, &caixa, [&] {
      if (feito == "BC") caixa.quit();
    });
    vigia.start(1);
    caixa.exec();
    feito += "A";
  };
  agenda.Enfileirar(std::move(primeira));
  agenda.Enfileirar(Tarefa({.escrita = true}, "B", feito));
  agenda.Enfileirar(Tarefa({.exclusiva = true}, "C", feito));
  EXPECT_TRUE(QTest::qWaitFor([&] { return feito.size() == 3; }, 2 * kEspera));
  EXPECT_EQ(feito, "BCA");
}

// A task whose work or completion throws releases the write lane and its file, and the agenda goes
// on with what waits.
TEST(AgendaTest, FailureOfATaskOrOfItsCompletionLeavesTheAgendaServing) {
  for (const bool naConclusao : {false, true}) {
    Agenda agenda;
    std::string feito;
    Agenda::Tarefa falha = Tarefa({.escrita = true, .arquivo = "f"}, "A", feito, [naConclusao] {
      if (!naConclusao) throw std::runtime_error("trabalho");
    });
    if (naConclusao) falha.concluir = [] { throw std::bad_alloc(); };
    agenda.Enfileirar(std::move(falha));
    agenda.Enfileirar(Tarefa({.escrita = true, .arquivo = "f"}, "B", feito));
    agenda.Enfileirar(Tarefa({.exclusiva = true}, "C", feito));
    EXPECT_TRUE(QTest::qWaitFor([&] { return feito == (naConclusao ? "BC" : "ABC"); }, kEspera))
        << naConclusao << ": " << feito;
    EXPECT_EQ(agenda.Rodando(), 0);
  }
}

}  // namespace
}  // namespace vespril
