// Reading input files and writing an output folder. Filesystem failures come back as
// IoError values placed at the file's path, with the system's reason.
#pragma once

#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "velk_io/error.hpp"
#include "velk_io/output_files.hpp"

namespace velk_io {

// The whole file.
[[nodiscard]] Result<std::string> read_file(const std::filesystem::path& path);

// Writes the file, replacing one of the same name; its folder must exist.
[[nodiscard]] Result<void> write_file(const std::filesystem::path& path, std::string_view contents);

// Writes every file under `folder`, creating the folder and its subfolders, replacing files
// of the same name. Command stream files (tiles/<digits>.bin) that this output does not
// contain are removed first, so a folder written twice with different tile counts holds
// exactly the second output's files; nothing else in the folder is touched.
[[nodiscard]] Result<void> write_output_files(const std::filesystem::path& folder, std::span<const OutputFile> files);

}  // namespace velk_io
