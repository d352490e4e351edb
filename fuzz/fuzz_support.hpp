// Shared by the fuzz targets: a reader that turns the fuzzer's bytes into small numbers, and
// the check that turns a broken property into a crash the fuzzer records.
//
// Reads past the end of the input give 0, so every byte string is a complete description of
// a test case and a short input simply describes a small one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

namespace velk_fuzz {

class FuzzInput {
 public:
  explicit FuzzInput(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  bool exhausted() const { return next_ >= bytes_.size(); }

  std::uint8_t byte() { return next_ < bytes_.size() ? bytes_[next_++] : 0; }

  std::uint16_t u16() {
    const std::uint16_t low = byte();
    return static_cast<std::uint16_t>(low | (std::uint16_t{byte()} << 8));
  }

  std::uint32_t u32() {
    const std::uint32_t low = u16();
    return low | (std::uint32_t{u16()} << 16);
  }

  // A value in [low, high] (low ≤ high), read from one byte when the range allows, else from
  // two or four, so that small ranges cost the fuzzer little to explore.
  std::uint32_t in_range(std::uint32_t low, std::uint32_t high) {
    const std::uint64_t span = std::uint64_t{high} - low + 1;
    std::uint64_t raw = 0;
    if (span <= 0x100) {
      raw = byte();
    } else if (span <= 0x10000) {
      raw = u16();
    } else {
      raw = u32();
    }
    return static_cast<std::uint32_t>(low + raw % span);
  }

  bool flag() { return (byte() & 1u) != 0; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t next_ = 0;
};

// A broken property is a finding: say which one and crash, so that libFuzzer keeps the input.
inline void require(bool holds, std::string_view property, std::string_view detail = {}) {
  if (holds) return;
  std::fprintf(stderr, "fuzz property broken: %.*s\n", static_cast<int>(property.size()), property.data());
  if (!detail.empty()) std::fprintf(stderr, "  %.*s\n", static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// True when `text` is `pattern` with every "{}" standing for some non-empty run of characters.
inline bool matches_message(std::string_view pattern, std::string_view text) {
  const std::size_t hole = pattern.find("{}");
  if (hole == std::string_view::npos) return pattern == text;
  if (text.substr(0, hole) != pattern.substr(0, hole)) return false;
  const std::string_view rest = pattern.substr(hole + 2);
  for (std::size_t end = hole + 1; end <= text.size(); ++end) {
    if (matches_message(rest, text.substr(end))) return true;
  }
  return false;
}

}  // namespace velk_fuzz
