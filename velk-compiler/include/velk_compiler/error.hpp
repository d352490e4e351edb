// CompileError: the error of every compiler stage. `Graph` covers graph building and
// validation, options, transfer sets and structural failures of lowering; `Memory` covers
// placement failures and missing allocations; `Exchange` carries an error of the exchange
// library unchanged.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <ostream>
#include <string>

#include "velk_exchange/error.hpp"

namespace velk_compiler {

class CompileError {
 public:
  enum class Kind : std::uint8_t { Graph, Memory, Exchange };

  static CompileError graph(std::string message) { return CompileError(Kind::Graph, std::move(message)); }
  static CompileError memory(std::string message) { return CompileError(Kind::Memory, std::move(message)); }
  // Implicit on purpose: exchange failures pass through compiler stages without rewording.
  CompileError(velk_exchange::ExchangeError error)  // NOLINT(google-explicit-constructor)
      : kind_(Kind::Exchange), exchange_(error) {}

  Kind kind() const { return kind_; }
  // The message of Graph and Memory errors; empty for Exchange.
  const std::string& message() const { return message_; }
  // The carried exchange error of an Exchange error; nullptr otherwise.
  const velk_exchange::ExchangeError* exchange_error() const { return exchange_ ? &*exchange_ : nullptr; }

  bool operator==(const CompileError&) const = default;

 private:
  CompileError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_;
  std::string message_;
  std::optional<velk_exchange::ExchangeError> exchange_;
};

// "graph: <message>", "memory: <message>", "exchange: <ExchangeError rendering>".
std::string to_string(const CompileError& error);
std::ostream& operator<<(std::ostream& out, const CompileError& error);

template <class T>
using Result = std::expected<T, CompileError>;

}  // namespace velk_compiler
