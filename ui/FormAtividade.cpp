#include "ui/FormAtividade.h"

#include <algorithm>
#include <string>
#include <vector>

#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTableWidget>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>

#include "gateway/UVESPRIL.h"

namespace vespril {

namespace {

QString Texto(const std::string& bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QTableWidget* Grade(QWidget* parent, const char* name, const QStringList& cabecalhos) {
  auto* grade = new QTableWidget(0, static_cast<int>(cabecalhos.size()), parent);
  grade->setObjectName(QString::fromLatin1(name));
  grade->setHorizontalHeaderLabels(cabecalhos);
  grade->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grade->setSelectionMode(QAbstractItemView::NoSelection);
  grade->verticalHeader()->hide();
  grade->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  grade->horizontalHeader()->setStretchLastSection(true);
  return grade;
}

// Sets the rows of a grid, touching only cells whose text changed.
void Preencher(QTableWidget& grade, const std::vector<QStringList>& linhas) {
  grade.setRowCount(static_cast<int>(linhas.size()));
  for (int r = 0; r < static_cast<int>(linhas.size()); ++r) {
    for (int c = 0; c < grade.columnCount() && c < linhas[r].size(); ++c) {
      if (QTableWidgetItem* item = grade.item(r, c)) {
        if (item->text() != linhas[r][c]) item->setText(linhas[r][c]);
      } else {
        grade.setItem(r, c, new QTableWidgetItem(linhas[r][c]));
      }
    }
  }
}

}  // namespace

TFormAtividade::TFormAtividade(VESPRIL& engine, QWidget* parent)
    : QWidget(parent, Qt::Window), m_engine(engine) {
  setObjectName(QStringLiteral("FormAtividade"));
  setWindowTitle(QStringLiteral("Atividade"));
  resize(kLargura, kAltura);
  auto* layout = new QVBoxLayout(this);
  m_lblResumo = new QLabel(this);
  m_lblResumo->setObjectName(QStringLiteral("LblResumo"));
  m_grdServidores = Grade(this, "GrdServidores",
                          {QStringLiteral("Slot"), QStringLiteral("Servidor"), QStringLiteral("Estado"),
                           QStringLiteral("Credenciais"), QStringLiteral("Leituras"),
                           QStringLiteral("Tentativas"), QString::fromUtf8("Último erro")});
  m_grdRegistros = Grade(this, "GrdRegistros",
                         {QStringLiteral("Servidor"), QStringLiteral("Tabela"), QStringLiteral("Registros")});
  m_txtRegistro = new QPlainTextEdit(this);
  m_txtRegistro->setObjectName(QStringLiteral("TxtRegistro"));
  m_txtRegistro->setReadOnly(true);
  m_txtRegistro->setLineWrapMode(QPlainTextEdit::NoWrap);
  m_txtRegistro->setMaximumBlockCount(static_cast<int>(Painel::kLinhasGuardadas));
  layout->addWidget(m_lblResumo);
  layout->addWidget(m_grdServidores, 2);
  layout->addWidget(m_grdRegistros, 2);
  layout->addWidget(m_txtRegistro, 3);

  m_tmrAtualizar = new QTimer(this);
  m_tmrAtualizar->setObjectName(QStringLiteral("TmrAtualizar"));
  m_tmrAtualizar->setInterval(kIntervaloMs);
  connect(m_tmrAtualizar, &QTimer::timeout, this, &TFormAtividade::Atualizar);
  m_tmrAtualizar->start();
  Atualizar();
}

void TFormAtividade::PosicionarAoLado(const QWidget& principal) {
  const QScreen* tela = principal.screen() != nullptr ? principal.screen() : QGuiApplication::primaryScreen();
  if (tela == nullptr) return;
  const QRect area = tela->availableGeometry();
  const QRect ao = principal.frameGeometry();
  // The frame adds the same to this window as to the main one.
  const QSize moldura = ao.size() - principal.size();
  const int direita = area.right() + 1 - (ao.right() + 1 + kEspaco);
  const int esquerda = ao.left() - kEspaco - area.left();
  const bool aDireita = direita >= esquerda;
  const int largura = std::clamp((aDireita ? direita : esquerda) - moldura.width(), kLarguraMinima, kLargura);
  const int altura =
      std::clamp(ao.height() - moldura.height(), kAlturaMinima, area.height() - moldura.height());
  resize(largura, altura);
  int x = aDireita ? ao.right() + 1 + kEspaco : ao.left() - kEspaco - largura - moldura.width();
  x = std::clamp(x, area.left(), std::max(area.left(), area.right() + 1 - largura - moldura.width()));
  move(x,
       std::clamp(ao.top(), area.top(), std::max(area.top(), area.bottom() + 1 - altura - moldura.height())));
}

void TFormAtividade::Atualizar() {
  try {
    const Painel::Retrato retrato = m_engine.Atividade().Instantaneo(m_linhasLidas);
    m_lblResumo->setText(QString::fromUtf8("Conexões: %1    Em execução: %2    Na fila: %3")
                             .arg(m_engine.Soquete().ClientCount())
                             .arg(retrato.rodando)
                             .arg(retrato.fila));
    std::vector<QStringList> servidores;
    for (int n = 1; n <= kSlots; ++n) {
      const SituacaoServidor& s = retrato.servidores[static_cast<size_t>(n)];
      if (s.estado == EstadoServidor::Livre) continue;
      servidores.push_back({QString::number(n), Texto(s.nome), QString::fromLatin1(NomeEstado(s.estado)),
                            Texto(s.credenciais), QString::number(m_engine.LeiturasAbertas(n)),
                            QString::number(s.tentativas),
                            s.estado == EstadoServidor::Ligado ? QString() : Texto(s.erro).simplified()});
    }
    Preencher(*m_grdServidores, servidores);
    std::vector<QStringList> registros = m_engine.ComTabelas([](const VESPRIL::Tabelas& tabelas) {
      std::vector<QStringList> linhas;
      PersistedTable& matriz = tabelas.CdsServidorTabela;
      for (matriz.First(); !matriz.Eof(); matriz.Next()) {
        linhas.push_back({Texto(matriz.FieldAsString("Servidor")), Texto(matriz.FieldAsString("Tabela")),
                          Texto(matriz.FieldAsString("Registro"))});
      }
      return linhas;
    });
    Preencher(*m_grdRegistros, registros);
    // New lines come in at the bottom, and the pane follows them unless the operator scrolled up to
    // read; across it stays where it was, so lines longer than the pane show their starts. The text
    // cursor waits at the last line's start: the pane's first showing scrolls to it.
    QScrollBar* vertical = m_txtRegistro->verticalScrollBar();
    QScrollBar* horizontal = m_txtRegistro->horizontalScrollBar();
    const bool noFim = vertical->value() >= vertical->maximum();
    const int esquerda = horizontal->value();
    for (const std::string& linha : retrato.linhas) m_txtRegistro->appendPlainText(Texto(linha));
    if (noFim && !retrato.linhas.empty()) {
      QTextCursor cursor = m_txtRegistro->textCursor();
      cursor.movePosition(QTextCursor::End);
      cursor.movePosition(QTextCursor::StartOfBlock);
      m_txtRegistro->setTextCursor(cursor);
      vertical->setValue(vertical->maximum());
    }
    horizontal->setValue(esquerda);
  } catch (...) {
    // A refresh that fails shows the last figures until the next one.
  }
}

}  // namespace vespril
