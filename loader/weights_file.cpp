#include "loader/weights_file.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <sys/stat.h>

#include "loader/regular_file.h"

namespace vantrel {

namespace {

[[noreturn]] void read_error(const char* label) {
    throw std::runtime_error(std::string("read error at ") + label);
}

void read_exact(FILE* f, void* buf, size_t n, const char* label) {
    if (n && std::fread(buf, 1, n, f) != n) read_error(label);
}

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t le64(const uint8_t* p) { return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32; }

}  // namespace

WeightsReader::WeightsReader(const std::string& path, uint64_t index_limit)
    : path_(path), memory_limit_(index_limit) {
    OpenResult opened;
    f_ = open_regular_file(path, &opened);
    // Only a regular file has a length, which bounds every count and
    // record before anything is allocated for it.
    if (!f_) throw std::runtime_error("Cannot open weights: " + path);
    try {
        struct stat st;
        if (fstat(fileno(f_), &st) != 0) throw std::runtime_error("Cannot open weights: " + path);
        file_bytes_ = uint64_t(st.st_size);

        uint8_t head[4];
        read_exact(f_, head, 4, "magic");
        if (std::memcmp(head, "W1X1", 4) != 0)
            throw std::runtime_error("Bad magic in " + path + " (expected W1X1)");
        read_exact(f_, head, 4, "version");
        read_exact(f_, head, 4, "num_entries");
        uint64_t n = le32(head);
        // A count the file cannot hold fails where reading would, without
        // first reserving a table for it.
        uint64_t room = (file_bytes_ - kWeightHeaderBytes) / kWeightIndexEntryBytes;
        if (n > room) read_error("index_entry");
        if (n > index_limit / kWeightIndexEntryMemory)
            throw std::runtime_error("Weights file " + path + " declares " + std::to_string(n) +
                                     " tensors; their index would need " + std::to_string(n * kWeightIndexEntryMemory) +
                                     " bytes, over the model's memory limit of " + std::to_string(index_limit) + " bytes");
        index_.reserve(n ? n : 1);
        uint8_t raw[kWeightIndexEntryBytes];
        for (uint64_t i = 0; i < n; ++i) {
            read_exact(f_, raw, sizeof raw, "index_entry");
            WeightIndexEntry e;
            std::memcpy(e.name, raw, 64);
            e.name[63] = '\0';
            e.offset = le64(raw + 64);
            e.size = le32(raw + 72);
            index_[std::string(e.name)] = e;  // a later entry replaces an earlier one
        }
    } catch (...) {
        close();
        throw;
    }
}

WeightsReader::~WeightsReader() { close(); }

void WeightsReader::close() {
    if (f_ && std::fclose(f_) != 0)
        std::fprintf(stderr, "Warning: fclose failed for %s: %s\n", path_.c_str(), std::strerror(errno));
    f_ = nullptr;
}

bool WeightsReader::fetch(const std::string& name, std::vector<int>& shape, std::vector<uint8_t>& bytes,
                          WeightLoadMemoryStats* stats, uint64_t max_bytes) {
    auto it = index_.find(name);
    if (it == index_.end() || !f_) return false;
    const WeightIndexEntry& e = it->second;
    if (e.offset > uint64_t(INT64_MAX) || fseeko(f_, off_t(e.offset), SEEK_SET) != 0) return false;

    // Every field is checked against the file's length first, so a record
    // pointing past the end fails with the label of the field it would
    // first read short, before any allocation.
    auto fits = [&](uint64_t at, uint64_t n) { return at <= file_bytes_ && n <= file_bytes_ - at; };
    uint64_t pos = e.offset;
    if (!fits(pos, 1)) read_error("tensor_dtype");
    if (!fits(pos + 1, 1)) read_error("tensor_ordering");
    if (!fits(pos + 2, 2)) read_error("tensor_ndim");
    uint8_t head[4];
    read_exact(f_, head, 4, "tensor_ndim");
    uint32_t ndim = uint32_t(head[2]) | uint32_t(head[3]) << 8;
    uint64_t header = 4 + 4 * uint64_t(ndim);
    if (!fits(pos + 4, 4 * uint64_t(ndim))) read_error("tensor_shape");
    if (e.size < header)
        throw std::runtime_error("read error at tensor_data: record '" + name + "' is " +
                                 std::to_string(e.size) + " bytes, below its " + std::to_string(header) +
                                 "-byte header");
    uint64_t data = e.size - header;
    if (!fits(pos + header, data))
        throw std::runtime_error("read error at tensor_data: record '" + name + "' claims " + std::to_string(data) +
                                 " data bytes at offset " + std::to_string(pos + header) + " of a " +
                                 std::to_string(file_bytes_) + "-byte file");
    if (data > memory_limit_)
        throw std::runtime_error("Weights file " + path_ + ": record '" + name + "' holds " + std::to_string(data) +
                                 " data bytes, over the model's memory limit of " + std::to_string(memory_limit_) +
                                 " bytes");
    if (data > max_bytes)
        throw WeightRecordTooLarge("Weights file " + path_ + ": record '" + name + "' holds " +
                                       std::to_string(data) + " data bytes, more than the " +
                                       std::to_string(max_bytes) + " its layer expects",
                                   data);

    std::vector<uint8_t> dims(4 * size_t(ndim));
    read_exact(f_, dims.data(), dims.size(), "tensor_shape");
    shape.resize(ndim);
    for (uint32_t d = 0; d < ndim; ++d) shape[d] = int32_t(le32(&dims[4 * d]));
    // Elements are at least one byte, so a shape with a negative dimension
    // or more elements than data bytes cannot describe the record; layers
    // that size loops from the shape must never see one.
    uint64_t elems = 1;  // saturates once past `data`; 0 if any dimension is 0
    for (uint32_t d = 0; d < ndim; ++d) {
        if (shape[d] < 0)
            throw std::runtime_error("read error at tensor_shape: record '" + name + "' has dimension " +
                                     std::to_string(d) + " of " + std::to_string(shape[d]));
        if (shape[d] == 0 || elems <= data) elems *= uint64_t(shape[d]);
    }
    if (elems > data && ndim)
        throw std::runtime_error("read error at tensor_shape: record '" + name + "' has a shape of more elements "
                                 "than its " + std::to_string(data) + " data bytes");
    bytes.resize(size_t(data));
    if (stats && data > stats->peak_tensor_bytes) stats->peak_tensor_bytes = data;
    read_exact(f_, bytes.data(), size_t(data), "tensor_data");
    return true;
}

WeightFetch make_weight_fetch(WeightsReader& reader, WeightLoadMemoryStats* stats) {
    return [&reader, stats](const std::string& name, std::vector<int>& shape, std::vector<uint8_t>& bytes,
                            uint64_t max_bytes) { return reader.fetch(name, shape, bytes, stats, max_bytes); };
}

}  // namespace vantrel
