#include "tracker/tracker.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <system_error>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "tracker/wire.hpp"
#include "util/address.hpp"
#include "util/hex.hpp"
#include "util/log.hpp"
#include "util/net_order.hpp"

namespace NORRIK {

namespace {

struct ErrorText {
    std::string_view message;
    TrackerCounters::Counter counter;
};

// Indexed by Tracker::ErrorReply.
constexpr ErrorText kErrorTexts[] = {
    {"Tracker couldn't understand Client's request.", TrackerCounters::kErrorNotUnderstood},
    {"Tracker doesn't allow remote IP's; Request ignored.", TrackerCounters::kErrorRemoteIp},
    {"info_hash not registered.", TrackerCounters::kErrorNotRegistered},
    {"Bad scrape request.", TrackerCounters::kErrorBadScrape},
    {"Scrape Failed: couldn't retrieve torrent data", TrackerCounters::kErrorScrapeFailed},
};

// A blocked receive also returns after this long, so a worker notices the
// cleared running flag even if waking it through shutdown() did not work.
constexpr int kReceiveTimeoutSeconds = 1;

bool isReservedSource(uint32_t hostOrderAddress) {
    uint32_t firstOctet = hostOrderAddress >> 24;
    return firstOctet == 0 || firstOctet == 10 || firstOctet == 127 || firstOctet >= 224;
}

// Set while handleDatagram runs on this thread: replies go there instead of
// the socket.
thread_local const Tracker::ReplySink* tReplySink = nullptr;

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

void FileDescriptor::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

int parseBoolean(std::string_view text) {
    if (text.empty()) return -1;
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (lower == "yes" || lower == "true" || lower == "1") return 1;
    if (lower == "no" || lower == "false" || lower == "0") return 0;
    return -1;
}

long long parseDecimal(std::string_view text) {
    std::size_t pos = 0;
    auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
    while (pos < text.size() && isBlank(text[pos])) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    long long value = 0;
    constexpr long long kLimit = LLONG_MAX / 10 - 10;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        if (value < kLimit) value = value * 10 + (text[pos] - '0');
        ++pos;
    }
    return negative ? -value : value;
}

TrackerConfig TrackerConfig::fromSection(const Settings::Section* section) {
    TrackerConfig config;
    auto get = [section](const char* key) { return section != nullptr ? section->get(key) : std::string(); };

    // Empty text (or an absent key) takes the fallback; any other text is
    // read like atoi, so letters read as 0.
    std::string port = get("port");
    if (!port.empty()) config.port = static_cast<uint16_t>(parseDecimal(port));

    std::string threads = get("threads");
    const long long written = threads.empty() ? kDefaultWorkers : parseDecimal(threads);
    long long workers = written;
    // A negative count would wrap the 8-bit thread count to some arbitrary
    // value; it is taken as a mistake and the default applies. Counts above
    // what 8 bits hold are capped. No worker at all would bind the port and
    // answer nothing, so at least one runs.
    if (workers < 0) workers = kDefaultWorkers;
    if (workers > kMaxWorkers) workers = kMaxWorkers;
    if (workers == 0) workers = 1;
    config.threadCount = static_cast<uint8_t>(workers + 1);
    if (workers != written) {
        config.threadsNote = "threads=" + threads + " read as " + std::to_string(written) + " workers; starting " +
                             std::to_string(workers) + (workers == 1 ? " worker" : " workers");
    }

    config.allowRemoteIps = parseBoolean(get("allow_remotes")) == 1;
    config.allowIanaIps = parseBoolean(get("allow_iana_ips")) != 0;

    std::string announce = get("announce_interval");
    if (!announce.empty()) {
        long long value = parseDecimal(announce);
        // A negative interval would reach clients as a huge unsigned number.
        config.announceInterval = value < 0 ? kDefaultAnnounceInterval
                                            : static_cast<int32_t>(std::min<long long>(value, INT32_MAX));
    }

    std::string cleanup = get("cleanup_interval");
    if (!cleanup.empty()) {
        long long value = parseDecimal(cleanup);
        // Zero would run the maintenance pass in a busy loop, a negative
        // value would sleep for ever.
        config.cleanupInterval = value <= 0 ? kDefaultCleanupInterval
                                            : static_cast<int32_t>(std::min<long long>(value, INT32_MAX));
    }

    config.isDynamic = parseBoolean(get("is_dynamic")) == 1;
    config.localSubnet = get("local_subnet");
    config.remoteIp = get("remote_ip");
    config.remoteAddress = textToAddress(config.remoteIp);
    config.logRequests = parseBoolean(get("log_requests")) != 0;
    config.bindAddressText = get("bind_address");
    if (!config.bindAddressText.empty()) config.bindAddress = textToAddress(config.bindAddressText);
    config.connectionSecretFile = get("connection_secret_file");
    return config;
}

Tracker::Tracker(Settings* settings, StoreFactory storeFactory)
    : settings_(settings),
      config_(TrackerConfig::fromSection(settings->getSection("tracker"))),
      storeFactory_(std::move(storeFactory)),
      counters_(config_.threadCount - 1u) {}

Tracker::~Tracker() {
    running_.store(false);
    {
        // Taking the lock orders the flag before the wake-up, so the
        // maintenance thread cannot miss it between its test and its wait.
        std::lock_guard<std::mutex> lock(sleepMutex_);
    }
    sleepWake_.notify_all();
    if (socket_.valid()) ::shutdown(socket_.get(), SHUT_RDWR);  // wakes the workers blocked in recvfrom

    for (std::size_t slot = 0; slot < threads_.size(); ++slot) {
        if (!threads_[slot].joinable()) continue;
        threads_[slot].join();
        Log::info("Thread (" + std::to_string(slot + 1) + "/" + std::to_string(config_.threadCount) +
                  ") terminated.");
    }
    threads_.clear();
    driver_.reset();
    socket_.reset();
}

uint16_t Tracker::getPort() const {
    if (!socket_.valid()) return config_.port;
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    if (::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&bound), &size) != 0) return config_.port;
    return netOrder16(bound.sin_port);
}

