// Rendering of exchange errors.
#include "velk_exchange/error.hpp"

namespace velk_exchange {

std::string_view kind_name(ExchangeError::Kind kind) {
  switch (kind) {
    case ExchangeError::Kind::Tile: return "Tile";
    case ExchangeError::Kind::DuplicateTile: return "DuplicateTile";
    case ExchangeError::Kind::Count: return "Count";
    case ExchangeError::Kind::ReceiverSet: return "ReceiverSet";
    case ExchangeError::Kind::Schedule: return "Schedule";
    case ExchangeError::Kind::Address: return "Address";
    case ExchangeError::Kind::HostPacket: return "HostPacket";
  }
  return "Unknown";
}

std::string to_string(const ExchangeError& error) {
  std::string text(kind_name(error.kind()));
  switch (error.kind()) {
    case ExchangeError::Kind::Tile:
    case ExchangeError::Kind::Count:
    case ExchangeError::Kind::Address: return text + "(" + std::to_string(error.value()) + ")";
    case ExchangeError::Kind::Schedule: return text + "(\"" + std::string(error.message()) + "\")";
    case ExchangeError::Kind::DuplicateTile:
    case ExchangeError::Kind::ReceiverSet:
    case ExchangeError::Kind::HostPacket: return text;
  }
  return text;
}

std::ostream& operator<<(std::ostream& out, const ExchangeError& error) { return out << to_string(error); }

}  // namespace velk_exchange
