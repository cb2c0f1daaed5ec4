// norrik-dbgen: writes a tracker database of many torrents and peers
// directly (see db_generator.hpp), for measuring what a large file costs a
// starting tracker. Prints one result line; progress goes to standard error.
//
//   norrik-dbgen [options] <target>

#include <sys/stat.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <string>
#include <string_view>

#include "db_generator.hpp"

namespace {

void usage(FILE* out) {
    std::string layouts;
    for (const std::string& name : NORRIK::Bench::layoutNames()) layouts += (layouts.empty() ? "" : ", ") + name;
    std::fprintf(out,
        "usage: norrik-dbgen [options] <target>\n"
        "  --layout NAME     database layout: %s (default tables)\n"
        "  --torrents N      torrents (default 100000)\n"
        "  --peers N         peers in all, spread over the torrents like norrik-loadgen's (default 500000)\n"
        "  --seed N          seed of the info_hashes, as norrik-loadgen's --seed (default 1)\n"
        "  --seeders PCT     share of seeders (default 50)\n"
        "  --time T          registration and last-seen time, seconds since the epoch (default now)\n"
        "  --batch N         torrents written per transaction (default 1000)\n"
        "The target (a file for the SQLite layouts) must not exist; it is removed again when\n"
        "writing fails.\n",
        layouts.c_str());
}

bool number(const char* text, uint64_t max, uint64_t& out) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || text[0] == '-' || v > max) return false;
    out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    NORRIK::Bench::Population population;
    population.time = static_cast<int32_t>(std::time(nullptr));
    std::string layout = "tables";
    std::string target;
    uint64_t batch = 1000;
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        uint64_t n = 0;
        bool ok = true;
        if (name == "-h" || name == "--help") {
            usage(stdout);
            return 0;
        } else if (name == "--layout" && value) {
            layout = value;
        } else if (name == "--torrents" && value && (ok = number(value, 100'000'000, n))) {
            population.torrents = static_cast<uint32_t>(n);
        } else if (name == "--peers" && value && (ok = number(value, 1'000'000'000, n))) {
            population.peers = static_cast<uint32_t>(n);
        } else if (name == "--seed" && value && (ok = number(value, UINT64_MAX, n))) {
            population.seed = n;
        } else if (name == "--seeders" && value && (ok = number(value, 100, n))) {
            population.seederPercent = static_cast<uint32_t>(n);
        } else if (name == "--time" && value && (ok = number(value, INT32_MAX, n))) {
            population.time = static_cast<int32_t>(n);
        } else if (name == "--batch" && value && (ok = number(value, 1'000'000, n)) && n > 0) {
            batch = n;
        } else if (!name.empty() && name[0] != '-' && target.empty()) {
            target = argv[i];
            continue;
        } else {
            ok = false;
        }
        if (!ok) {
            usage(stderr);
            return 2;
        }
        ++i;  // the option's value
    }
    if (target.empty()) {
        usage(stderr);
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    try {
        auto writer = NORRIK::Bench::openLayout(layout, target);
        uint32_t reported = 0;
        NORRIK::Bench::generate(population, *writer, static_cast<uint32_t>(batch), [&](uint32_t done) {
            if (done - reported >= population.torrents / 10 || done == population.torrents) {
                reported = done;
                const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                std::fprintf(stderr, "norrik-dbgen: %u of %u torrents written, %.1f s\n", done, population.torrents, s);
            }
        });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "norrik-dbgen: %s\n", e.what());
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    struct stat st{};
    const long long bytes = ::stat(target.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    std::printf("layout=%s torrents=%u peers=%u seconds=%.1f file_bytes=%lld\n", layout.c_str(), population.torrents,
                population.peers, seconds, bytes);
    return 0;
}
