// Error: the one exception type of the system. Its message is single-byte text (ISO-8859-1) that
// reaches the operator or a client unchanged: a reply's Mensagem, a message box, a start-up failure.
// Every layer throws it (or a subclass); the listener's read handler and the window's handlers catch it.
#pragma once

#include <exception>
#include <string>

namespace vespril {

class Error : public std::exception {
 public:
  explicit Error(std::string message) : m_message(std::move(message)) {}

  const std::string& Message() const noexcept { return m_message; }
  const char* what() const noexcept override { return m_message.c_str(); }

 private:
  std::string m_message;
};

// Replaces the first "%s" of pattern with value; the form of the fixed messages ("Cannot open file %s").
std::string Format(std::string_view pattern, std::string_view value);

}  // namespace vespril
