// Small text helpers for the compiler's messages: filling "{}" places and writing addresses
// (shapes are written by `shape_text` of graph.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <sstream>
#include <string>
#include <string_view>

#include "velk_compiler/graph.hpp"

namespace velk_compiler {

// Replaces each "{}" of `pattern`, left to right, by the next argument. Surplus places
// stay as they are; surplus arguments are ignored.
inline std::string fill(std::string_view pattern, std::initializer_list<std::string_view> arguments) {
  std::string text;
  text.reserve(pattern.size() + 16);
  const std::string_view* next = arguments.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '{' && i + 1 < pattern.size() && pattern[i + 1] == '}' && next != arguments.end()) {
      text += *next++;
      ++i;
    } else {
      text += pattern[i];
    }
  }
  return text;
}

// "0x58000": an address as the command line writes it.
inline std::string hex_text(std::uint32_t value) {
  std::ostringstream text;
  text << "0x" << std::uppercase << std::hex << value;
  return text.str();
}

}  // namespace velk_compiler
