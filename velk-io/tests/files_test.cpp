#include "velk_io/files.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_exchange/topology.hpp"

namespace velk_io {
namespace {

std::filesystem::path fresh_folder(const std::string& name) {
  const std::filesystem::path folder = std::filesystem::path(testing::TempDir()) / ("velk_io_files_" + name);
  std::filesystem::remove_all(folder);
  return folder;
}

TEST(WriteOutputFiles, CreatesFoldersAndReadsBack) {
  const std::filesystem::path folder = fresh_folder("creates");
  const std::vector<OutputFile> files = {{"schedule.json", "{}\n"}, {"tiles/0000.bin", std::string("\xFF\0\0\0", 4)}};
  ASSERT_TRUE(write_output_files(folder, files));
  EXPECT_EQ(read_file(folder / "schedule.json"), "{}\n");
  EXPECT_EQ(read_file(folder / "tiles/0000.bin"), std::string("\xFF\0\0\0", 4));
}

TEST(WriteOutputFiles, RemovesStaleTileStreamsOnly) {
  const std::filesystem::path folder = fresh_folder("stale");
  ASSERT_TRUE(write_output_files(folder, std::vector<OutputFile>{{"tiles/0000.bin", "a"}, {"tiles/0001.bin", "b"}}));
  std::ofstream(folder / "tiles/notes.txt") << "mine";
  std::ofstream(folder / "tiles/x1.bin") << "mine too";
  ASSERT_TRUE(write_output_files(folder, std::vector<OutputFile>{{"tiles/0000.bin", "c"}}));
  EXPECT_EQ(read_file(folder / "tiles/0000.bin"), "c");
  EXPECT_FALSE(std::filesystem::exists(folder / "tiles/0001.bin"));
  EXPECT_TRUE(std::filesystem::exists(folder / "tiles/notes.txt"));
  EXPECT_TRUE(std::filesystem::exists(folder / "tiles/x1.bin"));
}

TEST(ReadFile, NamesTheFileAndTheReason) {
  const std::filesystem::path folder = fresh_folder("missing");
  EXPECT_EQ(read_file(folder / "none.json"),
            std::unexpected(IoError{(folder / "none.json").string(), "cannot open: No such file or directory"}));
  std::filesystem::create_directories(folder);
  EXPECT_EQ(read_file(folder), std::unexpected(IoError{folder.string(), "is a folder, not a file"}));
}

TEST(WriteOutputFiles, ReportsAFolderThatCannotBeMade) {
  const std::filesystem::path folder = fresh_folder("blocked");
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "file") << "x";
  const Result<void> written = write_output_files(folder / "file", std::vector<OutputFile>{{"schedule.json", "{}"}});
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().place, (folder / "file").string());
}

TEST(WriteFileWith, GivesTheBytesWrittenAndNamesThePathOfAFailure) {
  const std::filesystem::path folder = fresh_folder("with");
  std::filesystem::create_directories(folder);
  const auto hello = [](std::ostream& out) { out << "hello"; };
  EXPECT_EQ(write_file_with(folder / "a.txt", hello), 5u);
  EXPECT_EQ(read_file(folder / "a.txt"), "hello");
  EXPECT_EQ(write_file_with(folder / "missing/a.txt", hello),
            std::unexpected(
                IoError{(folder / "missing/a.txt").string(), "cannot open for writing: No such file or directory"}));
  // A device that refuses every byte, as a full disk does.
  if (std::filesystem::exists("/dev/full")) {
    const auto much = [](std::ostream& out) { out << std::string(std::size_t{1} << 20, 'x'); };
    EXPECT_EQ(write_file_with("/dev/full", much), std::unexpected(IoError{"/dev/full", "cannot write"}));
    EXPECT_EQ(write_file("/dev/full", "x"), std::unexpected(IoError{"/dev/full", "cannot write"}));
  }
}

TEST(WriteProgramFiles, WritesWhatOutputFilesHoldAndNothingStale) {
  namespace vc = velk_compiler;
  const vc::Graph graph = vc::encoder_graph(vc::EncoderConfig{}).value();
  vc::CompilerOptions options;
  options.tile_count = 16;
  const vc::Program program = vc::build_program(graph, options, velk_exchange::Topology::r77()).value();
  const std::filesystem::path folder = fresh_folder("program");
  ASSERT_TRUE(write_output_files(folder, std::vector<OutputFile>{{"tiles/0031.bin", "stale"}}));

  EXPECT_EQ(write_program_files(folder, program), 17u);
  const std::vector<OutputFile> files = output_files(program);
  for (const OutputFile& file : files) EXPECT_EQ(read_file(folder / file.path), file.contents) << file.path;
  EXPECT_FALSE(std::filesystem::exists(folder / "tiles/0031.bin"));

  std::ofstream(folder / "blocked") << "x";
  EXPECT_EQ(write_program_files(folder / "blocked", program).error().place, (folder / "blocked").string());
}

}  // namespace
}  // namespace velk_io
