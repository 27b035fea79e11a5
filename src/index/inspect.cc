#include "index/inspect.h"

#include <cstring>

#include "index/index_file.h"
#include "index/object_name.h"

namespace stow {

IndexInspection::IndexInspection(const std::string& index_path) {
  // Opening the lock creates the index file where the lock lives on it:
  // look first, so that a missing index stays missing.
  present_ = platform::env().GetFileKind(index_path.c_str(), &file_size_, nullptr) !=
             platform::FileKind::kMissing;
  if (!present_ || file_size_ < kIndexFileSize) return;
  mutex_ =
      platform::env().OpenNamedMutex(MakeObjectName(kMutexPrefix, index_path.c_str()), index_path);
  // The file is long enough already: mapping it does not grow it.
  file_ = platform::env().OpenSharedFile(
      index_path, MakeObjectName(kMappingPrefix, index_path.c_str()), kIndexFileSize,
      std::string(kIndexMagic, std::strlen(kIndexMagic) + 1));
  header_ = reinterpret_cast<const IndexFileHeader*>(file_->data());
  blocks_ = reinterpret_cast<const ImageFileBlock*>(file_->data() + kHeaderRegionSize);
}

IndexInspection::~IndexInspection() {
  header_ = nullptr;
  blocks_ = nullptr;
  file_.reset();
  mutex_.reset();
}

bool IndexInspection::Lock() {
  const platform::NamedMutex::LockResult result = mutex_->Lock(kIndexLockTimeoutMs);
  if (result == platform::NamedMutex::LockResult::kTimedOut) {
    throw OsError(platform::kErrorTimedOut, "index lock");
  }
  const bool abandoned = result == platform::NamedMutex::LockResult::kAbandoned;
  // The ordinary holders set the marker while they hold the lock: still set
  // now, it was left by one that died.
  return abandoned || header_->LockMarker != 0;
}

void IndexInspection::Unlock() { mutex_->Unlock(); }

void IndexInspection::Warm() {
  constexpr size_t kParts = 8;
  constexpr size_t kPage = 4096;  // or a part of a larger page
  const volatile uint8_t* bytes = file_->data();
  for (size_t part = 0; part < kParts; ++part) {
    Read([&](const IndexFileHeader&, const ImageFileBlock*, bool) {
      for (size_t at = part * kIndexFileSize / kParts; at < (part + 1) * kIndexFileSize / kParts;
           at += kPage) {
        static_cast<void>(bytes[at]);
      }
      return 0;
    });
  }
}

void IndexInspection::Copy(Image* image) {
  image->blocks.assign(kBlockCount, ImageFileBlock());
  Warm();
  image->interrupted =
      Read([image](const IndexFileHeader& h, const ImageFileBlock* blocks, bool interrupted) {
        std::memcpy(&image->header, &h, sizeof(h));
        std::memcpy(image->blocks.data(), blocks, sizeof(ImageFileBlock) * kBlockCount);
        return interrupted;
      });
}

bool IndexInspection::formatted() {
  if (!mapped()) return false;
  return Read([](const IndexFileHeader& h, const ImageFileBlock*, bool) {
    return std::memcmp(h.Magic, kIndexMagic, std::strlen(kIndexMagic) + 1) == 0;
  });
}

}  // namespace stow
