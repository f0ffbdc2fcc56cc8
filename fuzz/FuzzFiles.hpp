#pragma once

// A private scratch folder for targets whose parser reads a file; emptied
// before each input so that files set aside do not pile up. In memory where
// there is /dev/shm: the stores fsync every write.

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace lumenrail::fuzz {

inline const std::filesystem::path& scratchFolder() {
  static const std::filesystem::path folder = [] {
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    std::string pattern = (base / "lumenrail-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    static const std::string made = pattern;
    std::atexit([] { std::filesystem::remove_all(made); });
    return std::filesystem::path(pattern);
  }();
  return folder;
}

// Empties the folder and writes `size` bytes to `name` in it.
inline std::filesystem::path freshFile(const char* name, const uint8_t* data, size_t size) {
  const auto& folder = scratchFolder();
  for (const auto& entry : std::filesystem::directory_iterator(folder)) std::filesystem::remove_all(entry.path());
  const auto path = folder / name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), std::streamsize(size));
  return path;
}

}  // namespace lumenrail::fuzz
