#include "ui/SpinEdit.h"

#include <climits>

#include <gtest/gtest.h>
#include <QLineEdit>
#include <QLocale>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include "tests/support/WidgetTest.h"

namespace vespril {
namespace {

using test::Retype;

class SpinEditTest : public testing::Test {
 protected:
  void SetUp() override {
    m_window.resize(200, 100);
    m_ranged = new SpinEdit(&m_window);
    m_ranged->SetMinValue(200);
    m_ranged->SetMaxValue(1000);
    m_ranged->SetValue(1000);
    m_free = new SpinEdit(&m_window);
    m_free->move(0, 30);
    m_other = new QLineEdit(&m_window);
    m_other->move(0, 60);
    m_window.show();
    m_window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&m_window));
  }

  void FocusOn(QWidget* widget) {
    widget->setFocus();
    ASSERT_EVENTUALLY(widget->hasFocus());
  }

  QWidget m_window;
  SpinEdit* m_ranged = nullptr;
  SpinEdit* m_free = nullptr;
  QLineEdit* m_other = nullptr;
};

TEST_F(SpinEditTest, TypedDigitsSignsAndDecimalSeparatorAreKept) {
  Retype(m_free, QStringLiteral("-12"));
  EXPECT_EQ(m_free->Text(), "-12");
  EXPECT_EQ(m_free->Value(), -12);
  Retype(m_free, QStringLiteral("+7"));
  EXPECT_EQ(m_free->Value(), 7);
  Retype(m_free, QStringLiteral("1-2"));  // each key alone is allowed, whatever the whole makes
  EXPECT_EQ(m_free->Text(), "1-2");

  m_free->setLocale(QLocale(QLocale::Portuguese, QLocale::Brazil));
  Retype(m_free, QStringLiteral("1,5"));
  EXPECT_EQ(m_free->Text(), "1,5");
  QTest::keyClick(m_free, Qt::Key_Backspace);
  EXPECT_EQ(m_free->Text(), "1,");
}

TEST_F(SpinEditTest, OtherKeysAndEnterAreRefused) {
  Retype(m_free, QStringLiteral("12"));
  QTest::keyClicks(m_free, QStringLiteral("a Z*/e"));
  QTest::keyClick(m_free, Qt::Key_Return);
  QTest::keyClick(m_free, Qt::Key_Enter);
  EXPECT_EQ(m_free->Text(), "12");

  // Under a locale whose decimal separator is ",", the "." is just another refused key.
  m_free->setLocale(QLocale(QLocale::Portuguese, QLocale::Brazil));
  QTest::keyClicks(m_free, QStringLiteral("."));
  EXPECT_EQ(m_free->Text(), "12");
}

TEST_F(SpinEditTest, ValueIsTheTextUnclampedOrTheMinimumWhenNotAnInteger) {
  FocusOn(m_ranged);
  Retype(m_ranged, QStringLiteral("5000"));
  EXPECT_EQ(m_ranged->Value(), 5000);
  Retype(m_ranged, QStringLiteral("50"));
  EXPECT_EQ(m_ranged->Value(), 50);
  Retype(m_ranged, QStringLiteral("-"));
  EXPECT_EQ(m_ranged->Value(), 200);
  Retype(m_ranged, QString());
  EXPECT_EQ(m_ranged->Value(), 200);
  Retype(m_ranged, QStringLiteral("99999999999"));
  EXPECT_EQ(m_ranged->Value(), 200);
  Retype(m_free, QStringLiteral("1.5"));
  EXPECT_EQ(m_free->Value(), 0);
}

