// IoError: the one error of velk-io, which velk-views uses too. Every refusal names the place
// it is about: a line and column of a JSON text, a JSON path inside a document
// ("operations[3].inputs[1]"), a word of a list, a command-line value, a file, or a phase,
// launch or tile of a program that a view cannot read.
#pragma once

#include <expected>
#include <ostream>
#include <string>

namespace velk_io {

struct IoError {
  std::string place;  // "line 3, column 7", "tensors[0].shape[1]", "--tiles", a file name; empty when none applies
  std::string message;
  bool operator==(const IoError&) const = default;
};

// "<place>: <message>", or the message alone when there is no place.
std::string to_string(const IoError& error);
std::ostream& operator<<(std::ostream& out, const IoError& error);

template <class T>
using Result = std::expected<T, IoError>;

}  // namespace velk_io
