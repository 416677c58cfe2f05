#include "db/DatabaseLog.h"

#include "db/CatalogueConnection.h"
#include "db/ClientRegistration.h"
#include "log/SystemLog.h"

namespace smtpin::db {

DatabaseLog::DatabaseLog(CatalogueConnection& db, const ClientRegistration& registration)
    : db_(db), registration_(registration)
{
}

bool DatabaseLog::InsertLogRecord(const std::string& source, const std::string& messageId, std::string& text)
{
    if (text.size() > kMaxText)
        text.resize(kMaxText);
    if (!db_.EnsureSQLDatabase())
        return false;
    try {
        db_.Execute("INSERT INTO HXSLog ([logtime], [source], [messid], [log data]) VALUES (GETDATE(), ?, ?, ?)",
                    {qs(source), qs(messageId), qs(text)});
        db_.CountDatabaseHit();
        return true;
    } catch (const DatabaseFault&) {
        db_.ForgetError();
        return false;
    }
}

void DatabaseLog::attachTo(SystemLog& log)
{
    log.SetDatabaseLog([this](const std::string& messageId, std::string& text) {
        return InsertLogRecord("SMTP" + registration_.ClientId, messageId, text);
    });
}

}  // namespace smtpin::db
