// The main window driven as the operator would, and the listing parsing and the error box text it
// shows. The status window it opens: FormAtividadeTest.
#include "ui/UFormVESPRIL.h"

#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolTip>

#include "gateway/UVESPRIL.h"
#include "protocol/WireProtocol.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/FormTest.h"
#include "tests/support/Frames.h"
#include "tests/support/SocketClient.h"
#include "tests/support/WidgetTest.h"
#include "tests/support/Workspace.h"
#include "ui/SpinEdit.h"

namespace vespril {
namespace {

using test::BoxAnswerer;
using test::Dump;
using test::Eventually;
using test::FormTest;
using test::Retype;
using test::Utf8;

std::string Dump(const std::vector<std::vector<std::string>>& rows) {
  std::string out;
  for (const auto& row : rows) {
    if (!out.empty()) out += "/";
    for (size_t c = 0; c < row.size(); ++c) out += (c == 0 ? "" : "|") + row[c];
  }
  return out;
}

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Runs one test of this binary again on a virtual X display of its own (1024x768, a free display number
// that Xvfb picks) with openbox managing its windows, and fails with the child's output when it fails.
// Skipped when Xvfb or openbox is missing. The script waits for what it starts, and a child that hangs
// is killed with its whole process group, so nothing outlives the test.
void RunUnderWindowManager(const char* test) {
  for (const char* program : {"Xvfb", "openbox"}) {
    if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty()) {
      GTEST_SKIP() << program << " is not installed: no window manager to test under";
    }
  }
  QTemporaryDir scratch;
  ASSERT_TRUE(scratch.isValid());
  // openbox runs its startup command once it manages the display; the test starts after that.
  const char* script = R"sh(dir=$1; shift
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/display" >"$dir/xvfb.log" 2>&1 & x=$!
n=0; until [ -s "$dir/display" ] || [ $n -ge 100 ]; do sleep 0.1; n=$((n+1)); done
if [ ! -s "$dir/display" ]; then echo "Xvfb did not start"; cat "$dir/xvfb.log"; kill $x; wait $x; exit 3; fi
export DISPLAY=":$(cat "$dir/display")"
openbox --sm-disable --startup "touch '$dir/ready'" >/dev/null 2>&1 & wm=$!
n=0; until [ -e "$dir/ready" ] || [ $n -ge 100 ]; do sleep 0.1; n=$((n+1)); done
if [ -e "$dir/ready" ]; then "$@"; rc=$?; else echo "openbox did not start"; rc=3; fi
kill $wm $x 2>/dev/null; wait $wm $x 2>/dev/null
exit $rc
)sh";
  QProcess child;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
  // The display has no session bus: named none, D-Bus would try to launch one through X, which leaks
  // its error buffer when that fails and would outlive the test when it works.
  environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                     QStringLiteral("unix:path=") + scratch.path() + QStringLiteral("/no-bus"));
  child.setProcessEnvironment(environment);
  child.setProcessChannelMode(QProcess::MergedChannels);
  child.setChildProcessModifier([] { ::setsid(); });
  child.start(QStringLiteral("sh"), {QStringLiteral("-c"), QString::fromLatin1(script), QStringLiteral("sh"),
                                     scratch.path(), QCoreApplication::applicationFilePath(),
                                     QStringLiteral("--gtest_filter=") + QLatin1String(test)});
  ASSERT_TRUE(child.waitForStarted(5000)) << Utf8(child.errorString());
  if (!child.waitForFinished(60000)) {
    ::kill(-static_cast<pid_t>(child.processId()), SIGKILL);
    child.waitForFinished(5000);
    FAIL() << "no end after 60 s:\n" << child.readAll().toStdString();
  }
  const QByteArray output = child.readAll();
  EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
  EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

// ---------------------------------------------------------------------------------------------------
// Listing parsing and the error box text

TEST(ParseListaTest, EachRecordFillsOneRowInListOrder) {
  EXPECT_EQ(Dump(ParseLista("A,a;B,b;", 2)), "A|a/B|b");
  EXPECT_EQ(Dump(ParseLista("CLIENTE,IDCLIENTE,7;ITEM,IDITEM,0;", 3)), "CLIENTE|IDCLIENTE|7/ITEM|IDITEM|0");
  EXPECT_EQ(Dump(ParseLista("A,a;", 2)), "A|a");
}

TEST(ParseListaTest, EmptyOrUnseparatedListGivesOneEmptyRow) {
  EXPECT_EQ(Dump(ParseLista("", 2)), "|");
  EXPECT_EQ(Dump(ParseLista("", 3)), "||");
  EXPECT_EQ(Dump(ParseLista("sem separadores", 2)), "|");
}

TEST(ParseListaTest, RecordWithEmptyFirstFieldIsOverwrittenByTheNext) {
  EXPECT_EQ(Dump(ParseLista(",a;B,b;", 2)), "B|b");
  EXPECT_EQ(Dump(ParseLista("A,a;,b;C,c;", 2)), "A|a/C|c");
  // The last one stays, since nothing comes after it.
  EXPECT_EQ(Dump(ParseLista("A,a;,b;", 2)), "A|a/|b");
}

TEST(ParseListaTest, SeparatorsInsideValuesCutWhereTheyStand) {
  // A name holding "," is cut there; the rest travels with the address into the last column.
  EXPECT_EQ(Dump(ParseLista("Ma,triz,/db/a.fdb;B,b;", 2)), "Ma|triz,/db/a.fdb/B|b");
  // A field's "," is looked for past the record's ";".
  EXPECT_EQ(Dump(ParseLista("A;B,b;", 2)), "A;B|b");
  // A last record without its ";" is not shown.
  EXPECT_EQ(Dump(ParseLista("A,a;B,b", 2)), "A|a");
  // A record without "," leaves the leading fields empty.
  EXPECT_EQ(Dump(ParseLista("x;", 2)), "|x");
  // Bytes above 127 pass unchanged.
  EXPECT_EQ(Dump(ParseLista("S\xC3O,/db/\xE7.fdb;", 2)), "S\xC3O|/db/\xE7.fdb");
}

TEST(ExceptionTextTest, FullStopOnlyAfterCharactersThatSortAfterIt) {
  EXPECT_EQ(ExceptionText("'abc' is not a valid integer value"), "'abc' is not a valid integer value.");
  EXPECT_EQ(ExceptionText("Porta 7"), "Porta 7.");
  EXPECT_EQ(ExceptionText("x/"), "x/.");
  EXPECT_EQ(ExceptionText("falhou:"), "falhou:.");
  EXPECT_EQ(ExceptionText("conex\xE3o"), "conex\xE3o.");  // a byte above 127 sorts after "."
  EXPECT_EQ(ExceptionText("pronto."), "pronto.");
  EXPECT_EQ(ExceptionText("falhou!"), "falhou!");
  EXPECT_EQ(ExceptionText("linha\r\n"), "linha\r\n");
  EXPECT_EQ(ExceptionText("(x)"), "(x)");
  EXPECT_EQ(ExceptionText(""), "");
}

// ---------------------------------------------------------------------------------------------------
// The window

TEST_F(FormTest, WindowIsAFixedDialogOfTheGivenSize) {
  TFormVESPRIL& form = Open();
  EXPECT_EQ(form.windowTitle(), "VESPRIL");
  EXPECT_EQ(form.size(), QSize(612, 491));
  EXPECT_EQ(form.minimumSize(), form.maximumSize());
  EXPECT_TRUE(form.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(form.font().pixelSize(), 11);
  const QRect screen = form.screen()->geometry();
  const QRect frame = form.frameGeometry();
  EXPECT_EQ(frame.topLeft(), QPoint(screen.x() + (screen.width() - frame.width()) / 2,
                                    screen.y() + (screen.height() - frame.height()) / 2));
}

// Under a window manager the frame's size is known only once the window is shown; the frame, not the
// client area, goes in the middle. The test runs itself again on a virtual X display with openbox.
TEST_F(FormTest, FrameIsCentredUnderAWindowManager) {
  if (QGuiApplication::platformName() != QLatin1String("xcb")) {
    RunUnderWindowManager("FormTest.FrameIsCentredUnderAWindowManager");
    return;
  }
  TFormVESPRIL& form = Open();
  ASSERT_TRUE(Eventually([&] { return form.frameGeometry().height() > 491; }))
      << "the window manager put no frame around the window";
  const QRect screen = form.screen()->geometry();
  EXPECT_EQ(screen.size(), QSize(1024, 768));
  EXPECT_EVENTUALLY_EQ(form.frameGeometry().topLeft(),
                       QPoint(screen.x() + (screen.width() - form.frameGeometry().width()) / 2,
                              screen.y() + (screen.height() - form.frameGeometry().height()) / 2));
  EXPECT_EQ(form.size(), QSize(612, 491));
}

TEST_F(FormTest, ControlsStandWhereTheLayoutPutsThem) {
  Open();
  struct Expected {
    const char* name;
    const char* parent;
    QRect geometry;
    const char* caption;  // nullptr: no caption to check
  };
  const Expected controls[] = {
      {"BtnGGetPorta", "FormVESPRIL", {10, 10, 90, 25}, "GetPorta"},
      {"BtnGSetPorta", "FormVESPRIL", {110, 10, 90, 25}, "SetPorta"},
      {"SEdGPorta", "FormVESPRIL", {210, 12, 75, 22}, nullptr},
      {"BtnGGetTabelaRelembrar", "FormVESPRIL", {306, 10, 90, 25}, "GetRelembrar"},
      {"BtnGSetTabelaRelembrar", "FormVESPRIL", {406, 10, 90, 25}, "SetRelembrar"},
      {"ChBoxGTabelaRelembrar", "FormVESPRIL", {506, 14, 75, 17}, "Relembrar"},
      {"GBoxGServidor", "FormVESPRIL", {10, 40, 590, 190}, " Servidor "},
      {"BtnGGetServidor", "GBoxGServidor", {10, 20, 90, 25}, "GetServidor"},
      {"StrGrdGGetServidor", "GBoxGServidor", {10, 50, 570, 75}, nullptr},
      {"EdGSetServidorNome", "GBoxGServidor", {165, 132, 250, 21}, ""},
      {"BtnGSetServidor", "GBoxGServidor", {10, 130, 90, 25}, "SetServidor"},
      {"EdGSetServidorEndereco", "GBoxGServidor", {165, 154, 415, 21}, ""},
      {"BtnGEraseServidor", "GBoxGServidor", {10, 155, 90, 25}, "EraseServidor"},
      {"GBoxGTabela", "FormVESPRIL", {10, 235, 590, 245}, " Tabela "},
      {"BtnGGetTabela", "GBoxGTabela", {10, 20, 90, 25}, "GetTabela"},
      {"SEdTmrGTabela", "GBoxGTabela", {510, 21, 70, 22}, "1000"},
      {"StrGrdGGetTabela", "GBoxGTabela", {10, 50, 570, 115}, nullptr},
      {"EdGSetTabelaTabela", "GBoxGTabela", {165, 172, 250, 21}, ""},
      {"BtnGSetTabela", "GBoxGTabela", {10, 170, 90, 25}, "SetTabela"},
      {"EdGSetTabelaChave", "GBoxGTabela", {165, 194, 250, 21}, ""},
      {"BtnGEraseTabela", "GBoxGTabela", {10, 195, 90, 25}, "EraseTabela"},
      {"SEdGSetTabelaGerador", "GBoxGTabela", {165, 216, 70, 22}, "0"},
  };
  for (const Expected& c : controls) {
    SCOPED_TRACE(c.name);
    QWidget* widget = Find<QWidget>(c.name);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->parentWidget()->objectName(), c.parent);
    EXPECT_EQ(widget->geometry(), c.geometry);
    if (c.caption == nullptr) continue;
    QString caption;
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) caption = button->text();
    if (auto* box = qobject_cast<QGroupBox*>(widget)) caption = box->title();
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) caption = edit->text();
    if (auto* spin = qobject_cast<SpinEdit*>(widget)) caption = spin->Text();
    EXPECT_EQ(Utf8(caption), c.caption);
  }
  EXPECT_EQ(Find<QLineEdit>("EdGSetServidorNome")->maxLength(), 30);
  EXPECT_EQ(Find<QLineEdit>("EdGSetServidorEndereco")->maxLength(), 500);
  EXPECT_EQ(Find<QLineEdit>("EdGSetTabelaTabela")->maxLength(), 30);
  EXPECT_EQ(Find<QLineEdit>("EdGSetTabelaChave")->maxLength(), 30);
  EXPECT_EQ(Find<SpinEdit>("SEdTmrGTabela")->MinValue(), 200);
  EXPECT_EQ(Find<SpinEdit>("SEdTmrGTabela")->MaxValue(), 1000);

  // Labels show their whole text; right-aligned ones end where the layout ends them, beside their field.
  struct Label {
    const char* name;
    const char* text;
    int edge;  // right edge when right-aligned, else left edge
    bool rightAligned;
  };
  const Label labels[] = {{"Label1", "Servidor", 155, true}, {"Label2", "Endereço", 155, true},
                          {"Label3", "Tabela", 155, true},   {"Label4", "Chave", 155, true},
                          {"Label5", "Gerador", 155, true},  {"Label6", "Atualização (ms)", 502, true}};
  for (const Label& l : labels) {
    SCOPED_TRACE(l.name);
    QLabel* label = Find<QLabel>(l.name);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(Utf8(label->text()), l.text);
    EXPECT_EQ(l.rightAligned ? label->geometry().right() : label->geometry().left(), l.edge);
    EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()));
  }
}

