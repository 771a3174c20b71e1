// Files and folders through the Windows backend: the image search and unbuffered sector reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "windows_support.h"

namespace {

using tarn_windows::ScratchFolder;
using tarn_windows::WriteWholeFile;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GetCurrentDirectoryA(MAX_PATH, previous_);
    ASSERT_TRUE(win32::SetCurrentDirectoryA(folder_.path().c_str()));
  }
  void TearDown() override { SetCurrentDirectoryA(previous_); }

  // The names "*.hdr" matches, in the order the folder lists them.
  static std::vector<std::string> ListedImages() {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA("*", &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      const std::string name = found.cFileName;
      if (name.size() > 4 && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, name.c_str() + name.size() - 4,
                                            4, ".hdr", 4) == CSTR_EQUAL)
        names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
  }

  ScratchFolder folder_;
  char previous_[MAX_PATH] = {};
};

TEST_F(FilesTest, TheSearchFindsTheFirstImageTheFolderListsInAnyCase) {
  ASSERT_TRUE(WriteWholeFile(folder_ / "readme.txt", "not an image"));
  ASSERT_TRUE(WriteWholeFile(folder_ / "B12.HDR", "second"));
  ASSERT_TRUE(WriteWholeFile(folder_ / "a07.hdr", "first"));
  const std::vector<std::string> listed = ListedImages();
  ASSERT_EQ(listed.size(), 2u);

  win32::WIN32_FIND_DATAA found{};
  const win32::HANDLE search = win32::FindFirstFileA("*.hdr", &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::string(found.cFileName), listed.front());
  EXPECT_EQ(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_EQ(found.nFileSizeLow, listed.front() == "a07.hdr" ? 5u : 6u);
  EXPECT_TRUE(win32::FindClose(search));
}

TEST_F(FilesTest, AFolderWithoutImagesGivesFileNotFound) {
  ASSERT_TRUE(WriteWholeFile(folder_ / "image.bin", "x"));
  win32::WIN32_FIND_DATAA found{};
  EXPECT_EQ(win32::FindFirstFileA("*.hdr", &found), INVALID_HANDLE_VALUE);
  EXPECT_EQ(win32::GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(FilesTest, AFolderNamedLikeAnImageIsFoundButCannotBeRead) {
  ASSERT_TRUE(CreateDirectoryA((folder_ / "A07.hdr").c_str(), nullptr));
  win32::WIN32_FIND_DATAA found{};
  const win32::HANDLE search = win32::FindFirstFileA("*.hdr", &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::string(found.cFileName), "A07.hdr");
  EXPECT_NE(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  win32::FindClose(search);
  const win32::HANDLE file = win32::CreateFileA("A07.hdr", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                                FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(file, INVALID_HANDLE_VALUE);
  if (file != INVALID_HANDLE_VALUE) win32::CloseHandle(file);
}

TEST_F(FilesTest, UnbufferedReadsDeliverWholeSectorsThenTheRestThenNothing) {
  win32::DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
  ASSERT_TRUE(
      win32::GetDiskFreeSpaceA(nullptr, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters));
  ASSERT_GE(bytesPerSector, 512u);
  ASSERT_EQ(bytesPerSector & (bytesPerSector - 1), 0u);

  std::string content;
  for (win32::DWORD i = 0; i < 2 * bytesPerSector + 276; ++i) content.push_back(static_cast<char>(i * 7 + 3));
  ASSERT_TRUE(WriteWholeFile(folder_ / "A07.HDR", content));

  const win32::HANDLE file = win32::CreateFileA("A07.HDR", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                                FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(win32::GetFileSize(file, nullptr), content.size());

  const win32::HANDLE heap = win32::GetProcessHeap();
  auto* block = static_cast<char*>(win32::HeapAlloc(heap, 0, 2 * bytesPerSector));
  ASSERT_NE(block, nullptr);
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  char* area = reinterpret_cast<char*>((start + bytesPerSector - 1) & ~std::uintptr_t{bytesPerSector - 1});

  std::string read;
  std::vector<win32::DWORD> counts;
  for (int i = 0; i < 5; ++i) {
    win32::DWORD got = 0xFFFF;
    ASSERT_TRUE(win32::ReadFile(file, area, bytesPerSector, &got, nullptr));
    counts.push_back(got);
    read.append(area, got);
    if (got == 0) break;
  }
  EXPECT_EQ(counts, (std::vector<win32::DWORD>{bytesPerSector, bytesPerSector, 276, 0}));
  EXPECT_EQ(read, content);
  EXPECT_TRUE(win32::HeapFree(heap, 0, block));
  EXPECT_TRUE(win32::CloseHandle(file));
}

TEST_F(FilesTest, AFileHeldWithoutSharingCannotBeOpenedAgain) {
  ASSERT_TRUE(WriteWholeFile(folder_ / "A07.HDR", "image"));
  const win32::HANDLE first =
      win32::CreateFileA("A07.HDR", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  const win32::HANDLE second =
      win32::CreateFileA("A07.HDR", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(win32::GetLastError(), ERROR_SHARING_VIOLATION);
  win32::CloseHandle(first);
}

}  // namespace
