#include "db/driver_postgresql/connection.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "util/net_order.hpp"

namespace NORRIK::Data::PostgreSQL {

namespace {

// Type OIDs of the server's built-in types (fixed in its catalog).
constexpr Oid kByteaOid = 17;
constexpr Oid kInt8Oid = 20;
constexpr Oid kInt2Oid = 21;
constexpr Oid kInt4Oid = 23;

// Connection settings a conninfo does not give itself. The keepalives find
// a dead idle connection in about a minute; the user timeout fails a call
// whose data the server has not acknowledged for 30 s.
constexpr const char* kDefaultKeywords[] = {"connect_timeout", "keepalives", "keepalives_idle",
                                            "keepalives_interval", "keepalives_count", "tcp_user_timeout",
                                            "application_name"};
constexpr const char* kDefaultValues[] = {"10", "1", "30", "10", "3", "30000", "norrik"};
constexpr std::size_t kDefaultCount = std::size(kDefaultKeywords);
static_assert(std::size(kDefaultValues) == kDefaultCount);

// COPY data is handed to libpq in pieces of this size, so libpq's buffer
// does not grow to the size of the whole batch.
constexpr std::size_t kCopyChunkBytes = 256 * 1024;
// Results drained after a COPY before giving up on a connection that keeps
// answering "copy in progress".
constexpr int kCopyDrainLimit = 8;

std::string trimmed(const char* text) {
    std::string out = text ? text : "";
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

void ignoreNotice(void*, const PGresult*) {}

constexpr char kHexDigits[] = "0123456789abcdef";

// Integers in network order, as PostgreSQL's binary form has them.
uint16_t read16(const char* data) {
    uint16_t value;
    std::memcpy(&value, data, sizeof value);
    return netOrder16(value);
}
uint32_t read32(const char* data) {
    uint32_t value;
    std::memcpy(&value, data, sizeof value);
    return netOrder32(value);
}
uint64_t read64(const char* data) {
    uint64_t value;
    std::memcpy(&value, data, sizeof value);
    return netOrder64(value);
}

}  // namespace

std::string oneLine(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool gap = false;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
            gap = !out.empty();
            continue;
        }
        if (gap) out += ' ';
        gap = false;
        out += c;
    }
    return out;
}

// --- Result ---

Result Result::failure(std::string error) {
    Result result;
    result.error_ = std::move(error);
    return result;
}

bool Result::ok() const {
    ExecStatusType s = status();
    return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
}

std::string Result::error() const {
    if (!error_.empty()) return error_;
    if (!result_) return "no result";
    if (ok()) return "";
    std::string text = trimmed(PQresultErrorMessage(result_.get()));
    if (text.empty()) text = std::string("unexpected status ") + PQresStatus(status());
    return text;
}

std::string Result::message() const {
    if (ok()) return "";
    const char* primary = result_ ? PQresultErrorField(result_.get(), PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    if (primary == nullptr || *primary == '\0') return oneLine(error());
    return oneLine(primary);
}

std::string Result::sqlState() const {
    if (!result_) return "";
    const char* state = PQresultErrorField(result_.get(), PG_DIAG_SQLSTATE);
    return state ? state : "";
}

int64_t Result::affectedRows() const {
    if (!result_) return 0;
    const char* text = PQcmdTuples(result_.get());
    int64_t value = 0;
    std::from_chars(text, text + std::strlen(text), value);
    return value;
}

bool Result::isNull(int row, int column) const {
    if (!result_ || row < 0 || row >= rows() || column < 0 || column >= columns()) return true;
    return PQgetisnull(result_.get(), row, column) != 0;
}

std::string_view Result::value(int row, int column) const {
    if (isNull(row, column)) return {};
    return std::string_view(PQgetvalue(result_.get(), row, column),
                            static_cast<std::size_t>(PQgetlength(result_.get(), row, column)));
}

std::optional<std::vector<uint8_t>> Result::bytes(int row, int column) const {
    if (isNull(row, column)) return std::nullopt;
    std::string_view raw = value(row, column);
    if (PQfformat(result_.get(), column) == 0 && PQftype(result_.get(), column) == kByteaOid) {
        std::size_t size = 0;
        unsigned char* decoded =
            PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(result_.get(), row, column)), &size);
        if (decoded == nullptr) return std::nullopt;
        std::vector<uint8_t> out(decoded, decoded + size);
        PQfreemem(decoded);
        return out;
    }
    return std::vector<uint8_t>(raw.begin(), raw.end());
}

std::optional<int64_t> Result::integer(int row, int column) const {
    if (isNull(row, column)) return std::nullopt;
    std::string_view raw = value(row, column);
    if (PQfformat(result_.get(), column) == 1) {
        Oid type = PQftype(result_.get(), column);
        if (type == kInt8Oid && raw.size() == 8) return static_cast<int64_t>(read64(raw.data()));
        if (type == kInt4Oid && raw.size() == 4) return static_cast<int32_t>(read32(raw.data()));
        if (type == kInt2Oid && raw.size() == 2) return static_cast<int16_t>(read16(raw.data()));
        return std::nullopt;
    }
    int64_t number = 0;
    auto [end, error] = std::from_chars(raw.data(), raw.data() + raw.size(), number);
    if (error != std::errc() || end != raw.data() + raw.size()) return std::nullopt;
    return number;
}