TEST_F(FormTest, TabWalksEachParentsControlsInTheirOrder) {
  Open();
  Find<QWidget>("BtnGGetPorta")->setFocus();
  ASSERT_EVENTUALLY(Find<QWidget>("BtnGGetPorta")->hasFocus());
  QStringList visited;
  for (int i = 0; i < 20; ++i) {
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    // A spin edit's focus sits in its inner line edit.
    if (qobject_cast<SpinEdit*>(focus->parentWidget()) != nullptr) focus = focus->parentWidget();
    visited << focus->objectName();
    QTest::keyClick(focus, Qt::Key_Tab);
  }
  EXPECT_EQ(Utf8(visited.join(u' ')),
            "BtnGGetPorta BtnGSetPorta BtnGGetTabelaRelembrar BtnGSetTabelaRelembrar ChBoxGTabelaRelembrar "
            "BtnGGetServidor StrGrdGGetServidor BtnGSetServidor BtnGEraseServidor EdGSetServidorNome "
            "EdGSetServidorEndereco BtnGGetTabela StrGrdGGetTabela BtnGSetTabela BtnGEraseTabela "
            "EdGSetTabelaTabela EdGSetTabelaChave SEdGSetTabelaGerador SEdTmrGTabela SEdGPorta");
}

TEST_F(FormTest, StartsWithEmptyConfigurationAndLaidOutGrids) {
  Open();
  EXPECT_NE(m_form->Engine(), nullptr);
  EXPECT_EQ(Find<SpinEdit>("SEdGPorta")->Text(), "0");
  EXPECT_FALSE(Find<QCheckBox>("ChBoxGTabelaRelembrar")->isChecked());
  EXPECT_EQ(Grid("StrGrdGGetServidor"), "Nome|Endereço/|");
  EXPECT_EQ(Grid("StrGrdGGetTabela"), "Tabela|Chave|Gerador/||");
  EXPECT_EQ(Find<SpinEdit>("SEdTmrGTabela")->Text(), "1000");
  EXPECT_TRUE(Find<QTimer>("TmrGTabela")->isActive());
  EXPECT_EQ(Find<QTimer>("TmrGTabela")->interval(), 1000);
  // Nothing is written at start.
  EXPECT_TRUE(QDir(m_dir.path()).entryList(QDir::Files).isEmpty());

  auto* servers = Find<QTableWidget>("StrGrdGGetServidor");
  auto* tables = Find<QTableWidget>("StrGrdGGetTabela");
  EXPECT_EQ(servers->columnWidth(0), 190);
  EXPECT_EQ(servers->columnWidth(1), 350);
  EXPECT_EQ(tables->columnWidth(0), 220);
  EXPECT_EQ(tables->columnWidth(1), 220);
  EXPECT_EQ(tables->columnWidth(2), 100);
  for (QTableWidget* grid : {servers, tables}) {
    EXPECT_EQ(grid->horizontalHeader()->height(), 17);
    EXPECT_EQ(grid->rowHeight(0), 17);
    EXPECT_FALSE(grid->verticalHeader()->isVisible());
    EXPECT_EQ(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_TRUE(grid->horizontalHeader()->sectionsMovable());
    EXPECT_EQ(grid->horizontalHeader()->sectionResizeMode(0), QHeaderView::Interactive);
  }
}

TEST_F(FormTest, StartsFromTheStoredConfiguration) {
  const int port = test::FreeTcpPort();
  Configure([port](VESPRIL& engine) {
    engine.SetPorta(port);
    engine.SetTabelaRelembrar(true);
    engine.SetTabela("ITEM", "IDITEM", 12);
    engine.SetTabela("CLIENTE", "IDCLIENTE", 7);
  });
  Open();
  EXPECT_EQ(Find<SpinEdit>("SEdGPorta")->Value(), port);
  EXPECT_TRUE(Find<QCheckBox>("ChBoxGTabelaRelembrar")->isChecked());
  EXPECT_EQ(Grid("StrGrdGGetTabela"), "Tabela|Chave|Gerador/CLIENTE|IDCLIENTE|7/ITEM|IDITEM|12");
  EXPECT_EQ(m_form->Engine()->Soquete().BoundPort(), port);
}

TEST_F(FormTest, PortIsStoredFromTheSpinEditAndReadBack) {
  Open();
  const int port = test::FreeTcpPort();
  Type("SEdGPorta", QString::number(port));
  Click("BtnGSetPorta");
  EXPECT_EQ(m_form->Engine()->GetPorta(), port);
  EXPECT_TRUE(m_form->Engine()->Soquete().Active());
  EXPECT_TRUE(ReadFile(m_dir.filePath("Porta_Relembrar.xml"))
                  .contains(QByteArray("Valor=\"") + QByteArray::number(port)));

  Type("SEdGPorta", QStringLiteral("1"));
  Click("BtnGGetPorta");
  EXPECT_EQ(Find<SpinEdit>("SEdGPorta")->Text(), QString::number(port));

  // A text that is not a number goes out as 0.
  Type("SEdGPorta", QStringLiteral("-"));
  Click("BtnGSetPorta");
  EXPECT_EQ(m_form->Engine()->GetPorta(), 0);
}

// The stored port held by another program: its error is shown, and the window keeps an engine whose
// listener is closed, on which another port can be set and is served.
TEST_F(FormTest, StoredPortThatIsTakenIsShownAndAnotherCanBeServed) {
  QTcpServer squatter;
  ASSERT_TRUE(squatter.listen(QHostAddress::AnyIPv4, 0));
  const int taken = squatter.serverPort();
  Configure([taken](VESPRIL& engine) { engine.SalvarPorta(taken); });
  BoxAnswerer boxes;
  Open();
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(Utf8(boxes.Boxes().front().text),
            "Windows socket error: Address already in use (98), on API 'bind'");
  ASSERT_NE(m_form->Engine(), nullptr);
  EXPECT_FALSE(m_form->Engine()->Soquete().Active());
  EXPECT_EQ(m_form->windowTitle(), "VESPRIL");
  EXPECT_EQ(Find<SpinEdit>("SEdGPorta")->Value(), taken);

  const int port = test::FreeTcpPort();
  Type("SEdGPorta", QString::number(port));
  Click("BtnGSetPorta");
  EXPECT_EQ(m_form->Engine()->Soquete().BoundPort(), port);
  EXPECT_TRUE(test::SocketClient(port).Connected());
  EXPECT_EQ(boxes.Boxes().size(), 1u);
}

TEST_F(FormTest, RecountFlagFollowsTheCheckBox) {
  Open();
  auto* flag = Find<QCheckBox>("ChBoxGTabelaRelembrar");
  QTest::mouseClick(flag, Qt::LeftButton);
  ASSERT_TRUE(flag->isChecked());
  Click("BtnGSetTabelaRelembrar");
  EXPECT_TRUE(m_form->Engine()->GetTabelaRelembrar());

  QTest::mouseClick(flag, Qt::LeftButton);
  ASSERT_FALSE(flag->isChecked());
  Click("BtnGGetTabelaRelembrar");
  EXPECT_TRUE(flag->isChecked());

  QTest::mouseClick(flag, Qt::LeftButton);
  Click("BtnGSetTabelaRelembrar");
  EXPECT_FALSE(m_form->Engine()->GetTabelaRelembrar());
}

TEST_F(FormTest, TablesAreSetListedAndErasedThroughTheirFields) {
  Open();
  StopTimer();
  Type("EdGSetTabelaTabela", QStringLiteral("ITEM"));
  Type("EdGSetTabelaChave", QStringLiteral("IDITEM"));
  Type("SEdGSetTabelaGerador", QStringLiteral("5"));
  Click("BtnGSetTabela");
  EXPECT_EQ(Grid("StrGrdGGetTabela"), "Tabela|Chave|Gerador/ITEM|IDITEM|5");

  Type("EdGSetTabelaTabela", QStringLiteral("CLIENTE"));
  Type("EdGSetTabelaChave", QStringLiteral("IDCLIENTE"));
  Type("SEdGSetTabelaGerador", QStringLiteral("-3"));
  Click("BtnGSetTabela");
  EXPECT_EQ(Grid("StrGrdGGetTabela"), "Tabela|Chave|Gerador/CLIENTE|IDCLIENTE|-3/ITEM|IDITEM|5");
  EXPECT_TRUE(QFile::exists(m_dir.filePath("Tabela.xml")));

  Type("EdGSetTabelaTabela", QStringLiteral("CLIENTE"));
  Click("BtnGEraseTabela");
  EXPECT_EQ(Grid("StrGrdGGetTabela"), "Tabela|Chave|Gerador/ITEM|IDITEM|5");

  // Erasing a name that isn't stored changes nothing and says nothing.
  BoxAnswerer boxes;
  Type("EdGSetTabelaTabela", QStringLiteral("NENHUMA"));
  Click("BtnGEraseTabela");
  EXPECT_EQ(Grid("StrGrdGGetTabela"), "Tabela|Chave|Gerador/ITEM|IDITEM|5");
  Type("EdGSetTabelaTabela", QStringLiteral("ITEM"));
  Click("BtnGEraseTabela");
  EXPECT_EQ(Grid("StrGrdGGetTabela"), "Tabela|Chave|Gerador/||");
  EXPECT_TRUE(boxes.Boxes().empty()) << Utf8(boxes.Texts());
}

// An operation runs as an engine task: the click returns with the buttons disabled and the grid as it
// was; the refresh and the buttons come back when the task ends.
TEST_F(FormTest, ButtonsWaitDisabledWhileAnOperationRuns) {
  Open();
  StopTimer();
  Type("EdGSetTabelaTabela", QStringLiteral("ITEM"));
  Type("EdGSetTabelaChave", QStringLiteral("IDITEM"));
  Type("SEdGSetTabelaGerador", QStringLiteral("5"));
  QTest::mouseClick(Find<QPushButton>("BtnGSetTabela"), Qt::LeftButton);
  EXPECT_TRUE(m_form->Operando());
  EXPECT_FALSE(Find<QPushButton>("BtnGGetTabela")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>("BtnGSetTabela")->isEnabled());
  EXPECT_EQ(Grid("StrGrdGGetTabela"), "Tabela|Chave|Gerador/||");
  ASSERT_TRUE(QTest::qWaitFor([this] { return !m_form->Operando(); }, 30000));
  EXPECT_TRUE(Find<QPushButton>("BtnGGetTabela")->isEnabled());
  EXPECT_EQ(Grid("StrGrdGGetTabela"), "Tabela|Chave|Gerador/ITEM|IDITEM|5");
}

TEST_F(FormTest, ServersAreSetAttachedListedAndErased) {
  const test::FirebirdTestDatabase matriz;
  const test::FirebirdTestDatabase filial;
  Open();
  Type("EdGSetServidorNome", QStringLiteral("Matriz"));
  Type("EdGSetServidorEndereco", QString::fromStdString(matriz.Address()));
  Click("BtnGSetServidor");
  EXPECT_EQ(Grid("StrGrdGGetServidor"), "Nome|Endereço/Matriz|" + matriz.Address());
  EXPECT_TRUE(m_form->Engine()->Slot(1).baseDados.Connected());
  EXPECT_TRUE(QFile::exists(m_dir.filePath("Servidor.xml")));

  // Names travel as single-byte text.
  Type("EdGSetServidorNome", QStringLiteral("Filial São"));
  Type("EdGSetServidorEndereco", QString::fromStdString(filial.Address()));
  Click("BtnGSetServidor");
  EXPECT_EQ(Grid("StrGrdGGetServidor"),
            "Nome|Endereço/Filial São|" + filial.Address() + "/Matriz|" + matriz.Address());
  EXPECT_EQ(m_form->Engine()->GetServidor(),
            "Filial S\xE3o," + filial.Address() + ";Matriz," + matriz.Address() + ";");

  Type("EdGSetServidorNome", QStringLiteral("filial são"));
  Click("BtnGEraseServidor");
  EXPECT_EQ(Grid("StrGrdGGetServidor"), "Nome|Endereço/Matriz|" + matriz.Address());
  EXPECT_TRUE(m_form->Engine()->Slot(1).baseDados.Connected());
  EXPECT_FALSE(m_form->Engine()->Slot(2).baseDados.Connected());
}

// The main window says whether clients are served on the port, and why not.
TEST_F(FormTest, PortLabelSaysWhetherThePortIsServedAndWhyNot) {
  QTcpServer ocupada;
  ASSERT_TRUE(ocupada.listen(QHostAddress::Any, 0));
  const int livre = test::FreeTcpPort();
  const struct {
    int porta;
    std::string texto;
  } casos[] = {
      {0, "Porta 0: nenhum cliente é atendido"},
      {livre, "Porta " + std::to_string(livre) + " aberta: clientes atendidos"},
      {ocupada.serverPort(),
       "Porta " + std::to_string(ocupada.serverPort()) +
           " fechada: Windows socket error: Address already in use (98), on API 'bind'"},
  };
  Open();
  for (const auto& caso : casos) {
    BoxAnswerer boxes;
    Type("SEdGPorta", QString::number(caso.porta));
    Click("BtnGSetPorta");
    EXPECT_EQ(Utf8(Find<QLabel>("LblPorta")->text()), caso.texto);
  }
}

TEST_F(FormTest, ServerFieldsGoToTheEngineUnchanged) {
  const test::FirebirdTestDatabase database;
  Open();
  // An empty name is passed on as it is.
  Type("EdGSetServidorEndereco", QString::fromStdString(database.Address()));
  Click("BtnGSetServidor");
  EXPECT_EQ(m_form->Engine()->GetServidor(), "," + database.Address() + ";");

  // What the engine could not hold cannot be typed.
  Type("EdGSetServidorNome", QStringLiteral("A€B"));
  EXPECT_EQ(Find<QLineEdit>("EdGSetServidorNome")->text(), "AB");
}

TEST_F(FormTest, UnreachableServerIsReportedAndTheGridKeepsItsRows) {
  Open();
  Type("EdGSetServidorNome", QStringLiteral("Perdido"));
  Type("EdGSetServidorEndereco", m_dir.filePath(QStringLiteral("nao-existe.fdb")));
  BoxAnswerer boxes;
  Click("BtnGSetServidor");
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_TRUE(boxes.Boxes().front().text.contains(QStringLiteral("nao-existe.fdb"))) << Utf8(boxes.Texts());
  EXPECT_EQ(Grid("StrGrdGGetServidor"), "Nome|Endereço/|");
  EXPECT_FALSE(QFile::exists(m_dir.filePath("Servidor.xml")));
  // The record stays in memory, unsaved: only a refresh asked for shows it.
  Click("BtnGGetServidor");
  EXPECT_EQ(Grid("StrGrdGGetServidor"), "Nome|Endereço/Perdido|" + Utf8(m_dir.filePath("nao-existe.fdb")));
}

TEST_F(FormTest, GetButtonsRedrawWhatTheEngineHolds) {
  Open();
  StopTimer();
  m_form->Engine()->SetTabela("PEDIDO", "IDPEDIDO", 40);
  EXPECT_EQ(Grid("StrGrdGGetTabela"), "Tabela|Chave|Gerador/||");
  Click("BtnGGetTabela");
  EXPECT_EQ(Grid("StrGrdGGetTabela"), "Tabela|Chave|Gerador/PEDIDO|IDPEDIDO|40");
  Click("BtnGGetServidor");
  EXPECT_EQ(Grid("StrGrdGGetServidor"), "Nome|Endereço/|");
}

TEST_F(FormTest, NonIntegerGeneratorIsRefusedInABoxBeforeTheEngineIsCalled) {
  Open();
  StopTimer();
  // Left in the engine unseen: a refresh after the failure would show it.
  m_form->Engine()->SetTabela("PEDIDO", "IDPEDIDO", 40);
  Type("EdGSetTabelaTabela", QStringLiteral("ITEM"));
  Type("EdGSetTabelaChave", QStringLiteral("IDITEM"));
  // Letters can only arrive pasted.
  Find<SpinEdit>("SEdGSetTabelaGerador")->findChild<QLineEdit*>()->setText(QStringLiteral("abc"));
  {
    BoxAnswerer boxes;
    Click("BtnGSetTabela");
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    const BoxAnswerer::Box& box = boxes.Boxes().front();
    EXPECT_EQ(Utf8(box.title), "VESPRIL");
    EXPECT_EQ(Utf8(box.text), "'abc' is not a valid integer value.");
    EXPECT_EQ(box.icon, QMessageBox::Critical);
    EXPECT_EQ(box.buttons, QMessageBox::Ok);
  }
  EXPECT_EQ(m_form->Engine()->GetTabela(), "PEDIDO,IDPEDIDO,40;");
  EXPECT_EQ(Grid("StrGrdGGetTabela"), "Tabela|Chave|Gerador/||");

  // A lone sign, a decimal number and a number past 32 bits fail the same way.
  for (const QString& text : {QStringLiteral("-"), QStringLiteral("1.5"), QStringLiteral("2147483648")}) {
    BoxAnswerer boxes;
    Type("SEdGSetTabelaGerador", text);
    Click("BtnGSetTabela");
    EXPECT_EQ(Utf8(boxes.Texts()), "'" + Utf8(text) + "' is not a valid integer value.");
  }
  EXPECT_EQ(m_form->Engine()->GetTabela(), "PEDIDO,IDPEDIDO,40;");
}

TEST_F(FormTest, FailingEngineOperationShowsItsMessageAndSkipsTheRefresh) {
  Open();
  QTcpServer taken;
  ASSERT_TRUE(taken.listen(QHostAddress::AnyIPv4, 0));
  Type("SEdGPorta", QString::number(taken.serverPort()));
  BoxAnswerer boxes;
  Click("BtnGSetPorta");
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_FALSE(boxes.Boxes().front().text.isEmpty());
  EXPECT_FALSE(m_form->Engine()->Soquete().Active());
  // The program goes on: the next operation works.
  Type("SEdGPorta", QString::number(test::FreeTcpPort()));
  Click("BtnGSetPorta");
  EXPECT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_TRUE(m_form->Engine()->Soquete().Active());
}

// The error box of a failed operation opens once the requests that waited for the operation are
// under way: a "Baixar" queued behind it is answered while the box is still open.
TEST_F(FormTest, ErrorBoxOfAnOperationHoldsUpNoRequest) {
  std::vector<std::string> ddl = test::FirebirdTestDatabase::OrdersDdl();
  ddl.push_back("create table N (I integer)");
  ddl.push_back(
      "execute block as declare i integer = 0; begin while (i < 250) do begin insert into N values (:i); "
      "i = i + 1; end end");
  const test::FirebirdTestDatabase alfa({.ddl = ddl});
  const int port = test::FreeTcpPort();
  Configure([&](VESPRIL& engine) {
    engine.SetPorta(port);
    engine.SetServidor("ALFA", alfa.Address());
  });
  qputenv("VESPRIL_DIR_CONSULTAS", m_dir.path().toLocal8Bit());
  Open();
  qunsetenv("VESPRIL_DIR_CONSULTAS");
  StopTimer();
  // A query keeps the agenda busy, so the operation and the "Baixar" after it wait their turn.
  test::SocketClient longo(port);
  ASSERT_TRUE(longo.Connected());
  longo.Send(test::Pedir("c", "1", "select count(*) as TOTAL from N a, N b, N c where c.I < 60;"));
  ASSERT_EVENTUALLY(QFile::exists(m_dir.filePath("Consultac1.xml")));
  Type("EdGSetServidorNome", QStringLiteral("Perdido"));
  Type("EdGSetServidorEndereco", m_dir.filePath(QStringLiteral("nao-existe.fdb")));
  QTest::mouseClick(Find<QPushButton>("BtnGSetServidor"), Qt::LeftButton);
  test::SocketClient baixar(port);
  ASSERT_TRUE(baixar.Connected());
  baixar.Send(test::Pedir("c", "2", "Baixar"));

  std::string resposta;
  BoxAnswerer boxes;
  boxes.HoldEachBoxFor(1500);
  boxes.BeforeAnswering([&] { resposta = baixar.Received(); });
  ASSERT_TRUE(QTest::qWaitFor([this] { return !m_form->Operando(); }, 60000));
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_NE(resposta.find(MarcaFim), std::string::npos) << resposta;
}

TEST_F(FormTest, ListenerErrorsAreShownInTheSameBox) {
  Open();
  BoxAnswerer boxes;
  ASSERT_TRUE(m_form->Engine()->OnAviso);
  m_form->Engine()->OnAviso("Asynchronous socket error 10053");
  EXPECT_EQ(Utf8(boxes.Texts()), "Asynchronous socket error 10053.");
}

TEST_F(FormTest, SelectedCellBecomesTheGridsHint) {
  Configure([](VESPRIL& engine) {
    engine.SetTabela("CLIENTE", "IDCLIENTE", 7);
    engine.SetTabela("ITEM", "IDITEM", 12);
  });
  Open();
  StopTimer();
  auto* grid = Find<QTableWidget>("StrGrdGGetTabela");
  const QRect cell = grid->visualItemRect(grid->item(1, 1));
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_EQ(grid->toolTip(), "IDITEM");

  // Resting the pointer anywhere on the grid shows it.
  const QPoint elsewhere = grid->visualItemRect(grid->item(0, 0)).center();
  QHelpEvent hover(QEvent::ToolTip, elsewhere, grid->viewport()->mapToGlobal(elsewhere));
  QApplication::sendEvent(grid->viewport(), &hover);
  EXPECT_EVENTUALLY_EQ(QToolTip::text(), QStringLiteral("IDITEM"));
  QToolTip::hideText();

  // Selecting does not fill the edit fields.
  QTest::keyClick(grid, Qt::Key_Right);
  EXPECT_EQ(grid->toolTip(), "12");
  EXPECT_EQ(Find<QLineEdit>("EdGSetTabelaTabela")->text(), "");
}

TEST_F(FormTest, HintFollowsOnlyCellsTheOperatorSelects) {
  Configure([](VESPRIL& engine) {
    engine.SetTabela("CLIENTE", "IDCLIENTE", 7);
    engine.SetTabela("ITEM", "IDITEM", 12);
  });
  Open();
  StopTimer();
  auto* grid = Find<QTableWidget>("StrGrdGGetTabela");
  // Focus arriving by Tab selects nothing.
  auto* before = Find<QPushButton>("BtnGGetTabela");
  before->setFocus();
  ASSERT_EVENTUALLY(before->hasFocus());
  QTest::keyClick(before, Qt::Key_Tab);
  ASSERT_EVENTUALLY(grid->hasFocus());
  EXPECT_EQ(grid->toolTip(), "");

  // Clicking the current cell again shows what it holds now, after a redraw changed it.
  const QPoint generator = grid->visualItemRect(grid->item(1, 2)).center();
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, generator);
  EXPECT_EQ(grid->toolTip(), "12");
  m_form->Engine()->SetTabela("ITEM", "IDITEM", 13);
  Click("BtnGGetTabela");
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, generator);
  EXPECT_EQ(grid->toolTip(), "13");

  // A typed character does not go looking for a row that starts with it.
  QTest::keyClicks(grid, QStringLiteral("7"));
  EXPECT_EQ(grid->currentRow(), 1);
  EXPECT_EQ(grid->toolTip(), "13");
}

