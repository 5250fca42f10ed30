// TFormVESPRIL: the program's one window, the operator's console for the stored configuration. It
// creates the engine while it is being built and owns it from then on; every button runs one engine
// operation and a timer refreshes the table list so the generator values can be watched advancing.
// Everything here runs on the GUI thread; the operations that change the configuration run as engine
// tasks on a worker (see Operar), and the window reads the tables only through the engine.
//
// F2, or the window's context menu, opens the status window (ui/FormAtividade.h) beside it.
//
// Handlers never let an exception out: an engine or conversion failure ends the handler and is shown in
// a modal "VESPRIL" error box (QMessageBox, Ok only). When start-up fails, the box is shown from inside
// the constructor and the window then runs without an engine: its buttons are disabled, its caption
// says the gateway is stopped, and the timer does nothing. A stored port that can't be opened is shown
// the same way, but the engine runs with its listener closed, so another port can be set. Tests answer
// those boxes from a timer.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <QWidget>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class QTimer;

namespace vespril {

class SpinEdit;
class TFormAtividade;
class VESPRIL;

// The rows that a listing of records ("A,a;B,b;") fills into a grid of `fields` columns, top to bottom.
// Cutting follows the listing's separators literally: every field but the last ends at the next ",", the
// last at the next ";", and a row whose first cell stays empty is overwritten by the record after it.
// An empty listing gives one row of empty cells.
// REQUIRES: fields >= 1
std::vector<std::vector<std::string>> ParseLista(std::string_view lista, int fields);

// The text of the error box for an exception's message: a full stop is appended when the last byte
// sorts after ".", so "x" becomes "x." while "x." and "x!" stay.
std::string ExceptionText(const std::string& message);

class TFormVESPRIL final : public QWidget {
  Q_OBJECT

 public:
  // `semCaixaDeInicio`: a start-up failure, or a port that can't be opened, shows no box and is only
  // kept in FalhaInicio(), for a program that ends on it rather than wait on a box nobody answers.
  explicit TFormVESPRIL(QWidget* parent = nullptr, bool semCaixaDeInicio = false);
  ~TFormVESPRIL() override;

  // Null when start-up failed.
  VESPRIL* Engine() const { return m_engine.get(); }
  // Why start-up serves nothing: the engine could not be made, or its port could not be opened; ""
  // when it serves what it was told to.
  const std::string& FalhaInicio() const { return m_falhaInicio; }
  // An operation started from a button has not ended yet (its error box or refresh included).
  bool Operando() const { return m_operando; }
  // The program's end: the engine stops (VESPRIL::Parar) and what ends meanwhile shows nothing. True
  // when nothing is left running (or there is no engine).
  bool Parar(int ms);

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private slots:
  void BtnGGetPortaClick();
  void BtnGSetPortaClick();
  void BtnGGetTabelaRelembrarClick();
  void BtnGSetTabelaRelembrarClick();
  void BtnGGetServidorClick();
  void BtnGSetServidorClick();
  void BtnGEraseServidorClick();
  void BtnGGetTabelaClick();
  void BtnGSetTabelaClick();
  void BtnGEraseTabelaClick();
  void StrGrdGGetServidorSelectCell(int row, int column);
  void StrGrdGGetTabelaSelectCell(int row, int column);
  void TmrGTabelaTimer();
  void SEdTmrGTabelaChange();
  void AbrirAtividade();

 private:
  void Centralizar();
  void CriarControles();
  void DefinirOrdemTabulacao();
  void FormCreate();
  // A start-up failure: into FalhaInicio(), and into the box unless the caller asked for none.
  void FalhaDeInicio(const std::string& message);
  void IniciarSemMotor();
  void DefinirGrades();
  void HabilitarBotoes(bool habilitar);
  // Whether the port is served, and why not, in LblPorta.
  void MostrarPorta();
  // Runs `operacao` as an engine task with the buttons disabled; then, on success, `depois` here.
  void Operar(std::function<void()> operacao, std::function<void()> depois);

  // Bodies that throw; the slots run them through Guarded.
  void GetServidor();
  void GetTabela();
  template <typename Body>
  void Guarded(Body&& body);
  // Guarded, when there is an engine to act on; nothing at all without one.
  template <typename Body>
  void WithEngine(Body&& body);
  void ShowException(const std::string& message);

  std::unique_ptr<VESPRIL> m_engine;
  std::string m_falhaInicio;
  bool m_semCaixaDeInicio = false;
  bool m_tickRunning = false;
  bool m_centradoComMoldura = false;
  bool m_operando = false;
  bool m_parando = false;

  QPushButton* m_btnGGetPorta = nullptr;
  QPushButton* m_btnGSetPorta = nullptr;
  SpinEdit* m_sEdGPorta = nullptr;
  QPushButton* m_btnGGetTabelaRelembrar = nullptr;
  QPushButton* m_btnGSetTabelaRelembrar = nullptr;
  QCheckBox* m_chBoxGTabelaRelembrar = nullptr;
  QGroupBox* m_gBoxGServidor = nullptr;
  QPushButton* m_btnGGetServidor = nullptr;
  QLabel* m_lblPorta = nullptr;
  QTableWidget* m_strGrdGGetServidor = nullptr;
  QLineEdit* m_edGSetServidorNome = nullptr;
  QPushButton* m_btnGSetServidor = nullptr;
  QLineEdit* m_edGSetServidorEndereco = nullptr;
  QPushButton* m_btnGEraseServidor = nullptr;
  QGroupBox* m_gBoxGTabela = nullptr;
  QPushButton* m_btnGGetTabela = nullptr;
  SpinEdit* m_sEdTmrGTabela = nullptr;
  QTableWidget* m_strGrdGGetTabela = nullptr;
  QLineEdit* m_edGSetTabelaTabela = nullptr;
  QPushButton* m_btnGSetTabela = nullptr;
  QLineEdit* m_edGSetTabelaChave = nullptr;
  QPushButton* m_btnGEraseTabela = nullptr;
  SpinEdit* m_sEdGSetTabelaGerador = nullptr;
  QTimer* m_tmrGTabela = nullptr;
  TFormAtividade* m_atividade = nullptr;  // made when first opened
};

}  // namespace vespril