// --- Param ---

Param Param::null() { return Param(); }

Param Param::bytes(const void* data, std::size_t size) {
    Param param;
    param.kind_ = Kind::Bytes;
    param.type_ = kByteaOid;
    // A non-null pointer for an empty value: libpq sends a null pointer as NULL.
    param.data_ = size == 0 ? "" : static_cast<const char*>(data);
    param.length_ = static_cast<int>(size);
    return param;
}

Param Param::int64(int64_t value) {
    Param param;
    param.kind_ = Kind::Integer;
    param.type_ = kInt8Oid;
    uint64_t wire = netOrder64(static_cast<uint64_t>(value));
    std::memcpy(param.integer_.data(), &wire, sizeof wire);
    param.length_ = 8;
    return param;
}

Param Param::int32(int32_t value) {
    Param param;
    param.kind_ = Kind::Integer;
    param.type_ = kInt4Oid;
    uint32_t wire = netOrder32(static_cast<uint32_t>(value));
    std::memcpy(param.integer_.data(), &wire, sizeof wire);
    param.length_ = 4;
    return param;
}

Param Param::text(std::string_view value) {
    Param param;
    param.kind_ = Kind::Text;
    param.text_.assign(value);
    return param;
}

// --- CopyRows ---

void CopyRows::beginField() {
    if (inRow_) buffer_ += '\t';
    inRow_ = true;
}

CopyRows& CopyRows::bytes(const void* data, std::size_t size) {
    beginField();
    buffer_ += "\\\\x";
    const auto* in = static_cast<const uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        buffer_ += kHexDigits[in[i] >> 4];
        buffer_ += kHexDigits[in[i] & 0x0f];
    }
    return *this;
}

CopyRows& CopyRows::integer(int64_t value) {
    beginField();
    char digits[24];
    auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
    (void)error;  // 24 characters hold every int64_t
    buffer_.append(digits, end);
    return *this;
}

CopyRows& CopyRows::text(std::string_view value) {
    beginField();
    for (char c : value) {
        switch (c) {
            case '\\': buffer_ += "\\\\"; break;
            case '\t': buffer_ += "\\t"; break;
            case '\n': buffer_ += "\\n"; break;
            case '\r': buffer_ += "\\r"; break;
            default: buffer_ += c;
        }
    }
    return *this;
}

CopyRows& CopyRows::null() {
    beginField();
    buffer_ += "\\N";
    return *this;
}

void CopyRows::endRow() {
    buffer_ += '\n';
    inRow_ = false;
    ++rows_;
}

void CopyRows::clear() {
    buffer_.clear();
    rows_ = 0;
    inRow_ = false;
}

// --- Connection ---

std::unique_ptr<Connection> Connection::open(const std::string& conninfo, std::string& error) {
    // The defaults come before the conninfo (expanded from "dbname"), so
    // that whatever the conninfo sets wins.
    const char* keywords[kDefaultCount + 2];
    const char* values[kDefaultCount + 2];
    for (std::size_t i = 0; i < kDefaultCount; ++i) {
        keywords[i] = kDefaultKeywords[i];
        values[i] = kDefaultValues[i];
    }
    keywords[kDefaultCount] = "dbname";
    values[kDefaultCount] = conninfo.c_str();
    keywords[kDefaultCount + 1] = nullptr;
    values[kDefaultCount + 1] = nullptr;

    PGconn* conn = PQconnectdbParams(keywords, values, 1);
    if (conn == nullptr) {
        error = "out of memory";
        return nullptr;
    }
    if (PQstatus(conn) != CONNECTION_OK) {
        error = trimmed(PQerrorMessage(conn));
        PQfinish(conn);
        return nullptr;
    }
    PQsetNoticeReceiver(conn, ignoreNotice, nullptr);
    return std::unique_ptr<Connection>(new Connection(conn));
}

Connection::~Connection() { PQfinish(conn_); }

std::string Connection::errorMessage() const { return trimmed(PQerrorMessage(conn_)); }

Result Connection::lastResult() { return Result::failure(errorMessage()); }

Result Connection::exec(const std::string& sql) {
    PGresult* result = PQexec(conn_, sql.c_str());
    if (result == nullptr) return lastResult();
    return Result(result);
}

Result Connection::execParams(const std::string& sql, std::span<const Param> params, Format results) {
    std::vector<Oid> types(params.size());
    std::vector<const char*> values(params.size());
    std::vector<int> lengths(params.size());
    std::vector<int> formats(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        const Param& param = params[i];
        types[i] = param.type_;
        switch (param.kind_) {
            case Param::Kind::Null:
                values[i] = nullptr;
                break;
            case Param::Kind::Bytes:
                values[i] = param.data_;
                lengths[i] = param.length_;
                formats[i] = 1;
                break;
            case Param::Kind::Integer:
                values[i] = param.integer_.data();
                lengths[i] = param.length_;
                formats[i] = 1;
                break;
            case Param::Kind::Text:
                values[i] = param.text_.c_str();
                break;
        }
    }
    PGresult* result = PQexecParams(conn_, sql.c_str(), static_cast<int>(params.size()), types.data(),
                                    values.data(), lengths.data(), formats.data(), static_cast<int>(results));
    if (result == nullptr) return lastResult();
    return Result(result);
}

