#include "ui/UFormVESPRIL.h"

#include <cstdio>
#include <exception>
#include <initializer_list>

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QTimer>
#include <QValidator>
#include <QWindow>

#include "foundation/Error.h"
#include "foundation/Text.h"
#include "gateway/UVESPRIL.h"
#include "ui/FormAtividade.h"
#include "ui/SpinEdit.h"

namespace vespril {

namespace {

constexpr char kCaption[] = "VESPRIL";
constexpr char kCaptionSemMotor[] = "VESPRIL - gateway parado";
constexpr int kClientWidth = 612;
constexpr int kClientHeight = 491;
constexpr int kGridRowHeight = 17;
// A grid's look before the creation handler lays it out (and for good when start-up fails).
constexpr int kGridDefaultColumnWidth = 64;
constexpr int kGridDefaultRowHeight = 24;
constexpr int kTimerMinimum = 200;
constexpr int kTimerMaximum = 1000;

std::string Bytes(const QString& text) { return text.toLatin1().toStdString(); }

QString Texto(std::string_view bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// The engine stores single-byte text; a character it cannot hold would reach it as "?", so such
// characters are refused as they are typed or pasted.
class Latin1Validator final : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    for (QChar c : input) {
      if (c.unicode() > 0xFF) return Invalid;
    }
    return Acceptable;
  }
};

// The layout was drawn for an 8-point "MS Sans Serif" (11 pixels high); where it is missing the
// system's sans-serif face stands in, at the same pixel height so the text fits the fixed geometry.
QFont FonteJanela() {
  QFont font;
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                    QStringLiteral("Liberation Sans"), QStringLiteral("Sans Serif")});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  return font;
}

QPushButton* Botao(QWidget* parent, const char* name, const char* caption, QRect geometry) {
  auto* button = new QPushButton(QString::fromLatin1(caption), parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setGeometry(geometry);
  button->setAutoDefault(true);  // Enter clicks the focused button
  return button;
}

// Labels take the width of their text, since a stand-in font may be wider than the one the layout was
// drawn for; a right-aligned label grows to the left so it stays against its field.
QLabel* Rotulo(QWidget* parent, const char* name, const QString& caption, QRect geometry, bool rightAligned) {
  auto* label = new QLabel(caption, parent);
  label->setObjectName(QString::fromLatin1(name));
  const int textWidth = label->fontMetrics().horizontalAdvance(caption);
  if (textWidth > geometry.width()) {
    if (rightAligned)
      geometry.setLeft(geometry.right() + 1 - textWidth);
    else
      geometry.setWidth(textWidth);
  }
  label->setGeometry(geometry);
  label->setAlignment((rightAligned ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop);
  return label;
}

QLineEdit* Campo(QWidget* parent, const char* name, QRect geometry, int maxLength) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setGeometry(geometry);
  edit->setMaxLength(maxLength);
  edit->setValidator(new Latin1Validator(edit));
  return edit;
}

SpinEdit* Spin(QWidget* parent, const char* name, QRect geometry, int minValue, int maxValue, int value) {
  auto* spin = new SpinEdit(parent);
  spin->setObjectName(QString::fromLatin1(name));
  spin->setGeometry(geometry);
  spin->SetMinValue(minValue);
  spin->SetMaxValue(maxValue);
  spin->SetValue(value);
  return spin;
}

// A read-only grid whose current cell moves only where the operator takes it. Typed letters look for
// nothing (a jump to a matching row would be a selection nobody made), and focus arriving from the
// keyboard picks its starting cell quietly, since no cell was chosen.
class GradeTexto final : public QTableWidget {
 public:
  using QTableWidget::QTableWidget;

 protected:
  void keyboardSearch(const QString&) override {}
  void focusInEvent(QFocusEvent* event) override {
    const QSignalBlocker quiet(this);
    QTableWidget::focusInEvent(event);
  }
};

QTableWidget* Grade(QWidget* parent, const char* name, QRect geometry, int columns) {
  auto* grid = new GradeTexto(1, columns, parent);
  grid->setObjectName(QString::fromLatin1(name));
  grid->setGeometry(geometry);
  grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid->setSelectionMode(QAbstractItemView::SingleSelection);
  grid->setSelectionBehavior(QAbstractItemView::SelectItems);
  grid->setTabKeyNavigation(false);  // Tab leaves the grid for the next control
  grid->setWordWrap(false);
  grid->setCornerButtonEnabled(false);

  QHeaderView* rows = grid->verticalHeader();
  rows->hide();
  rows->setMinimumSectionSize(1);
  rows->setSectionResizeMode(QHeaderView::Fixed);
  rows->setDefaultSectionSize(kGridDefaultRowHeight);

  QHeaderView* header = grid->horizontalHeader();
  header->setSectionsMovable(true);
  header->setSectionResizeMode(QHeaderView::Interactive);
  header->setMinimumSectionSize(1);
  header->setDefaultSectionSize(kGridDefaultColumnWidth);
  header->setStretchLastSection(false);
  header->setHighlightSections(false);
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  header->setFixedHeight(kGridDefaultRowHeight);
  // Blank header cells until the layout names them; without items Qt would number the columns.
  grid->setHorizontalHeaderLabels(QStringList(columns, QString()));
  return grid;
}

void PreencherGrade(QTableWidget& grid, std::string_view lista) {
  // Rows that go away move Qt's current cell; that is no selection of the operator's, so the hint stays.
  const QSignalBlocker quiet(&grid);
  const auto rows = ParseLista(lista, grid.columnCount());
  grid.setRowCount(static_cast<int>(rows.size()));
  for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
    grid.setRowHeight(r, kGridRowHeight);
    for (int c = 0; c < grid.columnCount(); ++c) {
      const QString text = Texto(rows[r][c]);
      if (QTableWidgetItem* item = grid.item(r, c)) {
        if (item->text() != text) item->setText(text);
      } else {
        grid.setItem(r, c, new QTableWidgetItem(text));
      }
    }
  }
}

