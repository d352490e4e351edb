// Tests of the host reference: the deterministic weights' worked values and bounds, the
// kernels' edge cases that pin their arithmetic (order of sums, no fused multiply-add,
// the signs of zero sums, population variance, the row maximum), the exact refusals, and
// the context columns that no head covers.
#include "velk_compiler/reference.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

namespace velk_compiler {
namespace {

template <class T>
std::string error_message(const Result<T>& result) {
  return result ? std::string("<no error>") : result.error().message();
}

constexpr std::size_t two_to_62 = std::size_t{1} << 62;
constexpr std::size_t two_to_63 = std::size_t{1} << 63;

// ---- deterministic weights ----

TEST(EncoderWeights, WorkedValuesForHiddenEight) {
  const EncoderWeights weights =
      EncoderWeights::deterministic({.sequence = 4, .hidden = 8, .heads = 2, .feed_forward = 32});
  ASSERT_EQ(weights.wq.size(), 64u);
  EXPECT_EQ(weights.wq[0], -0.95F);
  EXPECT_EQ(weights.wq[1], -0.1F);
  EXPECT_EQ(weights.wq[2], 0.75F);
  EXPECT_EQ(weights.wq[3], 1.6F);
}

// The salt moves each matrix's sequence, and the scale follows the row count: with H = 8
// and F = 32 the denominators are sqrt(400) = 20 for the H-row matrices and
// sqrt(1600) = 40 for w2, so the first elements are exact decimals.
TEST(EncoderWeights, SaltAndRowCountSelectEachMatrix) {
  const EncoderWeights weights =
      EncoderWeights::deterministic({.sequence = 4, .hidden = 8, .heads = 2, .feed_forward = 32});
  struct Case {
    const char* name;
    const std::vector<float>& values;
    std::size_t size;
    float first;  // (31*salt mod 101 - 50) / denominator: -19, 12, 43, -27, 4 over 20; 35 over 40
  };
  const Case cases[] = {
      {"wq", weights.wq, 64, -19.0F / 20.0F}, {"wk", weights.wk, 64, 12.0F / 20.0F},
      {"wv", weights.wv, 64, 43.0F / 20.0F},  {"wo", weights.wo, 64, -27.0F / 20.0F},
      {"w1", weights.w1, 256, 4.0F / 20.0F},  {"w2", weights.w2, 256, 35.0F / 40.0F},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.values.size(), c.size);
    EXPECT_EQ(c.values[0], c.first);
  }
}

// Every weight lies within +-50/sqrt(50*rows), and a matrix of at least 101 elements
// reaches both bounds (17 steps through every residue mod 101).
TEST(EncoderWeights, EveryWeightWithinItsBound) {
  const EncoderWeights weights = EncoderWeights::deterministic(EncoderConfig{});
  struct Case {
    const char* name;
    const std::vector<float>& values;
    float bound;  // 50/sqrt(50*rows)
  };
  const Case cases[] = {{"wq", weights.wq, 0.8838835F}, {"wk", weights.wk, 0.8838835F}, {"wv", weights.wv, 0.8838835F},
                        {"wo", weights.wo, 0.8838835F}, {"w1", weights.w1, 0.8838835F}, {"w2", weights.w2, 0.4419417F}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto [lowest, highest] = std::minmax_element(c.values.begin(), c.values.end());
    EXPECT_FLOAT_EQ(*highest, c.bound);
    EXPECT_EQ(*lowest, -*highest);
  }
}

bool same_bits(const std::vector<float>& left, const std::vector<float>& right) {
  return std::ranges::equal(
      left, right, [](float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); });
}

TEST(EncoderWeights, TwoCallsAgreeBitForBit) {
  const EncoderConfig config{.sequence = 3, .hidden = 12, .heads = 3, .feed_forward = 20};
  const EncoderWeights first = EncoderWeights::deterministic(config);
  const EncoderWeights second = EncoderWeights::deterministic(config);
  for (const auto field : {&EncoderWeights::wq, &EncoderWeights::wk, &EncoderWeights::wv, &EncoderWeights::wo,
                           &EncoderWeights::w1, &EncoderWeights::w2}) {
    EXPECT_TRUE(same_bits(first.*field, second.*field));
  }
}