Result Connection::copyIn(const std::string& copySql, std::string_view rows) {
    Result start(PQexec(conn_, copySql.c_str()));
    if (start.get() == nullptr) return lastResult();
    if (start.status() != PGRES_COPY_IN) {
        if (start.status() == PGRES_COPY_OUT) {
            // Not what this call is for; the server's data is read and dropped
            // so the connection is usable again.
            char* buffer = nullptr;
            while (PQgetCopyData(conn_, &buffer, 0) > 0) PQfreemem(buffer);
            while (PGresult* rest = PQgetResult(conn_)) PQclear(rest);
        }
        if (!start.ok() && start.status() != PGRES_COPY_OUT) return start;
        return Result::failure("not a COPY ... FROM STDIN statement: " + copySql);
    }

    std::string sendError;
    for (std::size_t offset = 0; offset < rows.size() && sendError.empty(); offset += kCopyChunkBytes) {
        std::size_t size = std::min(kCopyChunkBytes, rows.size() - offset);
        if (PQputCopyData(conn_, rows.data() + offset, static_cast<int>(size)) != 1) sendError = errorMessage();
    }
    // On a failed send the COPY is ended with an error, so the server stores
    // none of the rows; if the connection is gone this fails as well.
    if (PQputCopyEnd(conn_, sendError.empty() ? nullptr : "rows could not be sent") != 1 && sendError.empty()) {
        sendError = errorMessage();
    }

    Result outcome;
    bool haveOutcome = false;
    for (int drained = 0; drained < kCopyDrainLimit; ++drained) {
        PGresult* next = PQgetResult(conn_);
        if (next == nullptr) break;
        Result current(next);
        if (current.status() == PGRES_COPY_IN) {
            // Still in COPY mode: the end did not get through. Try once more
            // with an error; a broken connection leaves COPY mode by itself.
            PQputCopyEnd(conn_, "rows could not be sent");
            if (lost()) break;
            continue;
        }
        // The first failure is the one that says why.
        if (!haveOutcome || (outcome.ok() && !current.ok())) {
            outcome = std::move(current);
            haveOutcome = true;
        }
    }
    if (!sendError.empty() && (!haveOutcome || outcome.ok())) return Result::failure(sendError);
    if (!haveOutcome) return lastResult();
    return outcome;
}

std::string Connection::quoteIdentifier(const std::string& name) {
    char* quoted = PQescapeIdentifier(conn_, name.data(), name.size());
    if (quoted == nullptr) return "";
    std::string out(quoted);
    PQfreemem(quoted);
    return out;
}

Result Connection::listen(const std::string& channel) {
    std::string quoted = quoteIdentifier(channel);
    if (quoted.empty()) return lastResult();
    Result result = exec("LISTEN " + quoted);
    if (result.ok() && std::find(channels_.begin(), channels_.end(), channel) == channels_.end()) {
        channels_.push_back(channel);
    }
    return result;
}

Connection::Wait Connection::waitForNotification(std::chrono::milliseconds timeout, Notification& notification,
                                                 int wakeFd) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        // Notifications that arrived with an earlier result come first; then
        // whatever the socket holds is read without blocking.
        PGnotify* notify = PQnotifies(conn_);
        if (notify == nullptr) {
            if (PQconsumeInput(conn_) == 0) return Wait::Lost;
            notify = PQnotifies(conn_);
        }
        if (notify != nullptr) {
            notification.channel = notify->relname;
            notification.payload = notify->extra ? notify->extra : "";
            notification.serverPid = notify->be_pid;
            PQfreemem(notify);
            return Wait::Notified;
        }
        int fd = PQsocket(conn_);
        if (fd < 0 || lost()) return Wait::Lost;

        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return Wait::TimedOut;
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        int ready = ::poll(fds, wakeFd >= 0 ? 2 : 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) return Wait::Lost;
        if (ready > 0 && wakeFd >= 0 && fds[1].revents != 0) return Wait::Woken;
        // Readable, closed or interrupted: the next round reads and decides.
    }
}

bool Connection::reconnect(std::string& error) {
    PQreset(conn_);
    if (PQstatus(conn_) != CONNECTION_OK) {
        error = errorMessage();
        return false;
    }
    PQsetNoticeReceiver(conn_, ignoreNotice, nullptr);
    for (const std::string& channel : channels_) {
        Result result = exec("LISTEN " + quoteIdentifier(channel));
        if (!result.ok()) {
            error = result.error();
            return false;
        }
    }
    return true;
}

}  // namespace NORRIK::Data::PostgreSQL