void DefinirGrade(QTableWidget& grid, std::initializer_list<int> widths,
                  std::initializer_list<const char*> captions) {
  int column = 0;
  for (int width : widths) grid.setColumnWidth(column++, width);
  QStringList labels;
  for (const char* caption : captions) labels << QString::fromUtf8(caption);
  grid.setHorizontalHeaderLabels(labels);
  grid.horizontalHeader()->setFixedHeight(kGridRowHeight);
  grid.setRowHeight(0, kGridRowHeight);
}

// Cuts one field off the front of lista at the first `separator`; no separator: empty field, lista kept.
std::string CortarCampo(std::string_view& lista, char separator) {
  const size_t at = lista.find(separator);
  if (at == std::string_view::npos) return {};
  std::string field(lista.substr(0, at));
  lista.remove_prefix(at + 1);
  return field;
}

}  // namespace

std::vector<std::vector<std::string>> ParseLista(std::string_view lista, int fields) {
  std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(fields));
  do {
    if (!rows.back().front().empty()) rows.emplace_back(fields);
    std::vector<std::string>& row = rows.back();
    for (int f = 0; f + 1 < fields; ++f) row[f] = CortarCampo(lista, ',');
    row[fields - 1] = CortarCampo(lista, ';');
  } while (lista.find(';') != std::string_view::npos);
  return rows;
}

std::string ExceptionText(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.')) {
    return message + ".";
  }
  return message;
}

TFormVESPRIL::TFormVESPRIL(QWidget* parent, bool semCaixaDeInicio)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
  m_semCaixaDeInicio = semCaixaDeInicio;
  setObjectName(QStringLiteral("FormVESPRIL"));
  setWindowTitle(QString::fromLatin1(kCaption));
  setFixedSize(kClientWidth, kClientHeight);
  setFont(FonteJanela());
  QPalette face = palette();
  face.setColor(QPalette::Window, face.color(QPalette::Button));
  setPalette(face);
  Centralizar();

  CriarControles();
  DefinirOrdemTabulacao();
  FormCreate();
}

// The status window reads the engine: it goes first.
TFormVESPRIL::~TFormVESPRIL() { delete m_atividade; }