int Tracker::start() {
    FileDescriptor fd(::socket(AF_INET, SOCK_DGRAM, 0));
    if (!fd.valid()) return 1;

    if (!config_.bindAddress) {
        Log::error("bind_address \"" + config_.bindAddressText +
                   "\" in section [tracker] is not a dotted IPv4 address such as 127.0.0.1.");
        return 2;
    }
    // No SO_REUSEADDR: with it a second process could bind the same UDP port
    // and silently take a share of the datagrams.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = netOrder32(*config_.bindAddress);
    address.sin_port = netOrder16(config_.port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 2;
    timeval timeout{kReceiveTimeoutSeconds, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    socket_.reset(fd.release());

    if (!createDriver()) return 3;
    running_.store(true);

    const std::string total = std::to_string(config_.threadCount);
    threads_.resize(config_.threadCount);
    if (!config_.threadsNote.empty()) Log::info(config_.threadsNote);
    Log::info("Starting maintenance thread (1/" + total + ")");
    try {
        threads_[0] = std::thread(&Tracker::maintenanceLoop, this);
    } catch (const std::system_error&) {
        // a thread that cannot be created is left out
    }
    for (std::size_t slot = 1; slot < threads_.size(); ++slot) {
        Log::info("Starting thread (" + std::to_string(slot + 1) + "/" + total + ")");
        try {
            threads_[slot] = std::thread(&Tracker::workerLoop, this, std::ref(counters_.block(slot - 1)));
        } catch (const std::system_error&) {
        }
    }
    return 0;
}

bool Tracker::createDriver() {
    // The secret is read first: a node that would not accept the other
    // nodes' identifiers does not start.
    std::optional<std::array<unsigned char, 16>> key;
    if (!config_.connectionSecretFile.empty()) {
        std::string error;
        key = Data::loadConnectionKey(config_.connectionSecretFile, &error);
        if (!key) {
            Log::error(error);
            return false;
        }
    }
    driver_ = storeFactory_ ? storeFactory_(settings_->getSection("database"), config_.isDynamic)
                            : Data::openDatabaseDriver(settings_->getSection("database"), config_.isDynamic);
    if (key) driver_->setConnectionKey(*key);
    Log::setRequestLogging(config_.logRequests);
    return true;
}

bool Tracker::startWithoutNetwork() { return driver_ || createDriver(); }

void Tracker::handleDatagram(const sockaddr_in& from, const uint8_t* data, std::size_t length,
                             const ReplySink& sink) {
    if (!driver_ || length == 0) return;
    length = std::min(length, Wire::kReceiveBufferSize);
    struct SinkGuard {
        explicit SinkGuard(const ReplySink* sink) { tReplySink = sink; }
        ~SinkGuard() { tReplySink = nullptr; }
    } guard(&sink);
    Log::RequestScope scope;
    handleRequest(counters_.sharedBlock(), from, data, length);
}

void Tracker::maintenanceLoop() {
    std::unique_lock<std::mutex> lock(sleepMutex_);
    while (running_.load()) {
        lock.unlock();
        driver_->cleanup();
        lock.lock();
        sleepWake_.wait_for(lock, std::chrono::seconds(config_.cleanupInterval), [this] { return !running_.load(); });
    }
}

void Tracker::workerLoop(TrackerCounters::Block& counts) {
    uint8_t buffer[Wire::kReceiveBufferSize];
    while (running_.load()) {
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        ssize_t received = ::recvfrom(socket_.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (received <= 0 || fromSize < sizeof from || from.sin_family != AF_INET) continue;
        // Every line of this request, the store's included, goes out in one
        // write before the next datagram is taken.
        Log::RequestScope scope;
        handleRequest(counts, from, buffer, static_cast<std::size_t>(received));
    }
}

void Tracker::handleRequest(TrackerCounters::Block& counts, const sockaddr_in& from, const uint8_t* data,
                            std::size_t length) {
    counts.add(TrackerCounters::kDatagrams);
    Log::request("Handling request");
    const Wire::RequestHeader header = Wire::parseHeader(data, length);
    const uint32_t senderIp = netOrder32(from.sin_addr.s_addr);
    if (!config_.allowIanaIps && isReservedSource(senderIp)) {
        counts.add(TrackerCounters::kDroppedSourceFilter);
        return;
    }

    if (Log::requestLogging()) {
        Log::request(":: " + addressToText(senderIp) + ":" + std::to_string(netOrder16(from.sin_port)) +
                     " ACTION=" + std::to_string(header.action));
    }

    if (header.action == Wire::kActionConnect && length >= Wire::kConnectRequestSize) {
        counts.add(TrackerCounters::kConnects);
        handleConnect(from, data, length);
    } else if (header.action == Wire::kActionAnnounce && length >= Wire::kAnnounceRequestSize) {
        counts.add(TrackerCounters::kAnnounces);
        handleAnnounce(counts, from, data, length);
    } else if (header.action == Wire::kActionScrape) {
        counts.add(TrackerCounters::kScrapes);
        handleScrape(counts, from, data, length);
    } else {
        // Also answers datagrams shorter than the header: their missing
        // transaction bytes are sent as zero.
        sendError(counts, from, header.transaction, ErrorReply::kNotUnderstood);
    }
}

void Tracker::handleConnect(const sockaddr_in& from, const uint8_t* data, std::size_t length) {
    const Wire::RequestHeader header = Wire::parseHeader(data, length);
    uint64_t connectionId = 0;
    if (!driver_->issueConnectionId(&connectionId, netOrder32(from.sin_addr.s_addr), netOrder16(from.sin_port))) {
        return;
    }
    uint8_t reply[Wire::kConnectReplySize];
    sendReply(from, reply, Wire::encodeConnectReply(reply, header.transaction, connectionId));
}

void Tracker::handleAnnounce(TrackerCounters::Block& counts, const sockaddr_in& from, const uint8_t* data,
                             std::size_t length) {
    const std::optional<Wire::AnnounceRequest> parsed = Wire::parseAnnounce(data, length);
    if (!parsed) return;  // dispatch only sends 98 bytes or more
    const Wire::AnnounceRequest& request = *parsed;
    const uint32_t senderIp = netOrder32(from.sin_addr.s_addr);
    const uint16_t senderPort = netOrder16(from.sin_port);

    if (!driver_->checkConnectionId(request.connectionId, senderIp, senderPort)) {
        counts.add(TrackerCounters::kDroppedConnectionId);
        return;
    }

    if (!config_.allowRemoteIps && request.ip != 0) {
        sendError(counts, from, request.transaction, ErrorReply::kRemoteIp);
        return;
    }
    if (!driver_->hasTorrent(request.infoHash)) {
        sendError(counts, from, request.transaction, ErrorReply::kNotRegistered);
        return;
    }

    // Log lines are only built when request logging is on: with it off, an
    // announce costs no text formatting beyond the subnet test.
    const bool logging = Log::requestLogging();
    Data::PeerAddress peers[Wire::kMaxAnnouncePeers];
    int32_t peerCount = Wire::wantedPeers(request.numWant);
    const int32_t event = Wire::reduceEvent(request.event);
    if (logging) Log::request(std::to_string(event));

    if (event == Wire::kEventStopped) {
        peerCount = 0;
    } else {
        driver_->fetchPeers(request.infoHash, &peerCount, peers);
        peerCount = std::clamp<int32_t>(peerCount, 0, static_cast<int32_t>(Wire::kMaxAnnouncePeers));
    }

    Data::TorrentStats stats{request.infoHash, 0, 0, 0};
    if (!driver_->fetchTorrentStats(&stats)) Log::request("couldn't get torrent info");

    uint8_t reply[Wire::kAnnounceReplyMaxSize];
    Wire::encodeAnnounceHeader(reply, request.transaction, config_.announceInterval, stats.leechers, stats.seeders);

    const uint32_t askerIp = request.ip != 0 ? request.ip : senderIp;
    const std::string& subnet = config_.localSubnet;
    // Dotted texts are formatted on the stack: with a local subnet they are
    // needed for every peer of every announce, logging or not.
    char askerBuffer[kAddressTextSize];
    const std::string_view askerText =
        logging || !subnet.empty() ? std::string_view(askerBuffer, addressToText(askerIp, askerBuffer)) : std::string_view();
    const bool askerIsLocal = subnet.empty() || startsWith(askerText, subnet);
    // Peers of the local subnet are handed to outside askers under the
    // configured public address; without a readable address there is
    // nothing to hand out instead, and entries stay as stored.
    const bool rewriteLocalPeers = !askerIsLocal && config_.remoteAddress.has_value();

    if (logging) {
        char hashText[kInfoHashHexSize + 1];
        hashToHex(request.infoHash, hashText);
        Log::request(std::string("Announce on: ") + hashText + " from: " + std::string(askerText));
        Log::request("Total Peers: " + std::to_string(peerCount));
    }

    std::size_t replySize = Wire::announceReplySize(0);
    for (int32_t i = 0; i < peerCount; ++i) {
        const Data::PeerAddress& peer = peers[i];
        char peerBuffer[kAddressTextSize];
        const std::string_view peerText = logging || rewriteLocalPeers
                                              ? std::string_view(peerBuffer, addressToText(peer.ip, peerBuffer))
                                              : std::string_view();
        if (rewriteLocalPeers && startsWith(peerText, subnet)) {
            replySize = Wire::encodeAnnouncePeer(reply, static_cast<std::size_t>(i), *config_.remoteAddress, peer.port);
            if (logging) Log::request("Peer: " + config_.remoteIp + ":" + std::to_string(peer.port) + " (changed)");
        } else {
            replySize = Wire::encodeAnnouncePeer(reply, static_cast<std::size_t>(i), peer.ip, peer.port);
            if (logging) Log::request("Peer: " + std::string(peerText) + ":" + std::to_string(peer.port));
        }
    }
    // The peer is recorded (in memory; the file follows) before the reply
    // goes out, so that a client holding its reply finds the torrent in a
    // scrape on any worker. The reply's counts were taken before, without
    // this announce.
    driver_->storePeer(request.peerId, request.infoHash, askerIp, request.port, request.downloaded, request.left,
                       request.uploaded, event);
    sendReply(from, reply, replySize);
}

void Tracker::handleScrape(TrackerCounters::Block& counts, const sockaddr_in& from, const uint8_t* data,
                           std::size_t length) {
    Log::request("Handling scrape: ");
    Wire::ScrapeRequest request{};
    if (Wire::parseScrape(data, length, &request) != Wire::ScrapeParse::kOk) {
        // Also for more hashes than the 1024-byte reply holds: a partial
        // reply would leave the client reading entries that are not there.
        sendError(counts, from, Wire::parseHeader(data, length).transaction, ErrorReply::kBadScrape);
        return;
    }
    if (!driver_->checkConnectionId(request.connectionId, netOrder32(from.sin_addr.s_addr),
                                    netOrder16(from.sin_port))) {
        counts.add(TrackerCounters::kDroppedConnectionId);
        Log::request("scrape connection not verified");
        return;
    }

    uint8_t reply[Wire::kScrapeReplySize];
    Wire::beginScrapeReply(reply, request.transaction);
    for (std::size_t i = 0; i < request.count; ++i) {
        const uint8_t* hash = request.hashes + i * Wire::kScrapeHashSize;
        char hashText[kInfoHashHexSize + 1];
        hashToHex(hash, hashText);
        Data::TorrentStats stats{hash, 0, 0, 0};
        if (!driver_->fetchTorrentStats(&stats)) {
            Log::request(std::string("error getting torrent info: ") + hashText);
            sendError(counts, from, request.transaction, ErrorReply::kScrapeFailed);
            return;
        }
        Wire::encodeScrapeEntry(reply, i, stats.seeders, stats.completed, stats.leechers);
        if (Log::requestLogging()) {
            Log::request(std::string("\t") + hashText + " Seeders: " + std::to_string(stats.seeders) +
                         " Completed: " + std::to_string(stats.completed) +
                         " Leechers: " + std::to_string(stats.leechers));
        }
    }
    sendReply(from, reply, sizeof reply);
}

void Tracker::sendError(TrackerCounters::Block& counts, const sockaddr_in& to,
                        const std::array<uint8_t, 4>& transaction, ErrorReply error) {
    const ErrorText& text = kErrorTexts[static_cast<std::size_t>(error)];
    counts.add(text.counter);
    uint8_t reply[Wire::kErrorReplyMaxSize];
    sendReply(to, reply, Wire::encodeError(reply, transaction, text.message));
}

void Tracker::sendReply(const sockaddr_in& to, const uint8_t* data, std::size_t length) {
    if (tReplySink != nullptr) {
        (*tReplySink)(to, data, length);
        return;
    }
    // A failed send is not retried: the client asks again.
    ::sendto(socket_.get(), data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

}  // namespace NORRIK
