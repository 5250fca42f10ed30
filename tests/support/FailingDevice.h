// FailingDevice: a write-only device that takes the first `capacity` bytes and then fails every write,
// as a disk that fills up part way does; it keeps what it took, to compare with a whole write.
#pragma once

#include <algorithm>
#include <string>

#include <QIODevice>

namespace vespril::test {

class FailingDevice : public QIODevice {
 public:
  explicit FailingDevice(qint64 capacity) : m_capacity(capacity) { open(QIODevice::WriteOnly); }
  const std::string& Written() const { return m_written; }

 protected:
  qint64 readData(char*, qint64) override { return -1; }
  qint64 writeData(const char* data, qint64 size) override {
    const qint64 room = m_capacity - static_cast<qint64>(m_written.size());
    if (room <= 0) return -1;
    const qint64 taken = std::min(size, room);
    m_written.append(data, static_cast<size_t>(taken));
    return taken;
  }

 private:
  qint64 m_capacity;
  std::string m_written;
};

}  // namespace vespril::test