TEST_F(FormTest, TimerRefreshesTheTableGridAtTheChosenInterval) {
  Open();
  m_form->Engine()->SetTabela("ITEM", "IDITEM", 1);
  EXPECT_EVENTUALLY_EQ(Grid("StrGrdGGetTabela"), std::string("Tabela|Chave|Gerador/ITEM|IDITEM|1"));

  auto* interval = Find<SpinEdit>("SEdTmrGTabela");
  auto* timer = Find<QTimer>("TmrGTabela");
  interval->setFocus();
  ASSERT_EVENTUALLY(interval->hasFocus());
  // Every intermediate text takes effect; 0 stops the refresh instead of running it without pause.
  Retype(interval, QStringLiteral("30"));
  EXPECT_EQ(timer->interval(), 30);
  EXPECT_TRUE(timer->isActive());
  QTest::keyClick(interval, Qt::Key_Backspace);
  QTest::keyClick(interval, Qt::Key_Backspace);
  QTest::keyClicks(interval, QStringLiteral("0"));
  EXPECT_FALSE(timer->isActive());
  m_form->Engine()->SetTabela("ITEM", "IDITEM", 2);
  QTest::qWait(300);
  EXPECT_EQ(Grid("StrGrdGGetTabela"), "Tabela|Chave|Gerador/ITEM|IDITEM|1");
  QTest::keyClicks(interval, QStringLiteral("-"));  // "0-": the minimum
  EXPECT_EQ(timer->interval(), 200);
  EXPECT_TRUE(timer->isActive());

  // Leaving the field brings the value into range, which restarts the timer once more.
  Retype(interval, QStringLiteral("0"));
  Find<QWidget>("EdGSetTabelaTabela")->setFocus();
  EXPECT_EVENTUALLY_EQ(interval->Text(), QStringLiteral("200"));
  EXPECT_EQ(timer->interval(), 200);
  EXPECT_TRUE(timer->isActive());
  EXPECT_EVENTUALLY_EQ(Grid("StrGrdGGetTabela"), std::string("Tabela|Chave|Gerador/ITEM|IDITEM|2"));
}

