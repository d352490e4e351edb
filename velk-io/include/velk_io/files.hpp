// Reading input files and writing an output folder. Filesystem failures come back as
// IoError values placed at the file's path, with the system's reason.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "velk_compiler/program.hpp"
#include "velk_io/error.hpp"
#include "velk_io/output_files.hpp"

namespace velk_io {

// The whole file.
[[nodiscard]] Result<std::string> read_file(const std::filesystem::path& path);

// Writes the file, replacing one of the same name; its folder must exist.
[[nodiscard]] Result<void> write_file(const std::filesystem::path& path, std::string_view contents);

// Opens the file (replacing one of the same name; its folder must exist), lets `write` fill
// it, and reports a file that cannot be opened or whose writing failed (a full disk, ...) at
// its path. Gives the bytes written.
[[nodiscard]] Result<std::uint64_t> write_file_with(const std::filesystem::path& path,
                                                    const std::function<void(std::ostream&)>& write);

// Writes every file under `folder`, creating the folder and its subfolders, replacing files
// of the same name. Command stream files (tiles/<digits>.bin) that this output does not
// contain are removed first, so a folder written twice with different tile counts holds
// exactly the second output's files; nothing else in the folder is touched.
[[nodiscard]] Result<void> write_output_files(const std::filesystem::path& folder, std::span<const OutputFile> files);

// The files of output_files(program), written as write_output_files does but each as it is
// produced: schedule.json streamed, then one tile file after the other straight from the
// program's command streams. Gives the number of files written.
[[nodiscard]] Result<std::size_t> write_program_files(const std::filesystem::path& folder,
                                                      const velk_compiler::Program& program);

}  // namespace velk_io