TEST(EncoderWeights, ZeroFeedForwardGivesEmptyFeedForwardMatrices) {
  const EncoderWeights weights =
      EncoderWeights::deterministic({.sequence = 2, .hidden = 4, .heads = 1, .feed_forward = 0});
  EXPECT_EQ(weights.wq.size(), 16u);
  EXPECT_TRUE(weights.w1.empty());
  EXPECT_TRUE(weights.w2.empty());
}

// ---- matmul ----

TEST(Matmul, RowMajorProduct) {
  const std::vector<float> left{1, 2, 3, 4, 5, 6};      // 2 x 3
  const std::vector<float> right{7, 8, 9, 10, 11, 12};  // 3 x 2
  EXPECT_EQ(matmul(left, right, 2, 3, 2), (std::vector<float>{58, 64, 139, 154}));
}

// Adding in ascending order, 1 + 1e8 rounds back to 1e8 and the last term cancels it;
// any other order keeps the 1.
TEST(Matmul, SumsInAscendingOrder) {
  const std::vector<float> left{1.0F, 1e8F, -1e8F};
  const std::vector<float> right{1.0F, 1.0F, 1.0F};
  EXPECT_EQ(matmul(left, right, 1, 3, 1), (std::vector<float>{0.0F}));
}

// a*a with a = 1 + 2^-12 is 1 + 2^-11 + 2^-24, which rounds to 1 + 2^-11 and cancels the
// first term exactly; a fused multiply-add would keep the 2^-24.
TEST(Matmul, RoundsEveryProductBeforeAdding) {
  const float a = 1.0F + 0x1p-12F;
  const std::vector<float> left{-1.0F, a};
  const std::vector<float> right{1.0F + 0x1p-11F, a};
  EXPECT_EQ(matmul(left, right, 1, 2, 1), (std::vector<float>{0.0F}));
}

// Sums start from +0: a single -0 term gives +0, and no terms give +0.
TEST(Matmul, SumsStartFromPositiveZero) {
  const std::vector<float> negative_zero{-0.0F};
  const std::vector<float> one{1.0F};
  const Result<std::vector<float>> single = matmul(negative_zero, one, 1, 1, 1);
  ASSERT_TRUE(single);
  EXPECT_FALSE(std::signbit((*single)[0]));

  const Result<std::vector<float>> empty_inner = matmul({}, {}, 2, 0, 3);
  ASSERT_TRUE(empty_inner);
  EXPECT_EQ(*empty_inner, std::vector<float>(6, 0.0F));
  EXPECT_FALSE(std::ranges::any_of(*empty_inner, [](float x) { return std::signbit(x); }));
}

TEST(Matmul, RefusesInconsistentArguments) {
  struct Case {
    std::size_t left_size, right_size, rows, inner, columns;
    std::string message;
  };
  const Case cases[] = {
      {5, 6, 2, 3, 2, "matmul left has 5 values, expected 2 x 3"},
      {7, 6, 2, 3, 2, "matmul left has 7 values, expected 2 x 3"},
      {6, 5, 2, 3, 2, "matmul right has 5 values, expected 3 x 2"},
      {0, 0, two_to_63, 2, 1, "matmul left has 0 values, expected 9223372036854775808 x 2"},
      {0, 0, 1, 2, two_to_63, "matmul left has 0 values, expected 1 x 2"},
      {2, 0, 1, 2, two_to_63, "matmul right has 0 values, expected 2 x 9223372036854775808"},
      // An empty inner dimension makes both operands empty, but the result is not.
      {0, 0, two_to_62, 0, 4, "matmul result 4611686018427387904 x 4 is too large"},
      {0, 0, two_to_62, 0, 1, "matmul result 4611686018427387904 x 1 is too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const std::vector<float> left(c.left_size, 1.0F);
    const std::vector<float> right(c.right_size, 1.0F);
    const Result<std::vector<float>> result = matmul(left, right, c.rows, c.inner, c.columns);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), CompileError::graph(c.message));
  }
}

