// Double-mapped ring storage on a Linux memory file. See mirror_map.h.
#include "common/mirror_map.h"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

namespace ox {

size_t page_size() {
    const long p = sysconf(_SC_PAGESIZE);
    return p > 0 ? static_cast<size_t>(p) : 4096;
}

void *mirror_map(size_t bytes) {
    if (bytes == 0 || bytes > SIZE_MAX / 2) return nullptr;
    // memfd_create issued as a raw system call (flags 0): no libc wrapper version needed.
    const int fd = static_cast<int>(syscall(SYS_memfd_create, "ox_shm", 0));
    if (fd < 0) return nullptr;
    void *result = nullptr;
    if (ftruncate(fd, static_cast<off_t>(bytes)) == 0) {
        // Reserve the whole address range first so the two fixed mappings cannot land on
        // anything else, then map the file over each half.
        void *res = mmap(nullptr, 2 * bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (res != MAP_FAILED) {
            auto *lo_half = static_cast<uint8_t *>(res);
            void *a = mmap(lo_half, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0);
            void *b = a == MAP_FAILED ? MAP_FAILED
                                      : mmap(lo_half + bytes, bytes, PROT_READ | PROT_WRITE,
                                             MAP_SHARED | MAP_FIXED, fd, 0);
            if (a != MAP_FAILED && b != MAP_FAILED) {
                result = res;
            } else {
                munmap(res, 2 * bytes);
            }
        }
    }
    close(fd);
    return result;
}

void mirror_unmap(void *base, size_t bytes) {
    if (base) munmap(base, 2 * bytes);
}

}  // namespace ox
