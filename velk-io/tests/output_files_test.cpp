#include "velk_io/output_files.hpp"

#include <gtest/gtest.h>

#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_exchange/topology.hpp"
#include "velk_io/schedule_json.hpp"

namespace velk_io {
namespace {

namespace vc = velk_compiler;

vc::Graph encoder() { return vc::encoder_graph(vc::EncoderConfig{}).value(); }

TEST(OutputFiles, TileFilesHoldEveryCommandsLittleEndianImage) {
  const vc::Result<vc::Program> program =
      vc::build_program(encoder(), vc::CompilerOptions{}, velk_exchange::Topology::r77());
  ASSERT_TRUE(program);
  const std::vector<OutputFile> files = output_files(*program);
  ASSERT_EQ(files.size(), 65u);
  EXPECT_EQ(files[0],
            (OutputFile{"schedule.json", write_schedule_json(CompiledSchedule{program->schedule, program->exchanges,
                                                                              program->tile_programs})}));

  // Independently of the output: the schedule's own streams, byte by byte.
  const vc::Schedule schedule = vc::compile(encoder(), vc::CompilerOptions{}).value();
  for (std::uint16_t tile = 0; tile < 64; ++tile) {
    SCOPED_TRACE(tile);
    const OutputFile& file = files[std::size_t{tile} + 1];
    EXPECT_EQ(file.path, tile_file_name(tile, 64));
    const std::vector<vc::EncodedTileCommand> commands = schedule.tile_commands(tile).value();
    ASSERT_EQ(file.contents.size(), 32 * commands.size());
    for (std::size_t c = 0; c < commands.size(); ++c) {
      const std::array<std::uint8_t, 32> image = commands[c].to_le_bytes();
      for (std::size_t b = 0; b < image.size(); ++b) {
        ASSERT_EQ(static_cast<std::uint8_t>(file.contents[32 * c + b]), image[b]) << "command " << c << " byte " << b;
      }
    }
    EXPECT_EQ(static_cast<std::uint8_t>(file.contents[file.contents.size() - 32]), 0xFF);  // the end command
  }
}

TEST(OutputFiles, AreDeterministic) {
  const auto first = vc::build_program(encoder(), vc::CompilerOptions{}, velk_exchange::Topology::r77());
  const auto second = vc::build_program(encoder(), vc::CompilerOptions{}, velk_exchange::Topology::r77());
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  EXPECT_EQ(output_files(*first), output_files(*second));
}

TEST(CommandStreamBytes, ConcatenatesImagesInOrder) {
  const vc::EncodedTileCommand transfer{{1, 0, 0, 1, 0, 64, 0, 0}};
  const vc::EncodedTileCommand end{{0xFF, 0, 0, 0, 0, 0, 0, 0}};
  std::string expected(64, '\0');
  expected[0] = 1;
  expected[12] = 1;
  expected[20] = 0x40;
  expected[32] = static_cast<char>(0xFF);
  EXPECT_EQ(command_stream_bytes(std::vector{transfer, end}), expected);
  EXPECT_EQ(command_stream_bytes({}), "");
}

TEST(TileFileName, PadsToFourDigitsOrToTheLargestTile) {
  struct Case {
    std::uint16_t tile;
    std::uint16_t tile_count;
    std::string name;
  };
  const Case cases[] = {
      {0, 64, "tiles/0000.bin"},     {63, 64, "tiles/0063.bin"},        {9999, 10000, "tiles/9999.bin"},
      {7, 10001, "tiles/00007.bin"}, {10000, 10001, "tiles/10000.bin"}, {0, 0, "tiles/0000.bin"},
  };
  for (const Case& c : cases) EXPECT_EQ(tile_file_name(c.tile, c.tile_count), c.name);
}

}  // namespace
}  // namespace velk_io
