#pragma once

#include <cstddef>
#include <string>

namespace smtpin {
class SystemLog;
}

namespace smtpin::db {

class CatalogueConnection;
class ClientRegistration;

// Copies application log entries into the shared log table while the main
// window's "Error Logging" box is checked.
class DatabaseLog {
public:
    static constexpr std::size_t kMaxText = 300;

    DatabaseLog(CatalogueConnection& db, const ClientRegistration& registration);

    // Cuts text to kMaxText in the caller's variable, then stores the row.
    // A failure drops the row silently: the log must not log about itself.
    // False when the catalogue could not take it.
    bool InsertLogRecord(const std::string& source, const std::string& messageId, std::string& text);
    // Makes this the application log's database copy, with source "SMTP"
    // followed by the client identifier.
    void attachTo(SystemLog& log);

private:
    CatalogueConnection& db_;
    const ClientRegistration& registration_;
};

}  // namespace smtpin::db
