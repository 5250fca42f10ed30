// TFormAtividade: the status window, "Atividade", which the main window opens (F2, or its context
// menu). It shows what the gateway does now: the client connections, the requests running and
// waiting, the state of each server's slot with its last failure and read connections, the rows of
// each server and table as the count matrix holds them, and the last lines of the log. It refreshes
// itself twice a second from the engine's panel and the tables in memory, so it never waits on a
// database or a disk. GUI thread; the main window owns it, and the engine outlives it.
#pragma once

#include <cstdint>

#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QTableWidget;
class QTimer;

namespace vespril {

class VESPRIL;

class TFormAtividade final : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kIntervaloMs = 500;

  TFormAtividade(VESPRIL& engine, QWidget* parent);

  // Beside `principal` on its screen, on the side with more room, as high as it and as wide as the
  // room allows (up to what the log's lines need); overlapping it only on a screen too narrow for both.
  void PosicionarAoLado(const QWidget& principal);

 private slots:
  void Atualizar();

 private:
  static constexpr int kLargura = 900;  // a log line's fields up to its failure
  static constexpr int kAltura = 560;
  static constexpr int kLarguraMinima = 480;
  static constexpr int kAlturaMinima = 420;
  static constexpr int kEspaco = 8;  // between the two frames

  VESPRIL& m_engine;
  uint64_t m_linhasLidas = 0;
  QLabel* m_lblResumo = nullptr;
  QTableWidget* m_grdServidores = nullptr;
  QTableWidget* m_grdRegistros = nullptr;
  QPlainTextEdit* m_txtRegistro = nullptr;
  QTimer* m_tmrAtualizar = nullptr;
};

}  // namespace vespril
