// The rendering of IoError.
#include "velk_io/error.hpp"

namespace velk_io {

std::string to_string(const IoError& error) {
  if (error.place.empty()) return error.message;
  return error.place + ": " + error.message;
}

std::ostream& operator<<(std::ostream& out, const IoError& error) { return out << to_string(error); }

}  // namespace velk_io
