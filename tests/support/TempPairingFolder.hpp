#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "secure/HostPairingStore.hpp"

namespace lumenrail::test {

// A private temporary folder with the host's pairing folder pointed inside
// it ("<root>/LumenrailHost"), so a test never touches the real home; both
// go away with the object.
class TempPairingFolder {
 public:
  explicit TempPairingFolder(const std::string& prefix = "lumenrail-pairing") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    HostPairingStore::setDirectoryOverride(folder());
  }
  ~TempPairingFolder() {
    HostPairingStore::setDirectoryOverride(std::nullopt);
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  TempPairingFolder(const TempPairingFolder&) = delete;
  TempPairingFolder& operator=(const TempPairingFolder&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path folder() const { return root_ / "LumenrailHost"; }

 private:
  std::filesystem::path root_;
};

}  // namespace lumenrail::test
