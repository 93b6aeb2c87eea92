#include "store/hash_state.hpp"

#include "store/fault.hpp"
#include "store/siphash.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <unistd.h>

namespace corvane::store {

namespace {

struct ThreadSeed {
    bool filled = false;
    HashState keys{0, 0};
};

thread_local ThreadSeed seed;

// Reads exactly `size` bytes with `read_some`, retrying interrupted and short
// reads. False when the source reports an error.
template <class ReadSome>
bool read_fully(unsigned char* out, std::size_t size, ReadSome read_some)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = read_some(out + done, size - done);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

bool read_urandom(unsigned char* out, std::size_t size)
{
    int fd = -1;
    do {
        fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return false;
    }
    const bool ok = read_fully(out, size, [fd](unsigned char* p, std::size_t n) { return ::read(fd, p, n); });
    ::close(fd);
    return ok;
}

void fill_seed()
{
    unsigned char bytes[16];
    bool ok = read_fully(bytes, sizeof bytes, [](unsigned char* p, std::size_t n) { return ::getrandom(p, n, 0); });
    if (!ok && errno == ENOSYS) {
        // Kernels older than 3.17 or sandboxes that filter the call.
        ok = read_urandom(bytes, sizeof bytes);
    }
    if (!ok) {
        fault(std::string("could not read the operating system's random source: ") + std::strerror(errno));
    }
    std::memcpy(&seed.keys.k0, bytes, 8);
    std::memcpy(&seed.keys.k1, bytes + 8, 8);
    seed.filled = true;
}

}  // namespace

HashState fresh_hash_state()
{
    if (!seed.filled) {
        fill_seed();
    }
    const HashState taken = seed.keys;
    seed.keys.k0 += 1;  // unsigned: wraps at 2^64
    return taken;
}

std::uint64_t hash_key(const HashState& state, std::string_view key) noexcept
{
    return siphash_with_trailer<1, 3>(state.k0, state.k1, reinterpret_cast<const unsigned char*>(key.data()),
                                      key.size(), 0xFF);
}

}  // namespace corvane::store