// The frame goes in the middle of the screen. Until the window is shown no frame is known and the
// client area stands for it; the window manager tells the frame's size only once it has framed the
// window, so the first exposure centres it again.
void TFormVESPRIL::Centralizar() {
  const QScreen* screen = this->screen();
  if (screen == nullptr) return;
  const QRect area = screen->geometry();
  const QSize frame = frameGeometry().size();
  move(area.x() + (area.width() - frame.width()) / 2, area.y() + (area.height() - frame.height()) / 2);
}

void TFormVESPRIL::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!m_centradoComMoldura && windowHandle() != nullptr) windowHandle()->installEventFilter(this);
}

bool TFormVESPRIL::eventFilter(QObject* watched, QEvent* event) {
  if (watched == windowHandle() && event->type() == QEvent::Expose && windowHandle()->isExposed() &&
      !m_centradoComMoldura) {
    m_centradoComMoldura = true;
    windowHandle()->removeEventFilter(this);
    Centralizar();
  }
  return QWidget::eventFilter(watched, event);
}

void TFormVESPRIL::CriarControles() {
  m_btnGGetPorta = Botao(this, "BtnGGetPorta", "GetPorta", {10, 10, 90, 25});
  m_btnGSetPorta = Botao(this, "BtnGSetPorta", "SetPorta", {110, 10, 90, 25});
  m_sEdGPorta = Spin(this, "SEdGPorta", {210, 12, 75, 22}, 0, 0, 0);
  m_btnGGetTabelaRelembrar = Botao(this, "BtnGGetTabelaRelembrar", "GetRelembrar", {306, 10, 90, 25});
  m_btnGSetTabelaRelembrar = Botao(this, "BtnGSetTabelaRelembrar", "SetRelembrar", {406, 10, 90, 25});
  m_chBoxGTabelaRelembrar = new QCheckBox(QStringLiteral("Relembrar"), this);
  m_chBoxGTabelaRelembrar->setObjectName(QStringLiteral("ChBoxGTabelaRelembrar"));
  m_chBoxGTabelaRelembrar->setGeometry(506, 14, 75, 17);

  m_gBoxGServidor = new QGroupBox(QStringLiteral(" Servidor "), this);
  m_gBoxGServidor->setObjectName(QStringLiteral("GBoxGServidor"));
  m_gBoxGServidor->setGeometry(10, 40, 590, 190);
  m_btnGGetServidor = Botao(m_gBoxGServidor, "BtnGGetServidor", "GetServidor", {10, 20, 90, 25});
  // Beside it, in the row's free room: whether clients are being served at all.
  m_lblPorta = new QLabel(m_gBoxGServidor);
  m_lblPorta->setObjectName(QStringLiteral("LblPorta"));
  m_lblPorta->setGeometry(110, 26, 470, 13);
  m_strGrdGGetServidor = Grade(m_gBoxGServidor, "StrGrdGGetServidor", {10, 50, 570, 75}, 2);
  Rotulo(m_gBoxGServidor, "Label1", QStringLiteral("Servidor"), {117, 135, 39, 13}, true);
  m_edGSetServidorNome = Campo(m_gBoxGServidor, "EdGSetServidorNome", {165, 132, 250, 21}, 30);
  m_btnGSetServidor = Botao(m_gBoxGServidor, "BtnGSetServidor", "SetServidor", {10, 130, 90, 25});
  Rotulo(m_gBoxGServidor, "Label2", QStringLiteral("Endereço"), {110, 157, 46, 13}, true);
  m_edGSetServidorEndereco = Campo(m_gBoxGServidor, "EdGSetServidorEndereco", {165, 154, 415, 21}, 500);
  m_btnGEraseServidor = Botao(m_gBoxGServidor, "BtnGEraseServidor", "EraseServidor", {10, 155, 90, 25});

  m_gBoxGTabela = new QGroupBox(QStringLiteral(" Tabela "), this);
  m_gBoxGTabela->setObjectName(QStringLiteral("GBoxGTabela"));
  m_gBoxGTabela->setGeometry(10, 235, 590, 245);
  m_btnGGetTabela = Botao(m_gBoxGTabela, "BtnGGetTabela", "GetTabela", {10, 20, 90, 25});
  Rotulo(m_gBoxGTabela, "Label6", QStringLiteral("Atualização (ms)"), {448, 24, 55, 13}, true);
  m_sEdTmrGTabela =
      Spin(m_gBoxGTabela, "SEdTmrGTabela", {510, 21, 70, 22}, kTimerMinimum, kTimerMaximum, kTimerMaximum);
  m_strGrdGGetTabela = Grade(m_gBoxGTabela, "StrGrdGGetTabela", {10, 50, 570, 115}, 3);
  Rotulo(m_gBoxGTabela, "Label3", QStringLiteral("Tabela"), {123, 175, 33, 13}, true);
  m_edGSetTabelaTabela = Campo(m_gBoxGTabela, "EdGSetTabelaTabela", {165, 172, 250, 21}, 30);
  m_btnGSetTabela = Botao(m_gBoxGTabela, "BtnGSetTabela", "SetTabela", {10, 170, 90, 25});
  Rotulo(m_gBoxGTabela, "Label4", QStringLiteral("Chave"), {125, 197, 31, 13}, true);
  m_edGSetTabelaChave = Campo(m_gBoxGTabela, "EdGSetTabelaChave", {165, 194, 250, 21}, 30);
  m_btnGEraseTabela = Botao(m_gBoxGTabela, "BtnGEraseTabela", "EraseTabela", {10, 195, 90, 25});
  Rotulo(m_gBoxGTabela, "Label5", QStringLiteral("Gerador"), {118, 219, 38, 13}, true);
  m_sEdGSetTabelaGerador = Spin(m_gBoxGTabela, "SEdGSetTabelaGerador", {165, 216, 70, 22}, 0, 0, 0);

  m_tmrGTabela = new QTimer(this);
  m_tmrGTabela->setObjectName(QStringLiteral("TmrGTabela"));
  m_tmrGTabela->setInterval(kTimerMaximum);

  connect(m_btnGGetPorta, &QPushButton::clicked, this, &TFormVESPRIL::BtnGGetPortaClick);
  connect(m_btnGSetPorta, &QPushButton::clicked, this, &TFormVESPRIL::BtnGSetPortaClick);
  connect(m_btnGGetTabelaRelembrar, &QPushButton::clicked, this, &TFormVESPRIL::BtnGGetTabelaRelembrarClick);
  connect(m_btnGSetTabelaRelembrar, &QPushButton::clicked, this, &TFormVESPRIL::BtnGSetTabelaRelembrarClick);
  connect(m_btnGGetServidor, &QPushButton::clicked, this, &TFormVESPRIL::BtnGGetServidorClick);
  connect(m_btnGSetServidor, &QPushButton::clicked, this, &TFormVESPRIL::BtnGSetServidorClick);
  connect(m_btnGEraseServidor, &QPushButton::clicked, this, &TFormVESPRIL::BtnGEraseServidorClick);
  connect(m_btnGGetTabela, &QPushButton::clicked, this, &TFormVESPRIL::BtnGGetTabelaClick);
  connect(m_btnGSetTabela, &QPushButton::clicked, this, &TFormVESPRIL::BtnGSetTabelaClick);
  connect(m_btnGEraseTabela, &QPushButton::clicked, this, &TFormVESPRIL::BtnGEraseTabelaClick);
  // A cell is selected when the current cell moves to it, and again when the current one is clicked
  // (a tick may have redrawn it since).
  connect(m_strGrdGGetServidor, &QTableWidget::currentCellChanged, this,
          &TFormVESPRIL::StrGrdGGetServidorSelectCell);
  connect(m_strGrdGGetServidor, &QTableWidget::cellPressed, this,
          &TFormVESPRIL::StrGrdGGetServidorSelectCell);
  connect(m_strGrdGGetTabela, &QTableWidget::currentCellChanged, this,
          &TFormVESPRIL::StrGrdGGetTabelaSelectCell);
  connect(m_strGrdGGetTabela, &QTableWidget::cellPressed, this, &TFormVESPRIL::StrGrdGGetTabelaSelectCell);
  connect(m_tmrGTabela, &QTimer::timeout, this, &TFormVESPRIL::TmrGTabelaTimer);
  connect(m_sEdTmrGTabela, &SpinEdit::Change, this, &TFormVESPRIL::SEdTmrGTabelaChange);

  // An action, not a control: the layout stays as it is.
  auto* atividade = new QAction(QStringLiteral("Atividade"), this);
  atividade->setObjectName(QStringLiteral("ActAtividade"));
  atividade->setShortcut(Qt::Key_F2);
  addAction(atividade);
  setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(atividade, &QAction::triggered, this, &TFormVESPRIL::AbrirAtividade);
}

