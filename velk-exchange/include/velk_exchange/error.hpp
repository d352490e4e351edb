// ExchangeError: the one error type of the exchange fabric library. It carries a rejected
// value (a tile, a word count, an address), a fixed message, or nothing.
#pragma once

#include <cstdint>
#include <expected>
#include <ostream>
#include <string>
#include <string_view>

namespace velk_exchange {

class ExchangeError {
 public:
  enum class Kind : std::uint8_t { Tile, DuplicateTile, Count, ReceiverSet, Schedule, Address, HostPacket };

  static ExchangeError tile(std::uint16_t logical) { return {Kind::Tile, logical, {}}; }
  static ExchangeError duplicate_tile() { return {Kind::DuplicateTile, 0, {}}; }
  static ExchangeError count(std::uint32_t count) { return {Kind::Count, count, {}}; }
  static ExchangeError receiver_set() { return {Kind::ReceiverSet, 0, {}}; }
  // `message` must be a library constant (a string literal): the error only borrows it.
  static ExchangeError schedule(std::string_view message) { return {Kind::Schedule, 0, message}; }
  static ExchangeError address(std::uint32_t byte_address) { return {Kind::Address, byte_address, {}}; }
  static ExchangeError host_packet() { return {Kind::HostPacket, 0, {}}; }

  Kind kind() const { return kind_; }
  // The payload of Tile, Count and Address; 0 for the other kinds.
  std::uint32_t value() const { return value_; }
  // The message of Schedule; empty for the other kinds.
  std::string_view message() const { return message_; }

  bool operator==(const ExchangeError& other) const {
    return kind_ == other.kind_ && value_ == other.value_ && message_ == other.message_;
  }

 private:
  ExchangeError(Kind kind, std::uint32_t value, std::string_view message)
      : kind_(kind), value_(value), message_(message) {}

  Kind kind_;
  std::uint32_t value_;
  std::string_view message_;
};

std::string_view kind_name(ExchangeError::Kind kind);

// Tile(1472), Count(0), Address(2), ReceiverSet, Schedule("zero event advance").
std::string to_string(const ExchangeError& error);
std::ostream& operator<<(std::ostream& out, const ExchangeError& error);

template <class T>
using Result = std::expected<T, ExchangeError>;

}  // namespace velk_exchange
