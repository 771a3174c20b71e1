// The real SMBIOS tables in the shared folder beside the checkout. Tests that use them skip, saying
// so, where the folder is absent.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace tarn_test {

inline std::filesystem::path SharedTablesDir() { return std::filesystem::path(TARN_SHARED_DIR) / "smbios-tables"; }

inline std::vector<std::filesystem::path> SharedTables() {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(SharedTablesDir(), ec))
    if (entry.path().extension() == ".bin") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace tarn_test

#define TARN_REQUIRE_SHARED_TABLES(files)                                                            \
  if ((files).empty()) GTEST_SKIP() << "no SMBIOS tables at " << tarn_test::SharedTablesDir().string() \
                                    << " (the shared folder beside the checkout is absent)"
