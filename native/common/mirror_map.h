// Double-mapped ("mirrored") ring storage: a memory file mapped twice back to back, so that any
// run of up to `bytes` bytes starting inside the first copy is contiguous in memory even when it
// crosses the end of the storage. Used by the telemetry ring and the detectors' sample rings.
#pragma once

#include <cstddef>

namespace ox {

// The system page size (4096 when it cannot be read).
size_t page_size();

// Maps an anonymous memory file named "ox_shm" of `bytes` bytes (a multiple of the page size)
// twice back to back inside one reservation of 2 * bytes, read-write and zero-filled. Returns the
// base of the double mapping, or nullptr with nothing held (memory file, truncation, reservation
// or either fixed mapping failed). The file descriptor is closed before returning.
void *mirror_map(size_t bytes);

// Releases a mapping made by mirror_map with the same `bytes`; a null base is ignored.
void mirror_unmap(void *base, size_t bytes);

}  // namespace ox
