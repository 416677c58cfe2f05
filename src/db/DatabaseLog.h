#pragma once

#include "platform/DateSerial.h"

#include <cstddef>
#include <deque>
#include <string>

namespace smtpin {
class SystemLog;
}

namespace smtpin::db {

class CatalogueConnection;
class ClientRegistration;

// Copies application log entries into the shared log table while the main
// window's "Error Logging" box is checked. A catalogue that is busy, locked
// or away never holds the program up: rows it cannot take now wait here and
// are written, with the time they were logged, once it takes them again.
class DatabaseLog {
public:
    static constexpr std::size_t kMaxText = 300;
    static constexpr std::size_t kMaxWaiting = 10000;
    // While rows wait, the catalogue is tried again at most this often.
    static constexpr double kRetrySeconds = 1.0;
    static constexpr std::size_t kRowsPerCommit = 500;

    DatabaseLog(CatalogueConnection& db, const ClientRegistration& registration);

    // Cuts text to kMaxText in the caller's variable, then stores the row,
    // or keeps it to store later. The log must not log about itself: no
    // line is written for a row that waits. False when it could not be
    // stored now.
    bool InsertLogRecord(const std::string& source, const std::string& messageId, std::string& text);
    // Writes the waiting rows when the catalogue takes them again (a
    // periodic step); false while some still wait.
    bool FlushWaiting();
    // Rows between these go to the catalogue in one commit at the end.
    void BeginBatch() { batching_ = true; }
    bool EndBatch();
    std::size_t Waiting() const { return waiting_.size(); }
    // Makes this the application log's database copy, with source "SMTP"
    // followed by the client identifier.
    void attachTo(SystemLog& log);

private:
    struct Row {
        std::string source, messageId, text;
        DateSerial when;
    };
    bool insertNow(const Row& row);
    void keep(Row row);

    CatalogueConnection& db_;
    const ClientRegistration& registration_;
    SystemLog* log_ = nullptr;
    std::deque<Row> waiting_;
    std::size_t dropped_ = 0;
    DateSerial lastTry_;      // of the last attempt that failed
    bool failed_ = false;
    bool batching_ = false;
};

}  // namespace smtpin::db
