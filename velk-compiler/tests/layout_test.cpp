#include "velk_compiler/layout.hpp"

#include <gtest/gtest.h>

namespace velk_compiler {
namespace {

Tensor tensor(Shape shape, TensorKind kind = TensorKind::Intermediate) {
  return Tensor{TensorId{3}, "t", DType::F32, std::move(shape), kind, {}};
}

TEST(ChooseLayout, TileCountShardingAndShare) {
  const struct {
    Shape shape;
    TensorKind kind;
    std::uint16_t tile_count;
    std::size_t tiles;
    Sharding sharding;
    std::size_t share;
  } cases[] = {
      {{32, 64}, TensorKind::Input, 64, 8, Sharding::Rows, 1024},
      {{64, 64}, TensorKind::Weight, 64, 16, Sharding::Columns, 1024},
      {{64, 64}, TensorKind::Intermediate, 64, 16, Sharding::Rows, 1024},
      {{64, 256}, TensorKind::Weight, 64, 64, Sharding::Columns, 1024},
      {{64, 256}, TensorKind::Weight, 16, 16, Sharding::Columns, 4096},
      {{1}, TensorKind::Intermediate, 64, 1, Sharding::Replicated, 4},
      {{1}, TensorKind::Weight, 64, 1, Sharding::Replicated, 4},
      {{2, 3, 4}, TensorKind::Weight, 64, 1, Sharding::Heads, 96},
      {{2, 3, 4}, TensorKind::Intermediate, 64, 1, Sharding::Heads, 96},
      {{256}, TensorKind::Input, 64, 1, Sharding::Replicated, 1024},  // exactly one block
      {{257}, TensorKind::Input, 64, 2, Sharding::Replicated, 514},   // one byte past it
      {{255}, TensorKind::Input, 64, 1, Sharding::Replicated, 1020},
      {{32, 64}, TensorKind::Input, 1, 1, Sharding::Rows, 8192},
      {{32, 64}, TensorKind::Input, 3, 3, Sharding::Rows, 2731},
  };
  for (const auto& c : cases) {
    const Tensor t = tensor(c.shape, c.kind);
    const Layout layout = choose_layout(t, c.tile_count);
    std::vector<std::uint16_t> tiles(c.tiles);
    for (std::size_t i = 0; i < c.tiles; ++i) tiles[i] = static_cast<std::uint16_t>(i);
    EXPECT_EQ(layout, (Layout{TensorId{3}, tiles, c.sharding, 16})) << layout;
    EXPECT_EQ(local_bytes(t, layout), c.share) << layout;
  }
}

TEST(ChooseLayout, ClampsAtFullWidthBeyond65535Blocks) {
  // 65536 blocks would narrow to 0 tiles if the count became 16-bit before clamping.
  const Tensor huge = tensor({65536, 256});
  EXPECT_EQ(choose_layout(huge, 1472).tiles.size(), 1472u);
  EXPECT_EQ(choose_layout(huge, 65535).tiles.size(), 65535u);
  EXPECT_EQ(choose_layout(tensor({65537, 256}), 64).tiles.size(), 64u);
}

TEST(ChooseLayout, TotalOnShapesBeyondTheMachineWord) {
  const Tensor beyond = tensor({std::size_t{1} << 40, std::size_t{1} << 40});
  EXPECT_EQ(choose_layout(beyond, 8).tiles.size(), 8u);
  EXPECT_EQ(worker_count(beyond), 6);
  EXPECT_EQ(local_bytes(tensor({4}), Layout{}), 0u);
}

TEST(WorkerCount, SixFrom96Elements) {
  EXPECT_EQ(worker_count(tensor({95})), 1);
  EXPECT_EQ(worker_count(tensor({96})), 6);
  EXPECT_EQ(worker_count(tensor({1})), 1);
  EXPECT_EQ(worker_count(tensor({32, 64})), 6);
}

TEST(OperationName, IgnoresAttributes) {
  const std::pair<OpKind, std::string_view> cases[] = {
      {MatMul{}, "matmul"},
      {Add{}, "add"},
      {Mul{}, "mul"},
      {Reshape{{2, 2}}, "reshape"},
      {Reshape{{7}}, "reshape"},
      {Transpose{{1, 0}}, "transpose"},
      {Transpose{{0, 2, 1}}, "transpose"},
      {LayerNorm{0.5F}, "layer_norm"},
      {LayerNorm{1e-5F}, "layer_norm"},
      {Softmax{3}, "softmax"},
      {Softmax{0}, "softmax"},
      {Gelu{}, "gelu"},
  };
  for (const auto& [kind, name] : cases) EXPECT_EQ(operation_name(kind), name);
}

TEST(SpecializationKey, TailOnLastTileOnly) {
  const Tensor result = tensor({64, 64});
  const Layout layout = choose_layout(result, 4);
  ASSERT_EQ(layout.tiles.size(), 4u);
  for (std::uint16_t tile = 0; tile < 4; ++tile) {
    const SpecializationKey key = specialization_key(MatMul{}, result, layout, tile);
    EXPECT_EQ(key, (SpecializationKey{"matmul", {64, 64}, 6, tile == 3 ? "tail" : "body", 16}));
  }
  const Tensor small = tensor({2});
  EXPECT_EQ(specialization_key(Gelu{}, small, choose_layout(small, 4), 0).role, "tail");
}

}  // namespace
}  // namespace velk_compiler
