// ServiceNotifier: what the program tells a service manager that started it (systemd's notification
// protocol, through the socket named by NOTIFY_SOCKET): that it is ready, that it is stopping, and,
// when the manager keeps a watchdog, that its GUI thread's event loop still turns. The watchdog is fed
// from a timer of that loop, so a loop that is stuck stops feeding it and the manager restarts the
// service. Without NOTIFY_SOCKET every call does nothing and no timer runs.
//
// Lives on the GUI thread, which alone calls it; main() owns the one instance.
#pragma once

#include <QTimer>

namespace vespril {

class ServiceNotifier {
 public:
  // Starts the watchdog's timer, at half the period the manager set (WATCHDOG_USEC), when it set one.
  ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // A service manager started the program (NOTIFY_SOCKET names it).
  bool Gerenciado() const;
  // The program serves what it will: its listener is open, or it knows it will listen nowhere.
  void Ready();
  // The program was asked to stop and is ending its work.
  void Stopping();

 private:
  QTimer m_watchdog;
};

}  // namespace vespril
