#include "index/inspect.h"

#include <cstring>

#include "index/index_file.h"
#include "index/object_name.h"

namespace stow {
namespace {

// The folder that holds `path`; empty when there is none to look at (no
// separator, or the top folder).
std::string FolderAbove(const std::string& path) {
  const size_t cut = path.find_last_of(platform::kSeparator);
  if (cut == std::string::npos || cut == 0) return std::string();
  if (platform::IsTopFolder(path.c_str(), cut)) return std::string();
  return path.substr(0, cut);
}

// Throws when the folder `folder`, missing, could never be made: the
// nearest of its ancestors that exists must be a folder.
void CheckFolderCanBeMade(const std::string& folder) {
  std::string at = folder;
  for (int depth = 0; !at.empty() && depth < 256; ++depth, at = FolderAbove(at)) {
    platform::FileInfo info;
    const uint32_t error = platform::env().GetFileKind(at.c_str(), &info).code();
    const platform::FileKind kind = info.kind;
    if (kind == platform::FileKind::kDirectory) return;
    if (kind != platform::FileKind::kMissing) {
      throw OsError(platform::kErrorNotAFolder, "cannot make the cache folder below",
                    at);
    }
    // A part of the path that is a file: the system says so for the
    // first folder below it; go on up to find which part it is.
    if (!platform::IsNotFound(error) && error != platform::kErrorNotAFolder) {
      throw OsError(error, platform::kFileSizeCall, at);
    }
  }
}

}  // namespace

bool IndexFilePresent(const std::string& index_path, uint64_t* size) {
  platform::FileInfo info;
  const uint32_t error = platform::env().GetFileKind(index_path.c_str(), &info).code();
  *size = info.size;
  switch (info.kind) {
    case platform::FileKind::kRegular:
      return true;
    case platform::FileKind::kMissing:
      if (!platform::IsNotFound(error) && error != platform::kErrorNotAFolder) {
        throw OsError(error, platform::kFileSizeCall, index_path);
      }
      CheckFolderCanBeMade(FolderAbove(index_path));
      return false;
    default:
      throw OsError(platform::kErrorInvalidName, "open (not a regular file)", index_path);
  }
}

IndexInspection::IndexInspection(const std::string& index_path) {
  // Opening the lock creates the index file where the lock lives on it:
  // look first, so that a missing index stays missing.
  present_ = IndexFilePresent(index_path, &file_size_);
  if (!present_ || file_size_ < kIndexFileSize) return;
  platform::env()
      .OpenNamedMutex(MakeObjectName(kMutexPrefix, index_path.c_str()), index_path, &mutex_)
      .ThrowIfFailed();
  // The file is long enough already: mapping it does not grow it.
  platform::env()
      .OpenSharedFile(index_path, MakeObjectName(kMappingPrefix, index_path.c_str()),
                      kIndexFileSize, std::string(kIndexMagic, std::strlen(kIndexMagic) + 1), &file_)
      .ThrowIfFailed();
  header_ = reinterpret_cast<const IndexFileHeader*>(file_->data());
  blocks_ = reinterpret_cast<const ImageFileBlock*>(file_->data() + kHeaderRegionSize);
  // The lookup table, only when a full-length one is there already: it
  // lets a walk in batches prove where it stopped without walking back.
  const size_t cut = index_path.find_last_of(platform::kSeparator);
  const std::string table_path =
      index_path.substr(0, cut == std::string::npos ? 0 : cut + 1) + kLookupFileName;
  platform::FileInfo table;
  if (platform::env().GetFileKind(table_path.c_str(), &table).ok() &&
      table.kind == platform::FileKind::kRegular && table.size >= LookupTable::kFileSize) {
    try {
      table_ = std::make_unique<LookupTable>(table_path);
    } catch (const OsError&) {
      // Without it a walk proves its place the slow way.
    }
  }
}

bool IndexInspection::ReconciliationPending() const {
  return table_ != nullptr ? table_->ReconciliationPending() : platform::env().BootIdentity().known;
}

bool IndexInspection::StampOf(const IndexFileHeader& header, int32_t block, uint32_t* epoch,
                              uint32_t* stamp) const {
  if (table_ == nullptr || !BlockInRange(block) || !table_->InSync(header)) return false;
  *epoch = table_->Epoch();
  *stamp = table_->Stamp(block);
  return true;
}

ChangeProof IndexInspection::ProofOf(const IndexFileHeader& header, int32_t block) const {
  ChangeProof proof;
  proof.known = StampOf(header, block, &proof.epoch, &proof.stamp);
  proof.listed_mark = header.ListedMark;
  return proof;
}

bool IndexInspection::NoteOf(int32_t block, BlockNote* note) const {
  if (table_ == nullptr || !BlockInRange(block)) return false;
  *note = table_->Note(block);
  return true;
}

bool IndexInspection::BoundsOf(const IndexFileHeader& header, PassBounds* bounds) const {
  if (table_ == nullptr || !table_->InSync(header)) return false;
  *bounds = table_->Bounds();
  return true;
}

bool IndexInspection::CountersOf(CounterValues* counters) const {
  if (table_ == nullptr) return false;
  *counters = table_->Counters();
  return true;
}

IndexInspection::~IndexInspection() {
  table_.reset();
  header_ = nullptr;
  blocks_ = nullptr;
  file_.reset();
  mutex_.reset();
}

bool IndexInspection::Lock() {
  platform::NamedMutex::LockResult result;
  mutex_->Lock(kIndexLockTimeoutMs, &result).ThrowIfFailed();
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
  notes_.assign(table_ != nullptr ? kBlockCount : 0, BlockNote());
  Warm();
  image->interrupted =
      Read([&](const IndexFileHeader& h, const ImageFileBlock* blocks, bool interrupted) {
        std::memcpy(&image->header, &h, sizeof(h));
        std::memcpy(image->blocks.data(), blocks, sizeof(ImageFileBlock) * kBlockCount);
        for (int32_t i = 0; i < static_cast<int32_t>(notes_.size()); ++i) notes_[i] = table_->Note(i);
        bounds_copied_ = BoundsOf(h, &bounds_);
        return interrupted;
      });
}

}  // namespace stow
