#include "db/database_driver.hpp"

namespace NORRIK::Data {

const char* DatabaseException::message() const {
    switch (code_) {
        case kNotImplemented:
            return "Not Implemented";
        case kConnectFailed:
            return "Failed to connect to database";
        default:
            return "Unknown Error";
    }
}

bool DatabaseDriver::insertTorrent(const uint8_t*) { throw DatabaseException(DatabaseException::kNotImplemented); }
bool DatabaseDriver::deleteTorrent(const uint8_t*) { throw DatabaseException(DatabaseException::kNotImplemented); }
bool DatabaseDriver::hasTorrent(const uint8_t*) { throw DatabaseException(DatabaseException::kNotImplemented); }
bool DatabaseDriver::issueConnectionId(uint64_t*, uint32_t, uint16_t) {
    throw DatabaseException(DatabaseException::kNotImplemented);
}
bool DatabaseDriver::checkConnectionId(uint64_t, uint32_t, uint16_t) {
    throw DatabaseException(DatabaseException::kNotImplemented);
}
bool DatabaseDriver::storePeer(const uint8_t*, const uint8_t*, uint32_t, uint16_t, int64_t, int64_t, int64_t,
                               int32_t) {
    throw DatabaseException(DatabaseException::kNotImplemented);
}
bool DatabaseDriver::deletePeer(const uint8_t*, const uint8_t*, uint32_t, uint16_t) {
    throw DatabaseException(DatabaseException::kNotImplemented);
}
bool DatabaseDriver::fetchTorrentStats(TorrentStats*) { throw DatabaseException(DatabaseException::kNotImplemented); }
bool DatabaseDriver::fetchPeers(const uint8_t*, int32_t*, PeerAddress*) {
    throw DatabaseException(DatabaseException::kNotImplemented);
}
void DatabaseDriver::cleanup() { throw DatabaseException(DatabaseException::kNotImplemented); }

}  // namespace NORRIK::Data
