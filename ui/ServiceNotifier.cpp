#include "ui/ServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include <chrono>

#include <QtGlobal>

namespace vespril {

ServiceNotifier::ServiceNotifier() {
  uint64_t periodUs = 0;
  if (sd_watchdog_enabled(0, &periodUs) <= 0 || periodUs == 0) return;
  // Half the period leaves a late tick or two of slack before the manager gives up on us.
  m_watchdog.setInterval(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::microseconds(periodUs / 2)));
  m_watchdog.setTimerType(Qt::PreciseTimer);
  QObject::connect(&m_watchdog, &QTimer::timeout, [] { sd_notify(0, "WATCHDOG=1"); });
  m_watchdog.start();
}

bool ServiceNotifier::Gerenciado() const { return !qEnvironmentVariableIsEmpty("NOTIFY_SOCKET"); }

void ServiceNotifier::Ready() { sd_notify(0, "READY=1"); }

void ServiceNotifier::Stopping() { sd_notify(0, "STOPPING=1"); }

}  // namespace vespril
