#include "maintenance/adoption.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "config/log.h"
#include "index/index_file.h"
#include "maintenance/own_files.h"

namespace stow {
namespace {

// Walks of the list for the identities of the listed files, when other
// processes change the list under the first ones.
constexpr int kListAttempts = 3;

struct Candidate {
  std::string path;
  uint64_t size;
  int64_t modified;
};

}  // namespace

ListEnd ListedIdentities(const std::string& index_path, const CacheSettings& cache,
                         FileIdSet* listed) {
  ListEnd end = ListEnd::kEnd;
  for (int attempt = 0; attempt < kListAttempts; ++attempt) {
    listed->clear();
    int32_t reported = 0;
    end = ListIndex(
        index_path, cache, 0, kIdentityWalkBatch,
        [&](const ListedEntry& e) {
          platform::FileId id;
          if (platform::env().GetFileId(e.path, false, &id).ok() && id.known) listed->insert(id);
          return true;
        },
        &reported);
    if (end != ListEnd::kChanged) break;
  }
  return end;
}

AdoptionResult AdoptUnlisted(const std::string& index_path, const CacheSettings& cache,
                             std::vector<AdoptionTop> tops, const AdoptionOptions& options,
                             const std::function<void(const AdoptionResult&)>& progress) {
  AdoptionResult a;
  FileIdSet listed;
  a.end = ListedIdentities(index_path, cache, &listed);
  if (a.end != ListEnd::kEnd) return a;
  const OwnFiles own(index_path);

  std::vector<Candidate> candidates;
  {
    FileIdSet seen;
    DiskWalkBounds bounds;
    bounds.one_file_system = true;
    DiskWalk walk("Adoption", bounds);
    for (AdoptionTop& top : tops) {
      std::string why;
      const bool walked = walk.Walk(
          std::move(top.folder), top.spelling,
          [&](const WalkedFile& f) {
            if (own.Holds(f.path.c_str(), &f.info.id)) return true;
            if (f.info.id.known && !seen.insert(f.info.id).second) return true;
            a.found += 1;
            if (f.info.id.known && listed.count(f.info.id) != 0) {
              a.listed += 1;
            } else if (options.modified_before > 0 && f.info.modified >= options.modified_before) {
              a.newer += 1;
            } else {
              candidates.push_back({f.path, f.info.size, f.info.modified});
            }
            return true;
          },
          &why);
      if (!walked) {
        a.walked = false;
        a.why = "cannot read " + top.spelling + ": " + why;
        return a;
      }
    }
  }
  // The oldest first: registered first, it is the first a pass deletes.
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& x, const Candidate& y) {
                     return x.modified != y.modified ? x.modified < y.modified : x.path < y.path;
                   });

  std::unique_ptr<IndexFile> own_index;
  IndexFile* index = options.index;
  if (index == nullptr) {
    own_index = std::make_unique<IndexFile>(index_path, cache);
    index = own_index.get();
  }
  for (size_t from = 0; from < candidates.size(); from += kAdoptBatch) {
    const size_t n = std::min(kAdoptBatch, candidates.size() - from);
    for (size_t k = 0; k < n; ++k) {
      const Candidate& c = candidates[from + k];
      if (c.path.size() >= kFileNameSize) {
        WriteLogBufferToFile("Path too long to register, not adopted: %s.\n", c.path.c_str());
        index->CountRefusedRegistrations(false);
        a.failed += 1;
        a.too_long += 1;
        continue;
      }
      // As a registration makes it.
      FileRecord record;
      std::memset(&record, 0, sizeof(record));
      std::memcpy(record.ImageFileName, c.path.data(), c.path.size());
      record.FileSize = CountedSize(c.size);
      if (index->AddFile(record, options.delay)) {
        WriteLogBufferToFile("New File To Cache: %s.\n", record.ImageFileName);
        a.adopted += 1;
        a.adopted_bytes += record.FileSize;
      } else if (index->Full()) {
        const int32_t rest = static_cast<int32_t>(candidates.size() - from - k);
        WriteLogBufferToFile("The index is full: %d files were not adopted.\n", rest);
        index->CountRefusedRegistrations(true, static_cast<uint64_t>(rest));
        a.failed += rest;
        a.full = true;
        from = candidates.size();
        break;
      } else {
        index->CountRefusedRegistrations(false);
        a.failed += 1;  // the lock could not be had; its line is in the log
      }
    }
    if (from + n >= candidates.size()) continue;
    if (progress) progress(a);
    if (options.stop && options.stop()) {
      a.stopped = true;
      break;
    }
  }
  if (own_index != nullptr) own_index->MarkCleanStop();
  if (options.summary_lines && tops.size() == 1) {
    WriteLogBufferToFile(
        "Adoption below %s: %d files found, %d listed already, %d registered (%lld bytes), %d "
        "failed.\n",
        tops[0].spelling.c_str(), a.found, a.listed, a.adopted,
        static_cast<long long>(a.adopted_bytes), a.failed);
  }
  return a;
}

}  // namespace stow
