// Image staging: find the image beside the program, read it whole with unbuffered sector reads,
// exchange the nibbles of every byte, and hand it to the driver.
#include "zim/app/image_staging.h"

#include <cstring>

#include "zim/app/bios_upgrade.h"
#include "zim/driver/image_controls.h"

namespace {

constexpr win32::DWORD kDefaultSectorSize = 512;
// Larger answers are not believed: no disk has such sectors, and the sector buffer is twice as big.
constexpr win32::DWORD kLargestSectorSize = 0x10000;

// Releases the image buffers and the file on every path out of StageImage.
class StagingResources {
 public:
  explicit StagingResources(win32::HANDLE file) : file_(file) {}
  ~StagingResources() {
    if (sector_ != nullptr) win32::HeapFree(heap_, 0, sector_);
    if (image_ != nullptr) win32::HeapFree(heap_, 0, image_);
    win32::CloseHandle(file_);
  }
  StagingResources(const StagingResources&) = delete;
  StagingResources& operator=(const StagingResources&) = delete;

  // Allocates both buffers; false when either cannot be had.
  bool Allocate(win32::DWORD imageSize, win32::DWORD sectorSize) {
    image_ = static_cast<std::uint8_t*>(win32::HeapAlloc(heap_, 0, imageSize));
    if (image_ == nullptr) return false;
    sector_ = static_cast<std::uint8_t*>(win32::HeapAlloc(heap_, 0, 2 * sectorSize - 1));
    return sector_ != nullptr;
  }
  std::uint8_t* image() const { return image_; }
  // The sector-sized area at the first sector-aligned address inside the sector buffer.
  std::uint8_t* ReadArea(win32::DWORD sectorSize) const {
    const auto start = reinterpret_cast<std::uintptr_t>(sector_);
    return reinterpret_cast<std::uint8_t*>((start + sectorSize - 1) & ~std::uintptr_t{sectorSize - 1});
  }

 private:
  win32::HANDLE heap_ = win32::GetProcessHeap();
  win32::HANDLE file_;
  std::uint8_t* image_ = nullptr;
  std::uint8_t* sector_ = nullptr;
};

}  // namespace

void ExchangeNibbles(const std::uint8_t* from, std::uint8_t* to, std::size_t count) {
  // Whole words at a time: shifting a word and masking off what crossed into the neighbouring byte
  // exchanges the halves of all its bytes at once. Two words per step keep the processor busy; this
  // runs at memory speed rather than a byte per step.
  constexpr std::uint64_t kLowHalves = 0x0F0F0F0F0F0F0F0F;
  std::size_t i = 0;
  for (; count - i >= 16; i += 16) {
    std::uint64_t words[2];
    std::memcpy(words, from + i, sizeof words);
    for (std::uint64_t& w : words) w = ((w >> 4) & kLowHalves) | ((w & kLowHalves) << 4);
    std::memcpy(to + i, words, sizeof words);
  }
  for (; i < count; ++i) to[i] = static_cast<std::uint8_t>((from[i] >> 4) | ((from[i] << 4) & 0xF0));
}

std::string CBiosUpgrade::GetDirectoryOfPath(const std::string& path) {
  const std::size_t cut = path.rfind('\\');
  if (cut == std::string::npos) return {};
  std::string directory = path.substr(0, cut);
  std::erase(directory, '"');
  return directory;
}

std::int32_t CBiosUpgrade::FindImageFile() {
  win32::WIN32_FIND_DATAA found{};
  const win32::HANDLE search = win32::FindFirstFileA("*.hdr", &found);
  if (search == win32::INVALID_HANDLE_VALUE) {
    m_strErrorCode = "ERR2";
    return -1;
  }
  const std::string name(found.cFileName, strnlen(found.cFileName, sizeof found.cFileName));
  const std::int32_t result = StageImage(name);
  win32::FindClose(search);
  return result;
}

win32::DWORD CBiosUpgrade::SectorSizeFor(const std::string& path) {
  // A name with a drive asks that drive's root; a bare name lies on the current drive, which a null
  // root names. Unbuffered reads of any other size than the volume's own would be refused.
  const std::size_t colon = path.find(':');
  const std::string root = colon == std::string::npos ? std::string() : path.substr(0, colon) + ":\\";
  win32::DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
  if (!win32::GetDiskFreeSpaceA(root.empty() ? nullptr : root.c_str(), &sectorsPerCluster, &bytesPerSector,
                                &freeClusters, &totalClusters))
    return kDefaultSectorSize;
  const bool powerOfTwo = bytesPerSector != 0 && (bytesPerSector & (bytesPerSector - 1)) == 0;
  return powerOfTwo && bytesPerSector <= kLargestSectorSize ? bytesPerSector : kDefaultSectorSize;
}

std::int32_t CBiosUpgrade::StageImage(const std::string& path) {
  const win32::DWORD sectorSize = SectorSizeFor(path);
  std::int32_t result = -1;
  const win32::HANDLE file =
      win32::CreateFileA(path.c_str(), win32::GENERIC_READ, 0, nullptr, win32::OPEN_EXISTING,
                         win32::FILE_FLAG_NO_BUFFERING | win32::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != win32::INVALID_HANDLE_VALUE) {
    StagingResources held(file);
    const win32::DWORD fileSize = win32::GetFileSize(file, nullptr);
    // A size that cannot be had is no size to allocate.
    if (fileSize == win32::INVALID_FILE_SIZE || !held.Allocate(fileSize, sectorSize)) {
      m_strErrorCode = "ERR7";
      return -1;
    }
    std::uint8_t* area = held.ReadArea(sectorSize);
    win32::DWORD total = 0;
    // A failed or empty read ends the loop; so does one that would not fit (the file grew).
    while (total < fileSize) {
      win32::DWORD got = 0;
      if (!win32::ReadFile(file, area, sectorSize, &got, nullptr) || got == 0 || got > sectorSize ||
          got > fileSize - total)
        break;
      // One pass from the sector into the image, exchanging on the way.
      ExchangeNibbles(area, held.image() + total, got);
      total += got;
    }
    std::memset(area, 0, sectorSize);
    if (total == fileSize) result = StageImageInDriver(held.image(), fileSize);
  }
  if (result == -1) m_strErrorCode = "ERR4";
  return result;
}