// ---- layer_norm ----

TEST(LayerNorm, ConstantRowNormalisesToZeros) {
  const std::vector<float> input{1, 1, 1, 1, 5, 5, 5, 5};
  EXPECT_EQ(layer_norm(input, 2, 4, 1e-5F), std::vector<float>(8, 0.0F));
}

// With epsilon 0 the population variance gives exact results: [1, 3] has variance 1 (a
// sample variance would be 2), [2, 6] has variance 4. Epsilon is added before the root:
// 1 + 3 = 4 halves the deviations.
TEST(LayerNorm, DividesByPopulationDeviationPlusEpsilon) {
  EXPECT_EQ(layer_norm(std::vector<float>{1, 3, 2, 6}, 2, 2, 0.0F), (std::vector<float>{-1, 1, -1, 1}));
  EXPECT_EQ(layer_norm(std::vector<float>{1, 3, 3, 1}, 2, 2, 3.0F), (std::vector<float>{-0.5F, 0.5F, 0.5F, -0.5F}));
}

// The row sums start from -0, so a row of negative zeros has mean -0 and normalises to
// +0 (-0 - -0); a +0 start would give mean +0 and results of -0.
TEST(LayerNorm, RowSumsStartFromNegativeZero) {
  const std::vector<float> input{-0.0F, -0.0F};
  const Result<std::vector<float>> result = layer_norm(input, 1, 2, 1e-5F);
  ASSERT_TRUE(result);
  ASSERT_EQ(result->size(), 2u);
  EXPECT_FALSE(std::signbit((*result)[0]));
  EXPECT_FALSE(std::signbit((*result)[1]));
}

TEST(LayerNorm, RefusesInconsistentArguments) {
  const std::vector<float> input{1, 2, 3};
  EXPECT_EQ(error_message(layer_norm(input, 2, 2, 1e-5F)), "layer norm input has 3 values, expected 2 x 2");
  EXPECT_EQ(error_message(layer_norm(input, two_to_63, 2, 1e-5F)),
            "layer norm input has 3 values, expected 9223372036854775808 x 2");
  EXPECT_EQ(layer_norm({}, std::numeric_limits<std::size_t>::max(), 0, 1e-5F), std::vector<float>{});
}

// ---- softmax_rows ----

TEST(SoftmaxRows, EqualRowBecomesUniform) {
  std::vector<float> four{2, 2, 2, 2, -7, -7, -7, -7};
  ASSERT_TRUE(softmax_rows(four, 2, 4));
  EXPECT_EQ(four, std::vector<float>(8, 0.25F));
  std::vector<float> three{5, 5, 5};
  ASSERT_TRUE(softmax_rows(three, 1, 3));
  EXPECT_EQ(three, std::vector<float>(3, 1.0F / 3.0F));
}

// Each row is shifted by its own maximum: without the shift exp(1000) overflows and the
// rows become NaN; with one shift for the whole matrix the small row underflows to 0/0.
TEST(SoftmaxRows, ShiftsEachRowByItsMaximum) {
  std::vector<float> values{1000, 1000, 0, 1000, -1000, -1000};
  ASSERT_TRUE(softmax_rows(values, 3, 2));
  EXPECT_EQ(values, (std::vector<float>{0.5F, 0.5F, 0.0F, 1.0F, 0.5F, 0.5F}));
}

TEST(SoftmaxRows, RefusesInconsistentArgumentsWithoutTouchingValues) {
  std::vector<float> values{1, 2, 3};
  const Result<void> refused = softmax_rows(values, 2, 2);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), CompileError::graph("softmax input has 3 values, expected 2 x 2"));
  EXPECT_EQ(values, (std::vector<float>{1, 2, 3}));
}

// ---- gelu ----

TEST(Gelu, ZeroAndFarOut) {
  EXPECT_EQ(gelu(0.0F), 0.0F);
  // tanh saturates at +-1 in float, so far out the result is x exactly or a zero.
  EXPECT_EQ(gelu(10.0F), 10.0F);
  EXPECT_EQ(gelu(1e20F), 1e20F);
  EXPECT_EQ(gelu(-10.0F), 0.0F);
  EXPECT_EQ(gelu(-1e20F), 0.0F);
}

