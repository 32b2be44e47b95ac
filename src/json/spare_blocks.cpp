#include "json/spare_blocks.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <new>
#include <utility>

namespace vek::json {
namespace {

constexpr std::size_t kAlignment = 64;
constexpr std::size_t kSmallestBlock = 4096;
constexpr std::size_t kKeptPerThread = std::size_t{4} << 20;

struct Kept {
    void* block = nullptr;
    std::size_t size = 0;
};

void free_block(void* block, std::size_t size) { ::operator delete(block, size, std::align_val_t{kAlignment}); }

// The blocks one thread keeps. Trivially destructible, so that a tree released late in the
// thread's end (by another thread-local's destructor) still finds it: the blocks are freed by
// `SparesRelease`, after which the thread keeps none.
struct ThreadSpares {
    std::array<Kept, 4> slots;
    std::size_t total = 0;
    bool closed = false;
};

thread_local ThreadSpares spares;

struct SparesRelease {
    ~SparesRelease() {
        for (Kept& kept : spares.slots) {
            if (kept.block != nullptr) free_block(kept.block, kept.size);
            kept = {};
        }
        spares.closed = true;
    }
};

thread_local SparesRelease spares_release;

std::size_t block_size(std::size_t bytes) { return std::bit_ceil(std::max(bytes, kSmallestBlock)); }

class SpareBlocks final : public std::pmr::memory_resource {
    void* do_allocate(std::size_t bytes, std::size_t alignment) override {
        if (alignment > kAlignment) return ::operator new(bytes, std::align_val_t{alignment});
        const std::size_t size = block_size(bytes);
        for (Kept& kept : spares.slots) {
            if (kept.block != nullptr && kept.size == size) {
                spares.total -= size;
                return std::exchange(kept.block, nullptr);
            }
        }
        return ::operator new(size, std::align_val_t{kAlignment});
    }

    void do_deallocate(void* block, std::size_t bytes, std::size_t alignment) override {
        if (alignment > kAlignment) return ::operator delete(block, bytes, std::align_val_t{alignment});
        const std::size_t size = block_size(bytes);
        if (!spares.closed && spares.total + size <= kKeptPerThread) {
            // Its destructor is due at the thread's end only once it has been used.
            static_cast<void>(&spares_release);
            for (Kept& kept : spares.slots) {
                if (kept.block == nullptr) {
                    kept = {block, size};
                    spares.total += size;
                    return;
                }
            }
        }
        free_block(block, size);
    }

    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
};

}  // namespace

std::pmr::memory_resource* spare_blocks() {
    static SpareBlocks resource;
    return &resource;
}

}  // namespace vek::json
