// File access for velkc. Uses the error_code overloads of std::filesystem, so no exception
// leaves this file.
#include "velk_io/files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>

namespace velk_io {
namespace {

IoError file_error(const std::filesystem::path& path, const std::string& reason) {
  return IoError{path.string(), reason};
}

bool is_tile_file_name(const std::string& name) {
  constexpr std::string_view SUFFIX = ".bin";
  if (name.size() <= SUFFIX.size() || !name.ends_with(SUFFIX)) return false;
  return std::all_of(name.begin(), name.end() - static_cast<std::ptrdiff_t>(SUFFIX.size()),
                     [](char c) { return c >= '0' && c <= '9'; });
}

// Removes tiles/<digits>.bin files of the folder that `keep` does not name.
[[nodiscard]] Result<void> remove_stale_tile_files(const std::filesystem::path& folder,
                                                   const std::set<std::string>& keep) {
  const std::filesystem::path tiles = folder / "tiles";
  std::error_code error;
  if (!std::filesystem::is_directory(tiles, error)) return {};
  std::vector<std::filesystem::path> stale;
  for (std::filesystem::directory_iterator it(tiles, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (is_tile_file_name(name) && keep.count("tiles/" + name) == 0) stale.push_back(it->path());
  }
  if (error) return std::unexpected(file_error(tiles, error.message()));
  for (const std::filesystem::path& path : stale) {
    if (!std::filesystem::remove(path, error) && error) return std::unexpected(file_error(path, error.message()));
  }
  return {};
}

}  // namespace

Result<std::string> read_file(const std::filesystem::path& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return std::unexpected(file_error(path, "is a folder, not a file"));
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::unexpected(file_error(path, std::string("cannot open: ") + std::strerror(errno)));
  std::ostringstream contents;
  contents << file.rdbuf();
  if (file.bad()) return std::unexpected(file_error(path, "cannot read"));
  return contents.str();
}

Result<void> write_file(const std::filesystem::path& path, std::string_view contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return std::unexpected(file_error(path, std::string("cannot open for writing: ") + std::strerror(errno)));
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  out.close();
  if (!out) return std::unexpected(file_error(path, "cannot write"));
  return {};
}

Result<void> write_output_files(const std::filesystem::path& folder, std::span<const OutputFile> files) {
  std::set<std::string> names;
  for (const OutputFile& file : files) names.insert(file.path);
  if (auto removed = remove_stale_tile_files(folder, names); !removed) return removed;
  for (const OutputFile& file : files) {
    const std::filesystem::path path = folder / file.path;
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (error) return std::unexpected(file_error(path.parent_path(), "cannot create folder: " + error.message()));
    if (auto written = write_file(path, file.contents); !written) return written;
  }
  return {};
}

}  // namespace velk_io
