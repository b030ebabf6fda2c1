// The weights file: a 12-byte header ("W1X1", version, entry count), an
// index of 80-byte entries and the tensor records they point at. Only the
// index is read up front; a record is read when a layer asks for it.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/layer.h"

namespace vantrel {

struct WeightIndexEntry {
    char name[64];
    uint64_t offset;
    uint32_t size;
};

struct WeightLoadMemoryStats {
    uint64_t peak_tensor_bytes = 0;
    // Packed weight blocks offered for sharing during the load, how many of
    // them found an identical live block, and the bytes those reuses saved.
    uint64_t packed_blocks = 0;
    uint64_t shared_packed_blocks = 0;
    uint64_t shared_packed_bytes = 0;
};

constexpr size_t kWeightHeaderBytes = 12;
constexpr size_t kWeightIndexEntryBytes = 80;
// Memory one index entry takes once read (entry, name and map node).
constexpr uint64_t kWeightIndexEntryMemory = 192;

class WeightsReader {
public:
    // Opens the file, checks the magic and reads the index.
    // `index_limit` is the model's memory limit: it bounds the memory the
    // index may take and each record's data (a sparse file can claim
    // millions of entries or gigabyte records that cost nothing on disk).
    explicit WeightsReader(const std::string& path, uint64_t index_limit = UINT64_MAX);
    ~WeightsReader();
    WeightsReader(const WeightsReader&) = delete;
    WeightsReader& operator=(const WeightsReader&) = delete;

    // False, leaving shape and bytes untouched, when the name is absent or
    // the seek fails. A record that does not fit the file or whose data
    // passes the memory limit throws; one whose data passes max_bytes throws
    // WeightRecordTooLarge. All of these are checked before the data buffer
    // is sized.
    bool fetch(const std::string& name, std::vector<int>& shape, std::vector<uint8_t>& bytes,
               WeightLoadMemoryStats* stats, uint64_t max_bytes = UINT64_MAX);
    // Closes now; a failed close only prints a warning.
    void close();

    size_t entry_count() const { return index_.size(); }
    uint64_t file_bytes() const { return file_bytes_; }

private:
    FILE* f_ = nullptr;
    std::string path_;
    uint64_t file_bytes_ = 0;
    uint64_t memory_limit_ = UINT64_MAX;
    std::unordered_map<std::string, WeightIndexEntry> index_;
};

// The callback every layer's load_weights receives; valid while `reader` is open.
WeightFetch make_weight_fetch(WeightsReader& reader, WeightLoadMemoryStats* stats);

}  // namespace vantrel
