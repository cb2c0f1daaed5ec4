#pragma once
// One connection to a PostgreSQL server through libpq, the server's C client
// library, and the few things the store needs on it: results, parameters in
// binary form, COPY FROM STDIN, LISTEN/NOTIFY, and noticing a lost
// connection and connecting again.
//
// Contract:
// - Ownership: a Connection owns its PGconn and a Result its PGresult; the
//   destructors release them. A Result does not refer to its connection and
//   may outlive it. Param::bytes refers to the caller's bytes, which must
//   stay valid until the call that takes the parameter returns.
// - Threads: a Connection is used by one thread at a time (a libpq
//   connection is not safe for concurrent use); the caller serialises.
//   Different connections may be used on different threads at once.
// - Blocking: every call waits for the server's answer. Unless the conninfo
//   sets them, a connection is opened with a 10 s connect timeout, TCP
//   keepalives and a 30 s TCP user timeout, so that a server that vanishes
//   without closing the connection fails the waiting call within bounded
//   time instead of hanging it for ever.
// - Errors: nothing here throws. open() returns null and the error text; the
//   other calls return a Result whose ok() is false and whose error() says
//   why (the server's message, or libpq's when the server could not be
//   reached). A connection that broke (the server went away) is lost()
//   from then on; reconnect() tries to connect again with the same
//   parameters. Notices from the server (such as "relation already exists,
//   skipping") are dropped rather than printed on standard error.

#include <libpq-fe.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace NORRIK::Data::PostgreSQL {

// Whether values travel as text or in PostgreSQL's binary form.
enum class Format { Text = 0, Binary = 1 };

// The outcome of one command. A default-constructed Result is a failure
// without a server message ("no result").
class Result {
public:
    Result() = default;
    explicit Result(PGresult* result) : result_(result) {}
    // A failure made on this side (no PGresult, or one that does not fit the
    // call), with its text.
    static Result failure(std::string error);

    ExecStatusType status() const { return result_ ? PQresultStatus(result_.get()) : PGRES_FATAL_ERROR; }
    // The command succeeded (with or without rows).
    bool ok() const;
    // The reason of a failure, without libpq's trailing newline; empty on
    // success.
    std::string error() const;
    // The server's primary message alone ("canceling statement due to lock
    // timeout"), without severity, statement position or detail lines; the
    // whole of error() when the server sent none. Empty on success.
    std::string message() const;
    // The five-character SQLSTATE of a server error ("23505" for a unique
    // violation, "57P01" for a server shutting down); empty when none.
    std::string sqlState() const;

    int rows() const { return result_ ? PQntuples(result_.get()) : 0; }
    int columns() const { return result_ ? PQnfields(result_.get()) : 0; }
    // Rows inserted, updated, deleted or copied by the command; 0 for others.
    int64_t affectedRows() const;

    bool isNull(int row, int column) const;
    // The value as the server sent it: its text in a text result, its binary
    // form in a binary one. Empty for NULL.
    std::string_view value(int row, int column) const;
    // A bytea value as raw bytes (decoded from the text form in a text
    // result); any other column gives the bytes of value(). Nothing for NULL
    // or a bytea text that does not decode.
    std::optional<std::vector<uint8_t>> bytes(int row, int column) const;
    // A smallint, integer or bigint value (binary result), or a value whose
    // whole text is a decimal integer (text result). Nothing for NULL or any
    // other value.
    std::optional<int64_t> integer(int row, int column) const;

    PGresult* get() const { return result_.get(); }

private:
    struct Clear {
        void operator()(PGresult* result) const { PQclear(result); }
    };
    std::unique_ptr<PGresult, Clear> result_;
    std::string error_;  // a failure made on this side
};

// One parameter of execParams. Integers and bytea travel in binary form with
// their type given; text travels as text and the server infers its type
// from the statement (so '2024-01-01' can fill a date column).
class Param {
public:
    static Param null();
    // bytea; the bytes are referred to, not copied.
    static Param bytes(const void* data, std::size_t size);
    static Param bytes(std::span<const uint8_t> data) { return bytes(data.data(), data.size()); }
    static Param int64(int64_t value);  // bigint
    static Param int32(int32_t value);  // integer
    // Copied; may contain no NUL character.
    static Param text(std::string_view value);

private:
    friend class Connection;
    enum class Kind { Null, Bytes, Integer, Text };
    Kind kind_ = Kind::Null;
    Oid type_ = 0;
    const char* data_ = nullptr;  // Bytes
    int length_ = 0;              // Bytes and Integer
    std::array<char, 8> integer_{};  // Integer, in network order
    std::string text_;            // Text
};

