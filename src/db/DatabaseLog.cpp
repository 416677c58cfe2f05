#include "db/DatabaseLog.h"

#include "db/CatalogueConnection.h"
#include "db/ClientRegistration.h"
#include "log/SystemLog.h"
#include "platform/Clock.h"

#include <algorithm>

namespace smtpin::db {

DatabaseLog::DatabaseLog(CatalogueConnection& db, const ClientRegistration& registration)
    : db_(db), registration_(registration)
{
}

bool DatabaseLog::insertNow(const Row& row)
{
    if (!db_.isOpen() && !db_.EnsureSQLDatabase())
        return false;
    try {
        db_.Execute("INSERT INTO HXSLog ([logtime], [source], [messid], [log data]) VALUES (GETDATE(), ?, ?, ?)",
                    {qs(row.source), qs(row.messageId), qs(row.text)});
        db_.CountDatabaseHit();
        return true;
    } catch (const DatabaseFault&) {
        // Kept to go again, never reported: the report would be a log row too.
        return false;
    }
}

void DatabaseLog::keep(Row row)
{
    if (waiting_.size() >= kMaxWaiting) {
        waiting_.pop_front();
        ++dropped_;
    }
    waiting_.push_back(std::move(row));
}

bool DatabaseLog::InsertLogRecord(const std::string& source, const std::string& messageId, std::string& text)
{
    if (text.size() > kMaxText)
        text.resize(kMaxText);
    Row row{source, messageId, text, db_.clock().now()};
    if (batching_) {
        keep(std::move(row));
        return true;
    }
    // Rows keep their order: while some wait, a new one waits behind them.
    if (!waiting_.empty() && !FlushWaiting()) {
        keep(std::move(row));
        return false;
    }
    if (insertNow(row))
        return true;
    lastTry_ = db_.clock().now();
    failed_ = true;
    keep(std::move(row));
    return false;
}

bool DatabaseLog::EndBatch()
{
    batching_ = false;
    return FlushWaiting();
}

bool DatabaseLog::FlushWaiting()
{
    if (waiting_.empty())
        return true;
    const DateSerial now = db_.clock().now();
    if (failed_ && (now.days() - lastTry_.days()) * 86400.0 < kRetrySeconds && now >= lastTry_)
        return false;
    // Counted as failed until it went through.
    lastTry_ = now;
    failed_ = true;
    if (!db_.isOpen() && !db_.EnsureSQLDatabase())
        return false;
    // A few hundred rows a commit: the catalogue's disk is not asked to sync
    // for every one of ten thousand waiting rows.
    while (!waiting_.empty()) {
        const std::size_t n = std::min<std::size_t>(waiting_.size(), kRowsPerCommit);
        try {
            CatalogueConnection::Transaction transaction(db_);
            for (std::size_t i = 0; i < n; ++i) {
                const Row& row = waiting_[i];
                db_.Execute("INSERT INTO HXSLog ([logtime], [source], [messid], [log data]) VALUES (?, ?, ?, ?)",
                            {db_.timeValue(row.when), qs(row.source), qs(row.messageId), qs(row.text)});
            }
            transaction.commit();
        } catch (const DatabaseFault&) {
            return false;
        }
        db_.CountDatabaseHit();
        waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(n));
    }
    failed_ = false;
    if (dropped_ > 0 && log_) {
        const std::size_t n = dropped_;
        dropped_ = 0;
        log_->UpdateSystemLog(-1, log_->ApplicationList, "",
                              " DBL: " + std::to_string(n) +
                                  " database log rows were dropped while the catalogue could not take them");
    }
    return true;
}

void DatabaseLog::attachTo(SystemLog& log)
{
    log_ = &log;
    log.SetDatabaseLog([this](const std::string& messageId, std::string& text) {
        return InsertLogRecord("SMTP" + registration_.clientId(), messageId, text);
    });
    log.SetDatabaseBatch([this](bool start) {
        if (start)
            BeginBatch();
        else
            EndBatch();
    });
}

}  // namespace smtpin::db
