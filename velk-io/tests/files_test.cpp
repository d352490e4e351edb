#include "velk_io/files.hpp"

#include <gtest/gtest.h>

#include <fstream>

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

}  // namespace
}  // namespace velk_io
