#pragma once
// NORRIK::Data::SQLite3Driver: the store on one SQLite database file.
//
// Section "database": "file" (the path; "tracker.db" when there is no
// section or no name, said in one line), "layout" ("tables", the default: a
// peer table per torrent; "flat": one peers table for all torrents). A file
// is opened in the layout it already has, whatever "layout" says; a file
// without any table gets the layout asked for. One line at start says which
// layout is used, and a line more when that is not the one asked for.
//
// Everything else is the Store's (db/store.hpp): answers from memory, one
// writer thread that alone uses the connection, commits that tell the truth.
// The connection is opened in serialized mode, in WAL mode with
// synchronous=NORMAL (a file written with a rollback journal is switched
// over); the log is cut back when the writer is idle. Construction throws
// DatabaseException code 2 when the file cannot be opened or read.

#include <cstdint>
#include <memory>
#include <string>

#include "db/store.hpp"

namespace NORRIK::Data {

class SQLite3Driver : public Store {
public:
    static constexpr const char* kDefaultFileName = "tracker.db";

    SQLite3Driver(Settings::Section* settings, bool isDynamic);
    ~SQLite3Driver() override;

    // The database file in use.
    const std::string& fileName() const { return fileName_; }

    // Whether the connection serializes concurrent calls itself.
    bool isSerialized() const { return serialized_; }

    // Decodes the 40 digits after the `t` of a peer table name into the 20
    // info_hash bytes. False for anything but 40 digits "0"-"9" / "a"-"f".
    static bool _hash_to_bin(const char* digits, uint8_t* info_hash);

private:
    struct Opened;
    SQLite3Driver(Settings::Section* settings, bool isDynamic, Opened opened);
    static Opened open(Settings::Section* settings);

    std::string fileName_;
    bool serialized_ = false;
};

}  // namespace NORRIK::Data
