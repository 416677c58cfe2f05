#pragma once

#include "log/RawLogClass.h"
#include "platform/Clock.h"
#include "platform/Controls.h"

#include <array>
#include <functional>
#include <string>

namespace smtpin {

// The two operator logs: the application log (queued, written in batches on
// the housekeeping tick) and the SMTP log (shown at once, written once a second).
class SystemLog {
public:
    static constexpr int kRingSize = 500;      // entries 0..499 of the queue are used
    static constexpr int kSlots = 302;         // input queue slots with repeat memory
    static constexpr int kDrainPerCall = 11;
    static constexpr int kSystemListCap = 100;
    static constexpr int kSMTPListCap = 50;

    struct Version {
        int major = 1, minor = 0, revision = 0;
    };

    // What a line's bytes are: text the program made, in the switch's code
    // page, or a line as it came from the wire, in whatever the sender used.
    enum class EchoText { CodePage, Wire };
    using EchoFunction = std::function<void(const std::string&, EchoText)>;

    // Copy of an application log entry into the database; may cut text in
    // place. False when the catalogue could not take it.
    using DatabaseLog = std::function<bool(const std::string& messageId, std::string& text)>;

    // The main window's controls the logs write.
    struct Controls {
        ListBox& lbxSystemLog;
        ListBox& lbxSMTPLOG;
        CheckBox& cbxErrorLogging;
    };

    SystemLog(const Clock& clock, Controls controls);

    // Both list targets start bound to lbxSystemLog.
    ListBox* ApplicationList;
    ListBox* StatusList;

    void OpenSystemLogs(const std::string& logFolder, const std::string& clientId, Version version);
    void UpdateSystemLog(int slot, ListBox* target, const std::string& messageId, const std::string& text);
    // An application log entry without a message id. skipRepeat: left out
    // when it repeats the entry before it (start-up and close lines).
    void ApplicationLine(const std::string& text, bool skipRepeat = false)
    {
        UpdateSystemLog(skipRepeat ? 0 : -1, ApplicationList, "", text);
    }
    void ProcessSystemLogQueue();
    // Writes every pending entry, as the close must. The database copies
    // stop at the first the catalogue cannot take (each would wait for a
    // connection again), and are not made at all once it is closed (a copy
    // would open it again).
    void ProcessWholeSystemLogQueue(bool toDatabase = true);
    void UpdateSMTPLog(const std::string& text, EchoText kind = EchoText::CodePage);
    void FlushSMTPLog();

    // The input queue forgets a slot's last key when it resets the slot.
    void ClearRepeatKey(int slot);
    void SetDatabaseLog(DatabaseLog sink) { databaseLog_ = std::move(sink); }
    // Told when a drain starts (true) and ends (false), so the rows of one
    // drain go to the catalogue in one commit.
    void SetDatabaseBatch(std::function<void(bool start)> batch) { databaseBatch_ = std::move(batch); }
    // Headless runs show every line on the terminal as well.
    void SetEcho(EchoFunction echo) { echo_ = std::move(echo); }
    // A line for the terminal alone (headless: standard output, so the journal).
    void Echo(const std::string& line, EchoText kind = EchoText::CodePage) const
    {
        if (echo_)
            echo_(line, kind);
    }

    RawLogClass& SystemLogFile() { return systemLogFile_; }
    RawLogClass& SMTPLogFile() { return smtpLogFile_; }
    int PendingCount() const;
    const std::string& SMTPLogPending() const { return smtpLogPending_; }

private:
    struct Entry {
        ListBox* target = nullptr;
        std::string messageId;
        std::string text;
    };

    // False when the database copy was wanted and failed.
    bool WriteSystemLogEntry(Entry& entry, bool toDatabase = true);
    bool writeOldest(bool toDatabase);
    static void insertCapped(ListBox& list, std::string line, int cap);

    const Clock& clock_;
    Controls view_;
    RawLogClass systemLogFile_;
    RawLogClass smtpLogFile_;
    std::array<Entry, kRingSize> SystemLogQueue_;
    int writeIndex_ = 0;
    int readIndex_ = 0;
    std::array<std::string, kSlots> repeatKeys_;
    std::string smtpLogPending_;
    DatabaseLog databaseLog_;
    std::function<void(bool)> databaseBatch_;
    struct Batch;
    EchoFunction echo_;
};

}  // namespace smtpin
