#pragma once
// NORRIK::Data::DatabaseException: the store's error, a plain value holding a
// numeric code with a fixed message per code. Thrown by value.

#include <cstdint>

namespace NORRIK::Data {

class DatabaseException {
public:
    static constexpr int32_t kUnknown = 0;
    static constexpr int32_t kNotImplemented = 1;
    static constexpr int32_t kConnectFailed = 2;

    DatabaseException() = default;
    explicit DatabaseException(int32_t code) : code_(code) {}

    int32_t code() const { return code_; }

    // "Unknown Error", "Not Implemented" or "Failed to connect to database";
    // codes outside the table read as "Unknown Error".
    const char* message() const;

private:
    int32_t code_ = kUnknown;
};

}  // namespace NORRIK::Data