void TFormVESPRIL::AbrirAtividade() {
  if (!m_engine) return;
  Guarded([this] {
    if (m_atividade == nullptr) {
      m_atividade = new TFormAtividade(*m_engine, this);
      m_atividade->PosicionarAoLado(*this);
    }
    m_atividade->show();
    m_atividade->raise();
    m_atividade->activateWindow();
  });
}

// Tab order counts within each parent; entering a group box walks its controls before leaving it.
void TFormVESPRIL::DefinirOrdemTabulacao() {
  const std::initializer_list<QWidget*> chain = {
      m_btnGGetPorta, m_btnGSetPorta, m_btnGGetTabelaRelembrar, m_btnGSetTabelaRelembrar,
      m_chBoxGTabelaRelembrar,
      // GBoxGServidor
      m_btnGGetServidor, m_strGrdGGetServidor, m_btnGSetServidor, m_btnGEraseServidor, m_edGSetServidorNome,
      m_edGSetServidorEndereco,
      // GBoxGTabela
      m_btnGGetTabela, m_strGrdGGetTabela, m_btnGSetTabela, m_btnGEraseTabela, m_edGSetTabelaTabela,
      m_edGSetTabelaChave, m_sEdGSetTabelaGerador, m_sEdTmrGTabela, m_sEdGPorta};
  QWidget* previous = nullptr;
  for (QWidget* widget : chain) {
    if (previous != nullptr) QWidget::setTabOrder(previous, widget);
    previous = widget;
  }
}

