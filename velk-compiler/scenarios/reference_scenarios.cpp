// Scenario check of the host reference: a small encoder block evaluated twice with the
// deterministic weights gives the same bits, only finite values, and the known checksum.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "checks.hpp"
#include "velk_compiler/reference.hpp"

namespace velk_compiler {
namespace {

// The shortest decimal text that reads back as the same float.
std::string float_text(float value) {
  char digits[32];
  const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, value);
  return std::string(digits, written.ptr);
}

bool same_bits(float left, float right) {
  return std::bit_cast<std::uint32_t>(left) == std::bit_cast<std::uint32_t>(right);
}

}  // namespace

CheckOutcome encoder_reference_is_finite_and_repeatable() {
  const EncoderConfig config{.sequence = 4, .hidden = 8, .heads = 2, .feed_forward = 16};
  std::vector<float> input(32);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = (static_cast<float>(i) - 9.0F) / 16.0F;
  const EncoderWeights weights = EncoderWeights::deterministic(config);

  const Result<std::vector<float>> first = encoder_reference(config, input, weights);
  if (!first) return std::unexpected("first evaluation failed: " + to_string(first.error()));
  const Result<std::vector<float>> second = encoder_reference(config, input, weights);
  if (!second) return std::unexpected("second evaluation failed: " + to_string(second.error()));
  if (first->size() != 32) return std::unexpected("expected 32 outputs, got " + std::to_string(first->size()));
  if (second->size() != first->size()) return std::unexpected("the two evaluations differ in length");

  float checksum = -0.0F;
  for (std::size_t i = 0; i < first->size(); ++i) {
    const float value = (*first)[i];
    if (!same_bits(value, (*second)[i])) {
      return std::unexpected("evaluations differ at output " + std::to_string(i) + ": " + float_text(value) + " and " +
                             float_text((*second)[i]));
    }
    if (!std::isfinite(value)) return std::unexpected("output " + std::to_string(i) + " is " + float_text(value));
    checksum = checksum + value;
  }
  if (!(std::fabs(checksum - 107.46423F) <= 1e-4F)) return std::unexpected("checksum=" + float_text(checksum));
  return {};
}

}  // namespace velk_compiler
