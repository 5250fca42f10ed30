// Descriptor: owns one file descriptor (a socket, a file, a pipe's end, an eventfd) and closes it when it
// dies, like the Firebird handles. Move-only; a bare descriptor never outlives the function that made
// it: it goes into one of these at once, and leaves one only through Release(), to a new owner.
#pragma once

#include <unistd.h>

#include <utility>

namespace vespril {

class Descriptor {
 public:
  Descriptor() = default;
  // Takes ownership of fd; a negative fd (a failed call's result) holds nothing.
  explicit Descriptor(int fd) noexcept : m_fd(fd < 0 ? -1 : fd) {}
  Descriptor(Descriptor&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.m_fd, -1));
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { Reset(); }

  bool Valid() const noexcept { return m_fd >= 0; }
  // The descriptor, still owned here; -1 when none.
  int Get() const noexcept { return m_fd; }
  // Hands the descriptor to a new owner (a QFile that closes it, say); this one then holds nothing.
  int Release() noexcept { return std::exchange(m_fd, -1); }
  // Closes what is held, then holds fd.
  void Reset(int fd = -1) noexcept {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd < 0 ? -1 : fd;
  }

 private:
  int m_fd = -1;
};

}  // namespace vespril
