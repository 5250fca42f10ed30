// FormTest: the fixture of the tests that drive the main window. Each test runs in a fresh working
// directory, where the engine finds (or misses) its files, and opens the window on the GUI thread
// itself; controls are found by their object names and driven as the operator would.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "gateway/UVESPRIL.h"
#include "tests/support/WidgetTest.h"
#include "ui/UFormVESPRIL.h"

namespace vespril::test {

class FormTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dir.isValid());
    m_previousDir = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(m_dir.path()));
  }

  void TearDown() override {
    m_form.reset();
    QDir::setCurrent(m_previousDir);
  }

  void WriteFile(const QString& name, const QByteArray& content) {
    QFile file(m_dir.filePath(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
  }

  // Prepares the stored configuration through an engine of its own, gone before the window starts.
  void Configure(const std::function<void(VESPRIL&)>& change) {
    VESPRIL engine;
    change(engine);
  }

  TFormVESPRIL& Open() {
    m_form = std::make_unique<TFormVESPRIL>();
    m_form->show();
    m_form->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(m_form.get()));
    return *m_form;
  }

  // The refresh timer is stopped where a test looks at a grid that a tick would redraw.
  void StopTimer() { Find<QTimer>("TmrGTabela")->stop(); }

  template <typename T>
  T* Find(const char* name) {
    T* found = m_form->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
  }

  // An operation that changes the configuration runs as an engine task: the click returns at once,
  // and its refresh or error box comes when the task ends.
  void Click(const char* button) {
    QTest::mouseClick(Find<QPushButton>(button), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([this] { return !m_form->Operando(); }, 30000)) << button;
  }
  void Type(const char* field, const QString& text) { Retype(Find<QWidget>(field), text); }
  std::string Grid(const char* name) { return Dump(*Find<QTableWidget>(name)); }

  QTemporaryDir m_dir;
  QString m_previousDir;
  std::unique_ptr<TFormVESPRIL> m_form;
};

}  // namespace vespril::test
