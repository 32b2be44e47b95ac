// Memory for the trees of parsed texts, kept for the next parse on the same thread rather
// than given back. A tree of a large text takes hundreds of KiB; given back at every release,
// the C library returns it to the system, and the next parse faults it in again page by page,
// which took as long as the parsing itself.
#pragma once

#include <memory_resource>

namespace vek::json {

// Blocks in sizes of powers of two. A thread keeps a few of those it releases (4 MiB at
// most) and hands them out again; the rest are freed.
std::pmr::memory_resource* spare_blocks();

}  // namespace vek::json
