#pragma once
// NORRIK::Data::PostgreSQLDriver: the store on a PostgreSQL database, which
// several norrik nodes may share.
//
// Section "database": "driver" = "postgresql", "conninfo" (a libpq
// connection string or URI; empty: libpq's defaults and PG* environment
// variables). The tables are the flat layout of pg_schema.hpp, made in one
// transaction when the database has none. One line at start names the
// server (the conninfo without its password) and the layout.
//
// Everything else is the Store's (db/store.hpp): answers from memory, one
// writer thread with its own connection (PostgreSQLBackend), commits that
// tell the truth. Beside it a Synchroniser, with a connection of its own,
// merges what other nodes store into memory.
//
// Construction throws DatabaseException code 2, after one line on standard
// error saying what failed and why, when the server cannot be reached,
// refuses the connection, or its schema cannot be made or is not this one.

#include <cstdint>
#include <memory>
#include <string>

#include "db/store.hpp"

namespace NORRIK::Data {

namespace PostgreSQL {
class PostgreSQLBackend;
class Synchroniser;
}  // namespace PostgreSQL

class PostgreSQLDriver : public Store {
public:
    PostgreSQLDriver(Settings::Section* settings, bool isDynamic, StoreOptions options = {});
    ~PostgreSQLDriver() override;

    // The conninfo as it may be shown: every keyword it sets, but a
    // password, in keyword=value form. "(default)" when it sets none,
    // "(unreadable conninfo)" when libpq cannot read it.
    static std::string describeConninfo(const std::string& conninfo);

    // A backend on the database that `conninfo` names, its tables made if it
    // has none, for a program that writes into it alone (norrik-migrate);
    // null with `error` set when the server cannot be used.
    static std::unique_ptr<StoreBackend> openBackend(const std::string& conninfo, std::string& error);

    // This process's node id (the `origin` of the peer rows it writes).
    int64_t nodeId() const { return nodeId_; }

    // Successful reads of the other nodes' changes so far.
    uint64_t synchronisedReads() const;

private:
    struct Opened;
    PostgreSQLDriver(Settings::Section* settings, bool isDynamic, StoreOptions options, Opened opened);
    static Opened open(Settings::Section* settings);

    int64_t nodeId_;
    std::unique_ptr<PostgreSQL::Synchroniser> synchroniser_;  // stopped first
};

}  // namespace NORRIK::Data