// Rows in COPY's text format, for Connection::copyIn: fields separated by
// tabs, one row per line, \N for NULL, backslashes, tabs and line ends in
// text escaped, bytea written as \\x and hex digits (the backslash of
// bytea's hex form doubled, as COPY reads backslash as its escape).
class CopyRows {
public:
    CopyRows& bytes(const void* data, std::size_t size);
    CopyRows& integer(int64_t value);
    CopyRows& text(std::string_view value);
    CopyRows& null();
    // Ends the current row.
    void endRow();

    std::string_view data() const { return buffer_; }
    std::size_t rowCount() const { return rows_; }
    bool empty() const { return rows_ == 0 && !inRow_; }
    void clear();

private:
    void beginField();
    std::string buffer_;
    std::size_t rows_ = 0;
    bool inRow_ = false;
};

// libpq's texts may span lines ("...failed: Connection refused\n\tIs the
// server running..."): the same text on one line, parts joined by a space.
std::string oneLine(std::string_view text);

struct Notification {
    std::string channel;
    std::string payload;
    int serverPid = 0;  // the server process of the session that sent it
};

class Connection {
public:
    // Connects with a libpq conninfo ("host=127.0.0.1 port=5432 dbname=x")
    // or URI. Null when the server cannot be reached or refuses; `error`
    // then holds libpq's text.
    static std::unique_ptr<Connection> open(const std::string& conninfo, std::string& error);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Runs SQL text (one or more statements; the last one's result is
    // returned), results in text form.
    Result exec(const std::string& sql);
    // Runs one statement with parameters $1, $2, ...
    Result execParams(const std::string& sql, std::span<const Param> params, Format results = Format::Text);
    Result execParams(const std::string& sql, std::initializer_list<Param> params, Format results = Format::Text) {
        return execParams(sql, std::span<const Param>(params.begin(), params.size()), results);
    }

    // Runs `copySql`, a "COPY ... FROM STDIN" statement in text format, and
    // sends it `rows`. The result is the COPY's outcome: ok() with
    // affectedRows() the number of rows stored, or the server's reason for
    // refusing them (none is stored then).
    Result copyIn(const std::string& copySql, std::string_view rows);
    Result copyIn(const std::string& copySql, const CopyRows& rows) { return copyIn(copySql, rows.data()); }

    // LISTEN on a channel (any name; it is quoted). The channel is listened
    // to again after a reconnect().
    Result listen(const std::string& channel);

    enum class Wait { Notified, TimedOut, Woken, Lost };
    // Waits up to `timeout` for a notification on a channel listened to, and
    // fills `notification` with the oldest one waiting. Woken when `wakeFd`
    // (a descriptor the caller makes readable to stop the wait, or -1)
    // becomes readable; Lost when the connection broke (errorMessage()
    // says how).
    Wait waitForNotification(std::chrono::milliseconds timeout, Notification& notification, int wakeFd = -1);

    // The connection broke: the server closed it, went away or could not be
    // reached again. Every call fails until reconnect() succeeds.
    bool lost() const { return PQstatus(conn_) == CONNECTION_BAD; }
    // Connects again with the parameters of open(), and listens again on
    // the channels listened to before. False with `error` when it fails; the
    // connection stays lost then, and reconnect() may be tried again.
    // Notifications sent while the connection was lost are not delivered.
    bool reconnect(std::string& error);

    // libpq's text for the last failure on this connection.
    std::string errorMessage() const;

    PGconn* handle() const { return conn_; }

private:
    explicit Connection(PGconn* conn) : conn_(conn) {}
    std::string quoteIdentifier(const std::string& name);
    Result lastResult();

    PGconn* conn_;
    std::vector<std::string> channels_;  // listened to
};

}  // namespace NORRIK::Data::PostgreSQL