TEST(Gelu, TanhFormNearTheOrigin) {
  EXPECT_NEAR(gelu(1.0F), 0.8411920F, 1e-6F);
  EXPECT_NEAR(gelu(-1.0F), -0.1588080F, 1e-6F);
  EXPECT_NEAR(gelu(2.0F), 1.9545977F, 1e-6F);
}

// ---- encoder_reference ----

TEST(EncoderReference, RefusesBeforeAnyArithmetic) {
  const EncoderConfig standard{};
  const EncoderWeights weights = EncoderWeights::deterministic(standard);
  const std::size_t elements = standard.sequence * standard.hidden;
  struct Case {
    EncoderConfig config;
    std::size_t input_size;
    std::string message;
  };
  const Case cases[] = {
      {standard, elements - 1, "encoder input size mismatch"},
      {standard, elements + 1, "encoder input size mismatch"},
      {standard, 0, "encoder input size mismatch"},
      {{.sequence = 32, .hidden = 64, .heads = 0, .feed_forward = 256}, elements - 1, "encoder input size mismatch"},
      {{.sequence = two_to_62, .hidden = 64, .heads = 4, .feed_forward = 256}, 0, "encoder input size mismatch"},
      {{.sequence = 32, .hidden = 64, .heads = 0, .feed_forward = 256}, elements, "encoder needs at least one head"},
      {{.sequence = 1, .hidden = 2, .heads = 1, .feed_forward = two_to_63},
       2,
       "encoder matrix 2 x 9223372036854775808 is too large"},
      {{.sequence = 1, .hidden = 2, .heads = 1, .feed_forward = two_to_62},
       2,
       "encoder matrix 2 x 4611686018427387904 is too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const std::vector<float> input(c.input_size, 0.5F);
    const Result<std::vector<float>> result = encoder_reference(c.config, input, weights);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), CompileError::graph(c.message));
  }
}

TEST(EncoderReference, RefusesWeightsOfTheWrongLength) {
  const EncoderConfig config{.sequence = 2, .hidden = 8, .heads = 2, .feed_forward = 16};
  const EncoderWeights good = EncoderWeights::deterministic(config);
  const std::vector<float> input(16, 0.25F);
  struct Case {
    std::vector<float> EncoderWeights::*field;
    std::size_t size;
    std::string message;
  };
  const Case cases[] = {
      {&EncoderWeights::wq, 10, "encoder weight wq has 10 values, expected 64"},
      {&EncoderWeights::wk, 65, "encoder weight wk has 65 values, expected 64"},
      {&EncoderWeights::wv, 0, "encoder weight wv has 0 values, expected 64"},
      {&EncoderWeights::wo, 63, "encoder weight wo has 63 values, expected 64"},
      {&EncoderWeights::w1, 127, "encoder weight w1 has 127 values, expected 128"},
      {&EncoderWeights::w2, 129, "encoder weight w2 has 129 values, expected 128"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EncoderWeights weights = good;
    (weights.*c.field).resize(c.size, 0.0F);
    const Result<std::vector<float>> result = encoder_reference(config, input, weights);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), CompileError::graph(c.message));
  }
  const EncoderWeights smaller =
      EncoderWeights::deterministic({.sequence = 2, .hidden = 4, .heads = 2, .feed_forward = 16});
  EXPECT_EQ(error_message(encoder_reference(config, input, smaller)), "encoder weight wq has 16 values, expected 64");
}

std::vector<float> identity(std::size_t size) {
  std::vector<float> matrix(size * size, 0.0F);
  for (std::size_t i = 0; i < size; ++i) matrix[i * size + i] = 1.0F;
  return matrix;
}

