#include <string>

#include "db/connection_ids.hpp"
#include "db/database_driver.hpp"
#include "db/driver_postgresql/driver_postgresql.hpp"
#include "db/driver_sqlite/driver_sqlite.hpp"
#include "util/log.hpp"

namespace NORRIK::Data {

std::unique_ptr<DatabaseDriver> openDatabaseDriver(Settings::Section* section, bool isDynamic) {
    const std::string driver = section != nullptr ? section->get("driver") : std::string();
    if (driver == "postgresql") return std::make_unique<PostgreSQLDriver>(section, isDynamic);
    if (!driver.empty() && driver != "sqlite3") {
        Log::error("Unknown database driver '" + driver + "'; using sqlite3");
    }
    return std::make_unique<SQLite3Driver>(section, isDynamic);
}

std::optional<std::array<unsigned char, 16>> loadConnectionKey(const std::string& path, std::string* error) {
    return ConnectionIds::loadKeyFile(path, error);
}

}  // namespace NORRIK::Data
