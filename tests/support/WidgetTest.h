// Tools for the tests that drive real widgets on the GUI thread: waits that fail a GoogleTest case,
// an answerer for modal message boxes, grids dumped as one line, and typing as the operator would.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPoint>
#include <QSize>
#include <QStringList>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

// Geometry in failure messages as numbers rather than bytes.
inline void PrintTo(const QPoint& point, std::ostream* out) {
  *out << "(" << point.x() << "," << point.y() << ")";
}
inline void PrintTo(const QSize& size, std::ostream* out) { *out << size.width() << "x" << size.height(); }

namespace vespril::test {

// Waits for a condition while events run. QtTest's QTRY_* macros report to QtTest, which no GoogleTest
// case hears: a wait that ran out would pass. These fail the test instead.
inline bool Eventually(const std::function<bool()>& condition, int timeoutMs = 5000) {
  return QTest::qWaitFor(condition, timeoutMs);
}
#define ASSERT_EVENTUALLY(condition) \
  ASSERT_TRUE(::vespril::test::Eventually([&] { return static_cast<bool>(condition); })) << #condition
#define EXPECT_EVENTUALLY_EQ(actual, expected)                           \
  do {                                                                   \
    ::vespril::test::Eventually([&] { return (actual) == (expected); }); \
    EXPECT_EQ(actual, expected);                                         \
  } while (false)

// Answers every modal message box that opens while it lives, from a polling timer (each box blocks in
// its own event loop), and records what each one said.
class BoxAnswerer {
 public:
  struct Box {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
  };

  BoxAnswerer() {
    m_timer.setInterval(10);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible()) return;
      if (m_holdMs > 0 && !m_holding) {
        // Keeps the box open a while, so that what would run meanwhile gets its chance.
        m_holding = true;
        QTimer::singleShot(m_holdMs, box, [this, box] { Answer(box); });
        return;
      }
      if (!m_holding) Answer(box);
    });
    m_timer.start();
  }

  void HoldEachBoxFor(int ms) { m_holdMs = ms; }
  // Runs just before each box is answered.
  void BeforeAnswering(std::function<void()> before) { m_before = std::move(before); }
  const std::vector<Box>& Boxes() const { return m_boxes; }
  QString Texts() const {
    QStringList texts;
    for (const Box& box : m_boxes) texts << box.text;
    return texts.join(QStringLiteral(" | "));
  }

 private:
  void Answer(QMessageBox* box) {
    if (m_before) m_before();
    m_boxes.push_back({box->windowTitle(), box->text(), box->icon(), box->standardButtons()});
    m_holding = false;
    box->button(QMessageBox::Ok) != nullptr ? box->button(QMessageBox::Ok)->click() : box->reject();
  }

  QTimer m_timer;
  std::vector<Box> m_boxes;
  int m_holdMs = 0;
  bool m_holding = false;
  std::function<void()> m_before;
};

inline std::string Utf8(const QString& text) { return text.toStdString(); }

// A grid as one line: the header cells, then each row, cells joined by "|" and rows by "/".
inline std::string Dump(const QTableWidget& grid) {
  QStringList rows;
  QStringList header;
  for (int c = 0; c < grid.columnCount(); ++c) {
    const QTableWidgetItem* item = grid.horizontalHeaderItem(c);
    header << (item != nullptr ? item->text() : QStringLiteral("?"));
  }
  rows << header.join(u'|');
  for (int r = 0; r < grid.rowCount(); ++r) {
    QStringList cells;
    for (int c = 0; c < grid.columnCount(); ++c) {
      const QTableWidgetItem* item = grid.item(r, c);
      cells << (item != nullptr ? item->text() : QString());
    }
    rows << cells.join(u'|');
  }
  return Utf8(rows.join(u'/'));
}

// Types text key by key; QTest::keyClicks knows only ASCII, so other characters go as bare text.
inline void KeyIn(QWidget* field, const QString& text) {
  for (QChar c : text) {
    if (c.unicode() < 128) {
      QTest::keyClick(field, c.toLatin1());
    } else {
      QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
  }
}

// Replaces a field's whole text by typing, as the operator would.
inline void Retype(QWidget* field, const QString& text) {
  QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(field, Qt::Key_Delete);
  KeyIn(field, text);
}

}  // namespace vespril::test
