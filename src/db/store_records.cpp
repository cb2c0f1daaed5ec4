#include "db/store_records.hpp"

#include <sodium.h>

#include <cstdlib>

#include "util/log.hpp"

namespace NORRIK::Data {

namespace {

// The secret of the in-memory tables' hashes, drawn once per process.
const unsigned char* tableKey() {
    static const auto* key = [] {
        if (sodium_init() < 0) {
            Log::error("libsodium could not be initialised");
            std::abort();
        }
        static unsigned char bytes[crypto_shorthash_KEYBYTES];
        crypto_shorthash_keygen(bytes);
        return bytes;
    }();
    return key;
}

}  // namespace

std::size_t InfoHashHasher::operator()(const InfoHash& hash) const noexcept {
    unsigned char out[crypto_shorthash_BYTES];
    crypto_shorthash(out, hash.data(), hash.size(), tableKey());
    std::size_t value;
    std::memcpy(&value, out, sizeof value);
    return value;
}

uint64_t peerSlotHash(uint32_t ip, uint16_t port) noexcept {
    static const uint64_t secret = [] {
        uint64_t value;
        std::memcpy(&value, tableKey() + 8, sizeof value);
        return value;
    }();
    uint64_t x = ((static_cast<uint64_t>(ip) << 16) | port) ^ secret;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace NORRIK::Data
