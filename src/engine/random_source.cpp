#include "engine/random_source.hpp"

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

[[noreturn]] void fail(int error) {
    throw std::runtime_error(std::string("Error: ") + std::strerror(error));
}

// Reads `out` through `read_some`, continuing short reads and repeating interrupted calls.
template <class ReadSome>
void read_fully(std::span<std::uint8_t> out, ReadSome read_some) {
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ssize_t got = read_some(out.data() + filled, out.size() - filled);
        if (got < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        if (got == 0) fail(EIO);
        filled += static_cast<std::size_t>(got);
    }
}

// Fallback for kernels without getrandom(2) or sandboxes that refuse it: wait until
// /dev/random is readable (the pool is initialised), then read /dev/urandom, which
// stays open for the life of the process.
int urandom_descriptor() {
    static const int fd = [] {
        const int random_fd = ::open("/dev/random", O_RDONLY | O_CLOEXEC);
        if (random_fd < 0) fail(errno);
        pollfd ready{random_fd, POLLIN, 0};
        while (::poll(&ready, 1, -1) < 0) {
            if (errno != EINTR) {
                const int error = errno;
                ::close(random_fd);
                fail(error);
            }
        }
        ::close(random_fd);
        const int urandom_fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        if (urandom_fd < 0) fail(errno);
        return urandom_fd;
    }();
    return fd;
}

}  // namespace

void fill_random(std::span<std::uint8_t> out) {
    // getrandom may be refused midway only in odd sandboxes; decide per call.
    const ssize_t probe = ::getrandom(out.data(), out.size(), 0);
    if (probe >= 0 || errno == EINTR) {
        const std::size_t done = probe > 0 ? static_cast<std::size_t>(probe) : 0;
        read_fully(out.subspan(done), [](std::uint8_t* p, std::size_t n) { return ::getrandom(p, n, 0); });
        return;
    }
    if (errno != ENOSYS && errno != EPERM) fail(errno);
    const int fd = urandom_descriptor();
    read_fully(out, [fd](std::uint8_t* p, std::size_t n) { return ::read(fd, p, n); });
}

}  // namespace vek::engine
