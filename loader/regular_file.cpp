#include "loader/regular_file.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel {

FILE* open_regular_file(const std::string& path, OpenResult* result) {
    // O_NONBLOCK keeps open() itself from waiting for a FIFO's writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *result = OpenResult::CannotOpen;
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        *result = OpenResult::NotRegular;
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE* f = fdopen(fd, "rb");
    if (!f) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        *result = OpenResult::CannotOpen;
        return nullptr;
    }
    *result = OpenResult::Ok;
    return f;
}

}  // namespace vantrel
