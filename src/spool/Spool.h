#pragma once

#include "platform/FolderLock.h"

#include <QSqlQuery>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace smtpin::spool {

// One accepted message as the spool keeps it.
struct SpooledMessage {
    std::int32_t messId = 0;
    std::string record;     // the record text sent to the switch
    std::int64_t taken = 0; // when it was accepted, ms since the epoch
};

// The accepted messages the switch has not deleted yet, on disk: a SQLite
// file of its own (WAL, synchronous=FULL), so a "250 OK" survives a crash.
// A message is written before its reply goes out and removed only by the
// switch's DELETE.
class Spool {
public:
    static constexpr int kSchemaVersion = 1;

    Spool();
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // Opens the file, creating it with its schema when new; false with the
    // reason in why.
    bool Open(const std::string& path, std::string* why);
    void Close();
    bool IsOpen() const { return open_; }
    const std::string& Path() const { return path_; }

    // Committed to disk when true; why says what failed otherwise. Messages
    // forgotten since the last commit go in the same transaction.
    bool Keep(std::int32_t messId, const std::string& record, std::int64_t taken, std::string* why);
    // Every message of the batch in one transaction and one sync, in its
    // order; none of them when false.
    bool KeepAll(const std::vector<SpooledMessage>& batch, std::string* why);
    // Transactions committed by Keep and KeepAll, and the messages they held.
    std::uint64_t Commits() const { return commits_; }
    std::uint64_t MessagesCommitted() const { return messagesCommitted_; }
    // Batches KeepAll could not commit.
    std::uint64_t Failures() const { return failures_; }
    // Deleted by the switch: removed with the next commit (a crash before it
    // only sends the message again, which the switch knows by its id).
    void Forget(std::int32_t messId);
    // Removes it at once: a message kept and then refused before its reply.
    bool Drop(std::int32_t messId);
    // Commits what Forget collected; false when the file refused it.
    bool FlushForgotten();

    // Every message kept, in the order kept.
    std::vector<SpooledMessage> All(std::string* why = nullptr);
    // Messages kept and not forgotten.
    int Count() const { return count_ - static_cast<int>(forgotten_.size()); }
    // When the oldest page still waiting was taken (ms since the epoch).
    std::optional<std::int64_t> OldestTaken() const;

private:
    bool openFile(std::string* why);
    bool exec(const QString& sql, std::string* why);
    bool createSchema(std::string* why);
    bool deleteForgotten(std::string* why);
    // A statement prepared once per open file, not once per commit.
    QSqlQuery& prepared(std::unique_ptr<QSqlQuery>& slot, const char* sql);
    std::unique_ptr<QSqlQuery> insert_;
    std::unique_ptr<QSqlQuery> delete_;
    std::unique_ptr<QSqlQuery> unprepared_;

    QString name_;
    std::string path_;
    bool open_ = false;
    int count_ = 0;
    std::int64_t seq_ = 0;
    std::uint64_t commits_ = 0;
    std::uint64_t messagesCommitted_ = 0;
    std::uint64_t failures_ = 0;
    std::vector<std::int32_t> forgotten_;
    // When each page still waiting was taken, for the age of the oldest.
    std::map<std::int32_t, std::int64_t> takenOf_;
    std::multiset<std::int64_t> takenTimes_;
    void track(std::int32_t messId, std::int64_t taken);
    void untrack(std::int32_t messId);
    FolderLock lock_;   // spool.sqlite.lock, held while open
};

}  // namespace smtpin::spool
