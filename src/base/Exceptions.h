#pragma once

#include <exception>
#include <string>

namespace orlavonix {

// Root of every exception the program raises. Each subclass carries its class
// name so that handlers can log "Exception %1: %2" without RTTI name mangling.
class Exception : public std::exception {
public:
  explicit Exception(std::string Message) : FMessage(std::move(Message)) {}
  const char* what() const noexcept override { return FMessage.c_str(); }
  const std::string& Message() const { return FMessage; }
  virtual const char* ClassName() const { return "Exception"; }

private:
  std::string FMessage;
};

// The class name of any exception, for log lines.
inline const char* ExceptionClassName(const std::exception& E) {
  if (auto* Own = dynamic_cast<const Exception*>(&E))
    return Own->ClassName();
  return "Exception";
}

#define ORLAVONIX_DECLARE_EXCEPTION(Name, Base)                                                    \
  class Name : public Base {                                                                       \
  public:                                                                                          \
    using Base::Base;                                                                              \
    const char* ClassName() const override { return #Name; }                                       \
  }

// Raised by the bounded byte readers when input ends early.
ORLAVONIX_DECLARE_EXCEPTION(EReadError, Exception);

} // namespace orlavonix
