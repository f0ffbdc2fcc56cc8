#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace lumenrail::test {

// A private temporary folder, removed with everything in it.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "lumenrail-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::permissions(root_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(root_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::string path(const std::string& leaf) const { return (root_ / leaf).string(); }

 private:
  std::filesystem::path root_;
};

}  // namespace lumenrail::test
