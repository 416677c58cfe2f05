#pragma once

#include <string>

namespace smtpin {
class SystemLog;
}

namespace smtpin::db {

class CatalogueConnection;
class ClientRegistration;

// Per-client parameters: name and value rows of the client configuration
// table. Bad rows (duplicates, NULL values) are not errors: they add to a
// warning text that callers take and log.
class ClientConfig {
public:
    ClientConfig(CatalogueConnection& db, SystemLog& log, const ClientRegistration& registration);

    std::string GetClientConfig(const std::string& parameter, const std::string& device);
    std::string ReadClientConfig(const std::string& parameter);
    bool SetClientConfig(const std::string& value, const std::string& parameter);
    bool SaveClientConfig(const std::string& parameter, const std::string& value);
    bool InsertClientConfig(const std::string& value, const std::string& parameter);
    std::string TakeConfigWarning();
    // The input queue's read: the value, with any warning logged at once.
    std::string GetConfigParameter(const std::string& name);

    const std::string& PendingWarning() const { return warning_; }

private:
    const std::string& clientId() const;

    CatalogueConnection& db_;
    SystemLog& log_;
    const ClientRegistration& registration_;
    std::string warning_;
};

}  // namespace smtpin::db
