// Opening model files: regular files only, and never a blocking open (a FIFO
// or device named as a model file must fail, not hang).
#pragma once
#include <cstdio>
#include <string>

namespace vantrel {

enum class OpenResult { Ok, CannotOpen, NotRegular };

// Opens `path` for binary reading without blocking and returns it only when
// it is a regular file; `result` says why not otherwise (errno is kept for
// CannotOpen). The returned stream reads in blocking mode.
FILE* open_regular_file(const std::string& path, OpenResult* result);

}  // namespace vantrel
