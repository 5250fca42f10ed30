// The status window that F2 opens beside the main one: what it shows of the connections, the servers
// and the log, and where it stands.
#include "ui/FormAtividade.h"

#include <string>

#include <gtest/gtest.h>
#include <QLabel>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTableWidget>
#include <QTest>

#include "gateway/UVESPRIL.h"
#include "protocol/WireProtocol.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/FormTest.h"
#include "tests/support/Frames.h"
#include "tests/support/SocketClient.h"
#include "tests/support/WidgetTest.h"
#include "tests/support/Workspace.h"

namespace vespril {
namespace {

using test::Dump;
using test::Eventually;
using test::FormTest;
using test::Utf8;

// F2 opens the status window beside the main one, whose controls stay where they are; it lists the
// client connections and each server's state, and follows them by itself.
TEST_F(FormTest, F2OpensTheStatusWindowWhichFollowsConnectionsAndServers) {
  const test::FirebirdTestDatabase db;
  const int port = test::FreeTcpPort();
  Configure([&](VESPRIL& engine) {
    engine.SalvarPorta(port);
    engine.SetServidor("ALFA", db.Address());
  });
  Open();
  const auto geometrias = [this] {
    QString dump;
    for (const QWidget* w : m_form->findChildren<QWidget*>()) {
      const QRect r = w->geometry();
      if (w->window() == m_form.get()) {
        dump += QStringLiteral("%1 %2,%3,%4,%5;")
                    .arg(w->objectName())
                    .arg(r.x())
                    .arg(r.y())
                    .arg(r.width())
                    .arg(r.height());
      }
    }
    return dump.toStdString();
  };
  const std::string antes = geometrias();
  QTest::keyClick(m_form.get(), Qt::Key_F2);
  auto* atividade = m_form->findChild<QWidget*>(QStringLiteral("FormAtividade"));
  ASSERT_NE(atividade, nullptr);
  EXPECT_TRUE(atividade->isVisible());
  EXPECT_TRUE(atividade->isWindow());
  EXPECT_EQ(geometrias(), antes);

  test::SocketClient client(port);
  auto* resumo = atividade->findChild<QLabel*>(QStringLiteral("LblResumo"));
  ASSERT_NE(resumo, nullptr);
  EXPECT_EVENTUALLY_EQ(resumo->text(), QString::fromUtf8("Conexões: 1    Em execução: 0    Na fila: 0"));
  EXPECT_EQ(Dump(*atividade->findChild<QTableWidget*>(QStringLiteral("GrdServidores"))),
            "Slot|Servidor|Estado|Credenciais|Leituras|Tentativas|Último erro/1|ALFA|ligado|padrão|0|0|");
  EXPECT_EQ(Find<QTableWidget>("StrGrdGGetServidor")->item(0, 0)->toolTip(),
            QString::fromUtf8("Credenciais: padrão"));
  EXPECT_EQ(Dump(*atividade->findChild<QTableWidget*>(QStringLiteral("GrdRegistros"))),
            "Servidor|Tabela|Registros");
  EXPECT_NE(atividade->findChild<QPlainTextEdit*>(QStringLiteral("TxtRegistro"))
                ->toPlainText()
                .indexOf(QStringLiteral("vespril.listener: ")),
            -1);
}

// The status window stands beside the main one, as far as the screen allows. Its log tells lines in time
// order, a request's at its end (a "Baixar" that ends while a long query runs comes before the query), shows
// them from their starts however long they are, and keeps the newest in sight at the bottom.
TEST_F(FormTest, StatusWindowLogTellsLinesInTimeOrderFromTheirStartsAtTheBottom) {
  const test::FirebirdTestDatabase db;
  const int port = test::FreeTcpPort();
  Configure([&](VESPRIL& engine) {
    engine.SalvarPorta(port);
    engine.SetServidor("ALFA", db.Address());
  });
  Open();

  const std::string cliente(200, 'c');  // a line wider than the pane, a file name that fits
  test::SocketClient longa(port);
  ASSERT_TRUE(longa.Connected());
  longa.Send(test::Pedir(cliente, "1", "select count(*) from rdb$types a, rdb$types b, rdb$relations c;"));
  test::SocketClient curta(port);
  for (int i = 0; i < 40; ++i) curta.Ask(test::Pedir(cliente, "2", "Baixar"));
  ASSERT_TRUE(Eventually([&] { return longa.Received().find(MarcaFim) != std::string::npos; }, 30000));

  QTest::keyClick(m_form.get(), Qt::Key_F2);
  auto* atividade = m_form->findChild<QWidget*>(QStringLiteral("FormAtividade"));
  ASSERT_NE(atividade, nullptr);
  // On this 800-pixel screen there is no room for both: it goes to the side with more, inside the screen.
  const QRect tela = m_form->screen()->availableGeometry();
  EXPECT_EQ(atividade->frameGeometry().top(), m_form->frameGeometry().top());
  EXPECT_GT(atividade->frameGeometry().left(), m_form->frameGeometry().left());
  EXPECT_TRUE(tela.contains(atividade->frameGeometry())) << atividade->frameGeometry().x();
  auto* registro = atividade->findChild<QPlainTextEdit*>(QStringLiteral("TxtRegistro"));
  ASSERT_NE(registro, nullptr);
  ASSERT_EVENTUALLY(registro->toPlainText().contains(QStringLiteral(" consulta ")));
  QStringList horas;
  const QRegularExpression hora(
      QStringLiteral("^vespril\\.[a-z]+: (\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}) "));
  for (const QString& linha : registro->toPlainText().split(QLatin1Char('\n'))) {
    const QRegularExpressionMatch m = hora.match(linha);
    EXPECT_TRUE(m.hasMatch()) << Utf8(linha);
    horas << m.captured(1);
  }
  QStringList ordenadas = horas;
  ordenadas.sort();
  EXPECT_EQ(Utf8(horas.join(QLatin1Char(' '))), Utf8(ordenadas.join(QLatin1Char(' '))));
  // The lines there when it opened, and one that comes after.
  for (int vez = 0; vez < 2; ++vez) {
    SCOPED_TRACE(vez);
    EXPECT_GT(registro->horizontalScrollBar()->maximum(), 0);
    EXPECT_EQ(registro->horizontalScrollBar()->value(), 0);
    EXPECT_GT(registro->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(registro->verticalScrollBar()->value(), registro->verticalScrollBar()->maximum());
    curta.Ask(test::Pedir(cliente, "3", "Baixar"));
    ASSERT_EVENTUALLY(registro->toPlainText().contains(QStringLiteral("Pedido=\"3\"")));
  }
}

}  // namespace
}  // namespace vespril
