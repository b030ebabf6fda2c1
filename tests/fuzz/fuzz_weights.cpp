// Fuzzes the weights-file reader: opening either succeeds or throws
// std::runtime_error, and so does fetching every name the index holds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "loader/weights_file.h"

using namespace vantrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::MemFile file(data, size);
    try {
        WeightsReader reader(file.path());
        // The names are read back from the raw index the way the reader
        // keys them (text up to the first NUL, at most 63 bytes).
        WeightLoadMemoryStats stats;
        for (size_t i = 0; i < 64; ++i) {
            size_t at = kWeightHeaderBytes + i * kWeightIndexEntryBytes;
            if (at + kWeightIndexEntryBytes > size) break;
            char name[64];
            std::memcpy(name, data + at, 63);
            name[63] = '\0';
            std::vector<int> shape;
            std::vector<uint8_t> bytes;
            try {
                if (reader.fetch(name, shape, bytes, &stats) && bytes.size() > reader.file_bytes())
                    __builtin_trap();
            } catch (const std::runtime_error&) {
            }
        }
    } catch (const std::runtime_error&) {
    }
    return 0;
}