void TFormVESPRIL::FormCreate() {
  m_sEdTmrGTabela->SetValue(m_sEdTmrGTabela->MaxValue());
  m_tmrGTabela->stop();
  m_tmrGTabela->setInterval(m_sEdTmrGTabela->Value());
  m_tmrGTabela->start();

  try {
    m_engine = std::make_unique<VESPRIL>();
  } catch (const Error& e) {
    FalhaDeInicio(e.Message());
  } catch (const std::exception& e) {
    FalhaDeInicio(e.what());
  } catch (...) {
    FalhaDeInicio("Exce\xE7\xE3o desconhecida");
  }
  if (!m_engine) {
    IniciarSemMotor();
    return;
  }
  m_engine->OnAviso = [this](const std::string& message) { ShowException(message); };
  if (!m_engine->FalhaSoquete().empty()) FalhaDeInicio(m_engine->FalhaSoquete());

  Guarded([this] {
    m_sEdGPorta->SetValue(m_engine->GetPorta());
    m_chBoxGTabelaRelembrar->setChecked(m_engine->GetTabelaRelembrar());
    GetServidor();
    GetTabela();
    DefinirGrades();
  });
  MostrarPorta();
}

void TFormVESPRIL::FalhaDeInicio(const std::string& message) {
  m_falhaInicio = message;
  if (!m_semCaixaDeInicio) ShowException(message);
}

// Without an engine nothing can be read or changed; the window stays open to show that.
void TFormVESPRIL::IniciarSemMotor() {
  setWindowTitle(QString::fromLatin1(kCaptionSemMotor));
  HabilitarBotoes(false);
  MostrarPorta();
}

