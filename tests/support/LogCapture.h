// LogCapture: the lines of the gateway's log categories (vespril.*) while it lives, as "category: text"
// (other messages go on to the handler installed before). One at a time per process.
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
    m_previous =
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
          const std::string category = context.category != nullptr ? context.category : "";
          if (category.rfind("vespril.", 0) != 0) return s_current->m_previous(type, context, text);
          std::lock_guard lock(s_current->m_mutex);
          s_current->m_text += category + ": " + text.toLatin1().toStdString() + "\n";
        });
  }
  ~LogCapture() { qInstallMessageHandler(m_previous); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string Text() const {
    std::lock_guard lock(m_mutex);
    return m_text;
  }
  // Whether some line holds `needle`, waiting up to `ms` (the event loop turns meanwhile).
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
