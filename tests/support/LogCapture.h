// LogCapture: every line of the gateway's log categories (vespril.*) while it lives, as
// "category: text", taken from Qt's logging (the log's own thread delivers them). Other messages go
// on to the handler that was installed before. One at a time per process.
//
//   test::LogCapture log;
//   ... the engine runs ...
//   EXPECT_TRUE(log.WaitFor("cliente recusado: 127.0.0.1:"));
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include <QTest>
#include <QtGlobal>

namespace vespril::test {

class LogCapture {
 public:
  LogCapture() {
    s_current = this;
    m_previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
      const std::string category = context.category != nullptr ? context.category : "";
      if (category.rfind("vespril.", 0) != 0) {
        s_current->m_previous(type, context, text);
        return;
      }
      std::lock_guard lock(s_current->m_mutex);
      s_current->m_text += category + ": " + text.toLatin1().toStdString() + "\n";
    });
  }
  ~LogCapture() {
    qInstallMessageHandler(m_previous);
    s_current = nullptr;
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every line so far.
  std::string Text() const {
    std::lock_guard lock(m_mutex);
    return m_text;
  }
  // Whether some line holds `needle`, waiting up to `ms` for it (the event loop turns meanwhile).
  bool WaitFor(std::string_view needle, int ms = 5000) const {
    return QTest::qWaitFor([&] { return Text().find(needle) != std::string::npos; }, ms);
  }

 private:
  static inline LogCapture* s_current = nullptr;
  QtMessageHandler m_previous = nullptr;
  mutable std::mutex m_mutex;
  std::string m_text;
};

}  // namespace vespril::test