void TFormVESPRIL::MostrarPorta() {
  std::string texto;
  if (!m_engine) {
    texto = "Nenhum cliente \xE9 atendido: o gateway est\xE1 parado";
  } else {
    const SoqueteServidor& soquete = m_engine->Soquete();
    const std::string porta = "Porta " + std::to_string(soquete.Port());
    if (soquete.Active()) {
      texto = porta + " aberta: clientes atendidos";
    } else if (soquete.Port() == 0) {
      texto = "Porta 0: nenhum cliente \xE9 atendido";
    } else {
      texto = porta + " fechada: " +
              (soquete.ListenFailure().empty() ? "nenhum cliente \xE9 atendido" : soquete.ListenFailure());
    }
  }
  const QString linha = Texto(texto).simplified();
  if (m_lblPorta->text() != linha) {
    m_lblPorta->setText(linha);
    m_lblPorta->setToolTip(linha);
  }
}

void TFormVESPRIL::HabilitarBotoes(bool habilitar) {
  for (QPushButton* button :
       {m_btnGGetPorta, m_btnGSetPorta, m_btnGGetTabelaRelembrar, m_btnGSetTabelaRelembrar, m_btnGGetServidor,
        m_btnGSetServidor, m_btnGEraseServidor, m_btnGGetTabela, m_btnGSetTabela, m_btnGEraseTabela}) {
    button->setEnabled(habilitar);
  }
}

void TFormVESPRIL::DefinirGrades() {
  DefinirGrade(*m_strGrdGGetServidor, {190, 350}, {"Nome", "Endereço"});
  DefinirGrade(*m_strGrdGGetTabela, {220, 220, 100}, {"Tabela", "Chave", "Gerador"});
}

template <typename Body>
void TFormVESPRIL::Guarded(Body&& body) {
  try {
    body();
  } catch (const Error& e) {
    ShowException(e.Message());
  } catch (const std::exception& e) {
    ShowException(e.what());
  } catch (...) {
    ShowException("Exce\xE7\xE3o desconhecida");
  }
}

template <typename Body>
void TFormVESPRIL::WithEngine(Body&& body) {
  if (m_engine) Guarded(std::forward<Body>(body));
}

void TFormVESPRIL::ShowException(const std::string& message) {
  const std::string text = ExceptionText(message);
  // Without a display nobody could read the box, and the program would seem to run normally.
  if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
    std::fprintf(stderr, "%s: %s\n", kCaption, text.c_str());
  }
  QMessageBox box(QMessageBox::Critical, QString::fromLatin1(kCaption), Texto(text), QMessageBox::Ok, this);
  box.setObjectName(QStringLiteral("MessageBoxVESPRIL"));
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

void TFormVESPRIL::GetServidor() {
  PreencherGrade(*m_strGrdGGetServidor, m_engine->GetServidor());
  // Where each server's user and password come from, on its name; never the password itself.
  for (int r = 0; r < m_strGrdGGetServidor->rowCount(); ++r) {
    QTableWidgetItem* nome = m_strGrdGGetServidor->item(r, 0);
    if (nome == nullptr || nome->text().isEmpty()) continue;
    nome->setToolTip(QStringLiteral("Credenciais: ") +
                     Texto(m_engine->FonteCredenciais(Bytes(nome->text()))));
  }
}

void TFormVESPRIL::GetTabela() { PreencherGrade(*m_strGrdGGetTabela, m_engine->GetTabela()); }

void TFormVESPRIL::BtnGGetPortaClick() {
  WithEngine([this] { m_sEdGPorta->SetValue(m_engine->GetPorta()); });
}

// The operations that change the configuration run as engine tasks: the window keeps painting, its
// buttons are disabled until the task ends, and then comes its error box or its refresh.
void TFormVESPRIL::Operar(std::function<void()> operacao, std::function<void()> depois) {
  if (!m_engine || m_operando) return;
  m_operando = true;
  HabilitarBotoes(false);
  m_engine->Operar(std::move(operacao), [this, depois = std::move(depois)](const std::string& falha) {
    if (m_parando) {
      m_operando = false;
    } else if (falha.empty()) {
      if (depois) Guarded(depois);
    } else {
      ShowException(falha);
    }
    m_operando = false;
    HabilitarBotoes(true);
  });
}

bool TFormVESPRIL::Parar(int ms) {
  m_parando = true;
  m_tmrGTabela->stop();
  return !m_engine || m_engine->Parar(ms);
}

