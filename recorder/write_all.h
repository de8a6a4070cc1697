#pragma once

#include <cstddef>

namespace kivrec {

// Writes all of `size` bytes to `fd` with write(2), retrying after
// signals and short writes; gives up silently on an error (a trace that
// cannot be written must not disturb the program).
void write_all(int fd, const void* data, std::size_t size);

}  // namespace kivrec