TEST_F(SpinEditTest, LeavingTheFieldBringsATypedValueIntoTheRange) {
  FocusOn(m_ranged);
  Retype(m_ranged, QStringLiteral("5000"));
  FocusOn(m_other);
  EXPECT_EQ(m_ranged->Text(), "1000");

  FocusOn(m_ranged);
  Retype(m_ranged, QStringLiteral("5"));
  FocusOn(m_other);
  EXPECT_EQ(m_ranged->Text(), "200");

  // Text that is not a number reads as the minimum, which is in range: it stays as typed.
  FocusOn(m_ranged);
  Retype(m_ranged, QStringLiteral("-"));
  FocusOn(m_other);
  EXPECT_EQ(m_ranged->Text(), "-");

  // Without a range nothing is corrected.
  FocusOn(m_free);
  Retype(m_free, QStringLiteral("-7"));
  FocusOn(m_other);
  EXPECT_EQ(m_free->Text(), "-7");
}

TEST_F(SpinEditTest, ValuesSetByProgramAreClampedOnlyWithARange) {
  m_ranged->SetValue(50);
  EXPECT_EQ(m_ranged->Text(), "200");
  m_ranged->SetValue(70000);
  EXPECT_EQ(m_ranged->Text(), "1000");
  m_free->SetValue(-5);
  EXPECT_EQ(m_free->Text(), "-5");
  m_free->SetValue(70000);
  EXPECT_EQ(m_free->Text(), "70000");
}

TEST_F(SpinEditTest, ArrowKeysAndButtonsStepByOneWithinTheRange) {
  Retype(m_free, QStringLiteral("41"));
  QTest::keyClick(m_free, Qt::Key_Up);
  EXPECT_EQ(m_free->Text(), "42");
  QTest::keyClick(m_free, Qt::Key_Down);
  QTest::keyClick(m_free, Qt::Key_Down);
  EXPECT_EQ(m_free->Text(), "40");
  QTest::keyClick(m_free, Qt::Key_PageUp);
  EXPECT_EQ(m_free->Text(), "40");

  // A step starts from what the text reads as: the minimum for a text that is not a number.
  Retype(m_free, QStringLiteral("x-"));
  QTest::keyClick(m_free, Qt::Key_Up);
  EXPECT_EQ(m_free->Text(), "1");
  m_free->SetValue(INT_MAX);
  QTest::keyClick(m_free, Qt::Key_Up);
  EXPECT_EQ(m_free->Text(), QString::number(INT_MAX));

  QTest::keyClick(m_ranged, Qt::Key_Up);
  EXPECT_EQ(m_ranged->Text(), "1000");
  Retype(m_ranged, QStringLiteral("5000"));
  QTest::keyClick(m_ranged, Qt::Key_Down);
  EXPECT_EQ(m_ranged->Text(), "1000");
  Retype(m_ranged, QStringLiteral("abc"));  // only "" is left of it
  QTest::keyClick(m_ranged, Qt::Key_Down);
  EXPECT_EQ(m_ranged->Text(), "200");

  // The up button sits in the upper right corner and the down button below it.
  m_free->SetValue(10);
  QTest::mouseClick(m_free, Qt::LeftButton, {}, QPoint(m_free->width() - 4, 4));
  EXPECT_EQ(m_free->Text(), "11");
  QTest::mouseClick(m_free, Qt::LeftButton, {}, QPoint(m_free->width() - 4, m_free->height() - 4));
  QTest::mouseClick(m_free, Qt::LeftButton, {}, QPoint(m_free->width() - 4, m_free->height() - 4));
  EXPECT_EQ(m_free->Text(), "9");
}

TEST_F(SpinEditTest, EveryTextChangeSignalsOnce) {
  QSignalSpy changes(m_free, &SpinEdit::Change);
  QTest::keyClicks(m_free, QStringLiteral("123"));
  EXPECT_EQ(changes.count(), 3);
  m_free->SetValue(5);
  EXPECT_EQ(changes.count(), 4);
  QTest::keyClick(m_free, Qt::Key_Up);
  EXPECT_EQ(changes.count(), 5);
  QTest::keyClick(m_free, Qt::Key_Return);  // refused: no change
  EXPECT_EQ(changes.count(), 5);
}

}  // namespace
}  // namespace vespril
