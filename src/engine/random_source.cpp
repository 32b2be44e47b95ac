#include "engine/random_source.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/random.h>
#include <unistd.h>

namespace vek::engine {
namespace {

// Reads `out` through `read_some`, continuing short reads and repeating interrupted calls.
template <class ReadSome>
int read_fully(std::span<std::uint8_t> out, ReadSome read_some) {
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ssize_t got = read_some(out.data() + filled, out.size() - filled);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return EIO;
        filled += static_cast<std::size_t>(got);
    }
    return 0;
}

// Waits until /dev/random is readable, which means the pool is initialised.
int wait_for_pool() {
    const int random_fd = ::open("/dev/random", O_RDONLY | O_CLOEXEC);
    if (random_fd < 0) return errno;
    pollfd ready{random_fd, POLLIN, 0};
    int error = 0;
    while (::poll(&ready, 1, -1) < 0) {
        if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    ::close(random_fd);
    return error;
}

// Fallback for kernels without getrandom(2) or sandboxes that refuse it: /dev/urandom,
// opened once the pool is initialised and then kept open for the life of the process.
// A failed attempt leaves nothing behind, so every later call tries again; threads that
// race to open it keep the first descriptor stored.
int urandom_descriptor(int& fd) {
    static std::atomic<int> stored{-1};
    fd = stored.load();
    if (fd >= 0) return 0;
    if (const int error = wait_for_pool()) return error;
    int opened = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (opened < 0) return errno;
    int expected = -1;
    if (!stored.compare_exchange_strong(expected, opened)) {
        ::close(opened);
        opened = expected;
    }
    fd = opened;
    return 0;
}

}  // namespace

int read_random(std::span<std::uint8_t> out) noexcept {
    // getrandom may be refused midway only in odd sandboxes; decide per call.
    const ssize_t probe = ::getrandom(out.data(), out.size(), 0);
    if (probe >= 0 || errno == EINTR) {
        const std::size_t done = probe > 0 ? static_cast<std::size_t>(probe) : 0;
        return read_fully(out.subspan(done), [](std::uint8_t* p, std::size_t n) { return ::getrandom(p, n, 0); });
    }
    if (errno != ENOSYS && errno != EPERM) return errno;
    int fd = -1;
    if (const int error = urandom_descriptor(fd)) return error;
    return read_fully(out, [fd](std::uint8_t* p, std::size_t n) { return ::read(fd, p, n); });
}

void fill_random(std::span<std::uint8_t> out) {
    if (const int error = read_random(out)) throw std::runtime_error(std::string("Error: ") + std::strerror(error));
}

}  // namespace vek::engine
