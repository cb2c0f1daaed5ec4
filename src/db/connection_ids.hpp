#pragma once
// NORRIK::Data::ConnectionIds: makes and checks the connection identifiers
// that a connect hands out and that announces and scrapes must carry back.
// The identifier proves that the sender receives datagrams at its address;
// no state is kept per client.
//
// An identifier is 64 bits: the low 8 bits hold the low 8 bits of the issue
// time (seconds since the epoch), the high 56 bits are SipHash-2-4
// (libsodium crypto_shorthash) under a 16-byte key of the client's IPv4
// address and the full issue time. A check reads the issue time back from
// the low bits and the current time (the 256-second range tells every
// accepted age apart), computes the hash again and compares the whole
// identifier in constant time.
//
// Contract:
// - Bound to the address only, not the port: one client process may use one
//   identifier from several local ports, and a NAT may move the port between
//   connect and announce. Any address other than the one it was issued to is
//   refused.
// - An identifier is accepted from its issue until kMaxAgeSeconds (180 s)
//   after it, and refused from then on. Clients may use an identifier up to
//   a minute after they receive it, and the slack covers their delays.
//   An identifier whose issue time lies ahead of the clock is accepted only
//   up to kClockStepSeconds ahead (another node's clock, or this one after a
//   small step back).
// - A forger who cannot receive at the address has to guess 56 bits: each
//   guess is accepted with a chance of at most 2^-56 (about 1 in 7 * 10^16),
//   whatever time field it carries.
// - Identifiers made under one key are accepted by every ConnectionIds with
//   that key (several nodes behind one address, sharing a secret file), and
//   by no other. Without a key, a random key drawn once per process is used:
//   identifiers then do not survive a restart, and clients connect again.
// - The object never changes after construction: issue and check may be
//   called from any number of threads at once, as long as the clock may be.
//   The clock is called once per issue or check.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace NORRIK::Data {

class ConnectionIds {
public:
    using Clock = std::function<int64_t()>;  // seconds since the epoch
    using Key = std::array<unsigned char, 16>;

    static constexpr int64_t kMaxAgeSeconds = 180;
    static constexpr int64_t kClockStepSeconds = 5;
    // A secret file is read whole; anything larger is not a secret file.
    static constexpr std::size_t kMinSecretBytes = 16;
    static constexpr std::size_t kMaxSecretBytes = 65536;

    // An empty clock is the system clock; no key is the process's random key.
    explicit ConnectionIds(Clock clock = {}, std::optional<Key> key = std::nullopt);

    // The identifier for a client at `ip` (host order), issued now.
    uint64_t issue(uint32_t ip) const;

    // Whether `id` was issued under this key to `ip` no more than
    // kMaxAgeSeconds ago (and no more than kClockStepSeconds ahead).
    bool check(uint64_t id, uint32_t ip) const;

    // Reads a shared secret file and derives the key from its whole content
    // (BLAKE2b, libsodium crypto_generichash, to 16 bytes). The file holds at
    // least kMinSecretBytes and at most kMaxSecretBytes of any bytes, taken
    // as they are (a trailing newline is part of the secret): copy the one
    // file to every node, for instance one made with
    //     head -c 32 /dev/urandom > secret
    // Missing, unreadable, too short or too long: no key, and *error (when
    // given) says which in one line naming the file.
    static std::optional<Key> loadKeyFile(const std::string& path, std::string* error = nullptr);

private:
    uint64_t identifierFor(uint32_t ip, int64_t issued) const;
    int64_t now() const;

    Clock clock_;
    Key key_;
};

}  // namespace NORRIK::Data
