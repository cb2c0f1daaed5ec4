#include "db/connection_ids.hpp"

#include <sodium.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "util/log.hpp"

namespace NORRIK::Data {

static_assert(std::tuple_size_v<ConnectionIds::Key> == crypto_shorthash_KEYBYTES);
static_assert(std::tuple_size_v<ConnectionIds::Key> >= crypto_generichash_BYTES_MIN);
static_assert(crypto_shorthash_BYTES == 8);

namespace {

constexpr int kStampBits = 8;
constexpr uint64_t kStampMask = (uint64_t{1} << kStampBits) - 1;
constexpr int64_t kStampRange = int64_t{1} << kStampBits;
// Every age a check accepts, past and future, has its own stamp value.
static_assert(ConnectionIds::kMaxAgeSeconds + ConnectionIds::kClockStepSeconds < kStampRange);

void initSodium() {
    static const bool ready = [] {
        if (sodium_init() < 0) {
            Log::error("libsodium could not be initialised");
            std::abort();
        }
        return true;
    }();
    (void)ready;
}

// Drawn once per process: identifiers cannot be computed outside it.
const ConnectionIds::Key& processKey() {
    static const ConnectionIds::Key key = [] {
        initSodium();
        ConnectionIds::Key bytes;
        crypto_shorthash_keygen(bytes.data());
        return bytes;
    }();
    return key;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

ConnectionIds::ConnectionIds(Clock clock, std::optional<Key> key)
    : clock_(std::move(clock)), key_(key ? *key : processKey()) {
    initSodium();  // also when the key is given
}

int64_t ConnectionIds::now() const { return clock_ ? clock_() : static_cast<int64_t>(std::time(nullptr)); }

uint64_t ConnectionIds::identifierFor(uint32_t ip, int64_t issued) const {
    // Fixed byte order, so that nodes sharing a key make the same identifier.
    unsigned char message[4 + 8];
    for (int i = 0; i < 4; ++i) message[i] = static_cast<unsigned char>(ip >> (24 - 8 * i));
    const uint64_t time = static_cast<uint64_t>(issued);
    for (int i = 0; i < 8; ++i) message[4 + i] = static_cast<unsigned char>(time >> (8 * i));
    unsigned char out[crypto_shorthash_BYTES];
    crypto_shorthash(out, message, sizeof message, key_.data());
    uint64_t tag = 0;
    for (int i = 0; i < 8; ++i) tag |= static_cast<uint64_t>(out[i]) << (8 * i);
    return (tag << kStampBits) | (time & kStampMask);
}

uint64_t ConnectionIds::issue(uint32_t ip) const { return identifierFor(ip, now()); }

bool ConnectionIds::check(uint64_t id, uint32_t ip) const {
    const int64_t current = now();
    // Seconds from the issue time in the stamp to now, modulo the stamp's range.
    const int64_t age = static_cast<int64_t>((static_cast<uint64_t>(current) - id) & kStampMask);
    int64_t issued;
    if (age <= kMaxAgeSeconds) {
        issued = current - age;
    } else if (age >= kStampRange - kClockStepSeconds) {
        issued = current + (kStampRange - age);  // slightly ahead of this clock
    } else {
        return false;
    }
    const uint64_t expected = identifierFor(ip, issued);
    return sodium_memcmp(&expected, &id, sizeof id) == 0;
}

std::optional<ConnectionIds::Key> ConnectionIds::loadKeyFile(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& text) -> std::optional<Key> {
        if (error != nullptr) *error = text;
        return std::nullopt;
    };
    const std::string name = "connection secret file '" + path + "'";
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        if (errno == ENOENT) return fail("The " + name + " does not exist.");
        return fail("Cannot open the " + name + ": " + std::strerror(errno) + ".");
    }
    // One byte more than allowed tells a file that is too long; a device that
    // never ends (/dev/urandom named by mistake) is refused the same way.
    std::vector<unsigned char> content(kMaxSecretBytes + 1);
    std::size_t size = 0;
    while (size < content.size()) {
        const std::size_t got = std::fread(content.data() + size, 1, content.size() - size, file.get());
        if (got == 0) break;
        size += got;
    }
    if (std::ferror(file.get())) {
        const int code = errno;
        sodium_memzero(content.data(), content.size());
        return fail("Cannot read the " + name + ": " + std::strerror(code) + ".");
    }
    const std::string remedy = " (make one with: head -c 32 /dev/urandom > '" + path + "')";
    if (size < kMinSecretBytes) {
        sodium_memzero(content.data(), content.size());
        return fail("The " + name + " holds " + std::to_string(size) + " bytes; it needs at least " +
                    std::to_string(kMinSecretBytes) + remedy + ".");
    }
    if (size > kMaxSecretBytes) {
        sodium_memzero(content.data(), content.size());
        return fail("The " + name + " is longer than " + std::to_string(kMaxSecretBytes) + " bytes" + remedy + ".");
    }
    initSodium();
    Key key;
    crypto_generichash(key.data(), key.size(), content.data(), size, nullptr, 0);
    sodium_memzero(content.data(), content.size());
    return key;
}

}  // namespace NORRIK::Data