TEST_F(FormTest, TicksDueWhileATickIsDispatchingAreSkipped) {
  Open();
  auto* grid = Find<QTableWidget>("StrGrdGGetTabela");
  Retype(Find<SpinEdit>("SEdTmrGTabela"), QStringLiteral("200"));
  Find<SpinEdit>("SEdGSetTabelaGerador")->findChild<QLineEdit*>()->setText(QStringLiteral("x"));
  int generator = 0;
  QTimer bump;  // keeps changing what the next redraw shows
  QObject::connect(&bump, &QTimer::timeout,
                   [&] { m_form->Engine()->SetTabela("ITEM", "IDITEM", ++generator); });
  bump.start(50);

  // A tick redraws the grid, then dispatches what is pending: what is posted from inside that redraw
  // runs there. The operator sets the interval again (a new timer, which Qt would fire even inside
  // the tick of the old one) and clicks a button whose error box stays open for a second. The ticks
  // that come due meanwhile must not redraw the grid.
  BoxAnswerer boxes;
  boxes.HoldEachBoxFor(1000);
  int redrawsDuringBox = 0;
  bool clickPosted = false;
  QObject::connect(grid->model(), &QAbstractItemModel::dataChanged, grid, [&] {
    if (QApplication::activeModalWidget() != nullptr) ++redrawsDuringBox;
    if (clickPosted) return;
    clickPosted = true;
    QTimer::singleShot(0, grid, [this] {
      Retype(Find<SpinEdit>("SEdTmrGTabela"), QStringLiteral("200"));
      Click("BtnGSetTabela");
    });
  });
  EXPECT_EVENTUALLY_EQ(boxes.Boxes().size(), size_t{1});
  bump.stop();
  EXPECT_EQ(redrawsDuringBox, 0);
  // Afterwards the ticks go on.
  EXPECT_EVENTUALLY_EQ(Grid("StrGrdGGetTabela"),
                       "Tabela|Chave|Gerador/ITEM|IDITEM|" + std::to_string(generator));
}