void TFormVESPRIL::BtnGSetPortaClick() {
  const int porta = m_sEdGPorta->Value();
  Operar([this, porta] { m_engine->SalvarPorta(porta); },
         [this] {
           // The label says so before a failure's box does.
           try {
             m_engine->ReabrirSoquete();
           } catch (...) {
             MostrarPorta();
             throw;
           }
           MostrarPorta();
         });
}

void TFormVESPRIL::BtnGGetTabelaRelembrarClick() {
  WithEngine([this] { m_chBoxGTabelaRelembrar->setChecked(m_engine->GetTabelaRelembrar()); });
}

void TFormVESPRIL::BtnGSetTabelaRelembrarClick() {
  const bool relembrar = m_chBoxGTabelaRelembrar->isChecked();
  Operar([this, relembrar] { m_engine->SetTabelaRelembrar(relembrar); }, {});
}

void TFormVESPRIL::BtnGGetServidorClick() {
  WithEngine([this] { GetServidor(); });
}

void TFormVESPRIL::BtnGSetServidorClick() {
  const std::string nome = Bytes(m_edGSetServidorNome->text());
  const std::string endereco = Bytes(m_edGSetServidorEndereco->text());
  Operar([this, nome, endereco] { m_engine->SetServidor(nome, endereco); }, [this] { GetServidor(); });
}

void TFormVESPRIL::BtnGEraseServidorClick() {
  const std::string nome = Bytes(m_edGSetServidorNome->text());
  Operar([this, nome] { m_engine->EraseServidor(nome); }, [this] { GetServidor(); });
}

void TFormVESPRIL::BtnGGetTabelaClick() {
  WithEngine([this] { GetTabela(); });
}

void TFormVESPRIL::BtnGSetTabelaClick() {
  if (!m_engine) return;
  int gerador = 0;
  bool valido = false;
  Guarded([&] {
    gerador = StrToInt(Bytes(m_sEdGSetTabelaGerador->Text()));
    valido = true;
  });
  if (!valido) return;
  const std::string tabela = Bytes(m_edGSetTabelaTabela->text());
  const std::string chave = Bytes(m_edGSetTabelaChave->text());
  Operar([this, tabela, chave, gerador] { m_engine->SetTabela(tabela, chave, gerador); },
         [this] { GetTabela(); });
}

void TFormVESPRIL::BtnGEraseTabelaClick() {
  const std::string tabela = Bytes(m_edGSetTabelaTabela->text());
  Operar([this, tabela] { m_engine->EraseTabela(tabela); }, [this] { GetTabela(); });
}

void TFormVESPRIL::StrGrdGGetServidorSelectCell(int row, int column) {
  const QTableWidgetItem* item = m_strGrdGGetServidor->item(row, column);
  m_strGrdGGetServidor->setToolTip(item != nullptr ? item->text() : QString());
}

void TFormVESPRIL::StrGrdGGetTabelaSelectCell(int row, int column) {
  const QTableWidgetItem* item = m_strGrdGGetTabela->item(row, column);
  m_strGrdGGetTabela->setToolTip(item != nullptr ? item->text() : QString());
}

// A tick lets pending messages run inside it; ticks that come due meanwhile (a button's error box
// opened from there, say) are skipped, so ticks never nest.
void TFormVESPRIL::TmrGTabelaTimer() {
  // The engine's readers are safe beside a running operation; the grid just waits for the refresh that
  // ends it, so it never shows a table half-way through a change of several records.
  if (!m_engine || m_tickRunning || m_operando) return;
  m_tickRunning = true;
  Guarded([this] {
    GetTabela();
    MostrarPorta();
    QCoreApplication::processEvents();
  });
  m_tickRunning = false;
}

// Qt runs a zero-interval timer continuously and refuses a negative one, so both stop the refresh.
void TFormVESPRIL::SEdTmrGTabelaChange() {
  m_tmrGTabela->stop();
  const int interval = m_sEdTmrGTabela->Value();
  if (interval <= 0) return;
  m_tmrGTabela->setInterval(interval);
  m_tmrGTabela->start();
}

}  // namespace vespril
