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

#include "velk_io/schedule_json.hpp"

namespace velk_io {
namespace {

IoError file_error(const std::filesystem::path& path, const std::string& reason) {
  return IoError{path.string(), reason};
}

void write_bytes(std::ostream& out, std::string_view bytes) {
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
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

Result<std::uint64_t> write_file_with(const std::filesystem::path& path,
                                      const std::function<void(std::ostream&)>& write) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return std::unexpected(file_error(path, std::string("cannot open for writing: ") + std::strerror(errno)));
  write(out);
  const std::streamoff bytes = out.tellp();
  out.close();
  if (!out) return std::unexpected(file_error(path, "cannot write"));
  return static_cast<std::uint64_t>(bytes);
}

Result<void> write_file(const std::filesystem::path& path, std::string_view contents) {
  auto written = write_file_with(path, [contents](std::ostream& out) { write_bytes(out, contents); });
  if (!written) return std::unexpected(written.error());
  return {};
}

namespace {

// Creates the file's folders, then writes it as write_file_with does.
[[nodiscard]] Result<std::uint64_t> write_into(const std::filesystem::path& folder, const std::string& name,
                                               const std::function<void(std::ostream&)>& write) {
  const std::filesystem::path path = folder / name;
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error) return std::unexpected(file_error(path.parent_path(), "cannot create folder: " + error.message()));
  return write_file_with(path, write);
}

}  // namespace

Result<void> write_output_files(const std::filesystem::path& folder, std::span<const OutputFile> files) {
  std::set<std::string> names;
  for (const OutputFile& file : files) names.insert(file.path);
  if (auto removed = remove_stale_tile_files(folder, names); !removed) return removed;
  for (const OutputFile& file : files) {
    auto written = write_into(folder, file.path, [&file](std::ostream& out) { write_bytes(out, file.contents); });
    if (!written) return std::unexpected(written.error());
  }
  return {};
}

Result<std::size_t> write_program_files(const std::filesystem::path& folder, const velk_compiler::Program& program) {
  const std::uint16_t tile_count = program.schedule.tile_count;
  std::set<std::string> names{"schedule.json"};
  for (std::size_t tile = 0; tile < program.tile_commands.size(); ++tile) {
    names.insert(tile_file_name(static_cast<std::uint16_t>(tile), tile_count));
  }
  if (auto removed = remove_stale_tile_files(folder, names); !removed) return std::unexpected(removed.error());
  // The stream's state is checked when the file is closed.
  auto schedule =
      write_into(folder, "schedule.json", [&program](std::ostream& out) { (void)write_schedule_json(out, program); });
  if (!schedule) return std::unexpected(schedule.error());
  for (std::size_t tile = 0; tile < program.tile_commands.size(); ++tile) {
    const std::string bytes = command_stream_bytes(program.tile_commands[tile]);  // one tile's stream at a time
    auto written = write_into(folder, tile_file_name(static_cast<std::uint16_t>(tile), tile_count),
                              [&bytes](std::ostream& out) { write_bytes(out, bytes); });
    if (!written) return std::unexpected(written.error());
  }
  return names.size();
}

}  // namespace velk_io