// With wv and wo the identity and w2 zero, the output is the input plus the attention
// context, so a context column that no head covers leaves its input column unchanged.
std::vector<float> input_plus_context(const EncoderConfig& config, std::span<const float> input) {
  EncoderWeights weights = EncoderWeights::deterministic(config);
  weights.wv = identity(config.hidden);
  weights.wo = identity(config.hidden);
  std::fill(weights.w2.begin(), weights.w2.end(), 0.0F);
  const Result<std::vector<float>> output = encoder_reference(config, input, weights);
  EXPECT_TRUE(output) << error_message(output);
  return output.value_or(std::vector<float>{});
}

TEST(EncoderReference, ContextColumnsBeyondTheLastHeadStayZero) {
  const std::vector<float> input{1, 2, 4, 8, 16, 3, 1, 4, 1, 5};  // 2 x 5
  // Two heads of width 2 cover columns 0 to 3; column 4 gets no context.
  const std::vector<float> two_heads =
      input_plus_context({.sequence = 2, .hidden = 5, .heads = 2, .feed_forward = 4}, input);
  ASSERT_EQ(two_heads.size(), 10u);
  for (std::size_t r = 0; r < 2; ++r) {
    for (std::size_t c = 0; c < 5; ++c) {
      SCOPED_TRACE("row " + std::to_string(r) + " column " + std::to_string(c));
      if (c == 4) {
        EXPECT_EQ(two_heads[r * 5 + c], input[r * 5 + c]);
      } else {
        EXPECT_NE(two_heads[r * 5 + c], input[r * 5 + c]);
      }
    }
  }
  // One head of width 5 covers column 4 as well.
  const std::vector<float> one_head =
      input_plus_context({.sequence = 2, .hidden = 5, .heads = 1, .feed_forward = 4}, input);
  ASSERT_EQ(one_head.size(), 10u);
  EXPECT_NE(one_head[4], input[4]);
  EXPECT_NE(one_head[9], input[9]);
}

// Two rows [0, 2] and [2, 0] normalise to [-n, n] and [n, -n] with n = 1/sqrt(1 + 1e-5).
// With wq, wk, wv and wo the identity and w2 zero, the output is the input plus the
// context, and each row's context is t * its normalised row, where t = tanh(score) is the
// difference of its two softmax weights: one head of width 2 scores 2n^2 / sqrt(2), two
// heads of width 1 score n^2 each. (An unscaled single head would give tanh(2n^2).)
TEST(EncoderReference, AttentionIsSplitIntoScaledHeads) {
  const std::vector<float> input{0, 2, 2, 0};
  const double n = 1.0 / std::sqrt(1.0 + double{1e-5F});
  struct Case {
    std::size_t heads;
    double score;
  };
  const Case cases[] = {{1, 2.0 * n * n / std::sqrt(2.0)}, {2, n * n}};
  for (const Case& c : cases) {
    SCOPED_TRACE("heads " + std::to_string(c.heads));
    const EncoderConfig config{.sequence = 2, .hidden = 2, .heads = c.heads, .feed_forward = 1};
    EncoderWeights weights = EncoderWeights::deterministic(config);
    weights.wq = identity(2);
    weights.wk = identity(2);
    weights.wv = identity(2);
    weights.wo = identity(2);
    weights.w2 = {0.0F, 0.0F};
    const Result<std::vector<float>> output = encoder_reference(config, input, weights);
    ASSERT_TRUE(output) << error_message(output);
    const double shift = n * std::tanh(c.score);
    const double expected[] = {-shift, 2.0 + shift, 2.0 + shift, -shift};
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR((*output)[i], expected[i], 2e-6) << i;
  }
}

TEST(EncoderReference, OutputHasTheInputShapeAndRepeatsBitForBit) {
  const EncoderConfig config{.sequence = 3, .hidden = 6, .heads = 3, .feed_forward = 10};
  std::vector<float> input(18);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<float>(i % 7) - 3.0F;
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const Result<std::vector<float>> first = encoder_reference(config, input, weights);
  const Result<std::vector<float>> second = encoder_reference(config, input, weights);
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  ASSERT_EQ(first->size(), 18u);
  for (std::size_t i = 0; i < first->size(); ++i) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>((*first)[i]), std::bit_cast<std::uint32_t>((*second)[i])) << i;
  }
}

}  // namespace
}  // namespace velk_compiler