TEST_F(FormTest, FailedStartLeavesAWindowThatCannotActOnAnEngine) {
  WriteFile(QStringLiteral("Servidor.xml"), QByteArray());
  BoxAnswerer boxes;
  Open();
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_TRUE(boxes.Boxes().front().text.contains(QStringLiteral("Servidor.xml"))) << Utf8(boxes.Texts());
  EXPECT_EQ(boxes.Boxes().front().icon, QMessageBox::Critical);
  EXPECT_EQ(m_form->Engine(), nullptr);
  EXPECT_EQ(m_form->windowTitle(), "VESPRIL - gateway parado");
  for (const char* name :
       {"BtnGGetPorta", "BtnGSetPorta", "BtnGGetTabelaRelembrar", "BtnGSetTabelaRelembrar", "BtnGGetServidor",
        "BtnGSetServidor", "BtnGEraseServidor", "BtnGGetTabela", "BtnGSetTabela", "BtnGEraseTabela"}) {
    EXPECT_FALSE(Find<QPushButton>(name)->isEnabled()) << name;
  }
  // The grids are left as they were before the layout, and the timer ticks without doing anything.
  EXPECT_EQ(Grid("StrGrdGGetTabela"), "||/||");
  auto* timer = Find<QTimer>("TmrGTabela");
  EXPECT_TRUE(timer->isActive());
  Retype(Find<SpinEdit>("SEdTmrGTabela"), QStringLiteral("200"));
  QSignalSpy ticks(timer, &QTimer::timeout);
  ASSERT_EVENTUALLY(ticks.count() >= 2);
  EXPECT_EQ(Grid("StrGrdGGetTabela"), "||/||");
  EXPECT_EQ(boxes.Boxes().size(), 1u);
  // Nothing was written by the failed start.
  EXPECT_EQ(QDir(m_dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("Servidor.xml")});
}

}  // namespace
}  // namespace vespril
