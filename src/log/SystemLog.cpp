#include "log/SystemLog.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace smtpin {
namespace {

// "0000000000": a numeric id shows at least ten digits; anything else as it is.
std::string formatId(const std::string& id)
{
    const bool digits = std::all_of(id.begin(), id.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    if (id.empty() || id.size() >= 10 || !digits)
        return id;
    return std::string(10 - id.size(), '0') + id;
}

int nextIndex(int i) { return i + 1 > SystemLog::kRingSize - 1 ? 0 : i + 1; }

}  // namespace

SystemLog::SystemLog(const Clock& clock, Controls controls)
    : ApplicationList(&controls.lbxSystemLog),
      StatusList(&controls.lbxSystemLog),
      clock_(clock),
      view_(controls),
      systemLogFile_(clock),
      smtpLogFile_(clock)
{
}

void SystemLog::OpenSystemLogs(const std::string& logFolder, const std::string& clientId, Version version)
{
    std::error_code ec;
    std::filesystem::create_directories(logFolder, ec);
    const std::string ver =
        "V" + std::to_string(version.major) + "." + std::to_string(version.minor) + " (" + std::to_string(version.revision) + ")";
    struct File {
        RawLogClass& file;
        const char* prefix;
        const char* title;
    };
    for (const File& f : {File{systemLogFile_, "system_log_", "********************** SMTP Application LOG  "},
                          File{smtpLogFile_, "system_log_email_", "********************** SMTP Email LOG  "}}) {
        f.file.StampDate = f.file.StampUser = f.file.StampTime = false;
        f.file.FileName(f.prefix);
        f.file.Connect(logFolder, clientId);
        f.file.AddLog(clock_.now().generalDate() + "\t" + f.title + ver + " has started.");
    }
}

void SystemLog::UpdateSystemLog(int slot, ListBox* target, const std::string& messageId, const std::string& text)
{
    if (slot >= 0 && slot < kSlots) {
        std::string key = messageId + " " + text;
        std::string& last = repeatKeys_[static_cast<size_t>(slot)];
        if (key == last)
            return;
        last = std::move(key);
    }
    if (nextIndex(writeIndex_) == readIndex_) {
        // Ring full: write the oldest out now rather than lose them.
        ProcessSystemLogQueue();
    }
    Entry& e = SystemLogQueue_[static_cast<size_t>(writeIndex_)];
    e.target = target;
    e.messageId = messageId;
    e.text = text;
    writeIndex_ = nextIndex(writeIndex_);
}

// Ends the batch it began, whatever the box says by then.
struct SystemLog::Batch {
    explicit Batch(SystemLog& log) : log_(log), on_(log.databaseBatch_ && log.view_.cbxErrorLogging.value() == 1)
    {
        if (on_)
            log_.databaseBatch_(true);
    }
    ~Batch()
    {
        if (on_ && log_.databaseBatch_)
            log_.databaseBatch_(false);
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    SystemLog& log_;
    const bool on_;
};

void SystemLog::ProcessSystemLogQueue()
{
    if (readIndex_ == writeIndex_)
        return;
    const Batch batch(*this);
    for (int written = 0; written < kDrainPerCall && readIndex_ != writeIndex_; ++written)
        writeOldest(true);
}

void SystemLog::ProcessWholeSystemLogQueue(bool toDatabase)
{
    // Lines that writing logs (the catalogue reconnecting, say) go to the
    // file and the list only, so a failing catalogue cannot keep this going.
    if (toDatabase && readIndex_ != writeIndex_) {
        const Batch batch(*this);
        for (int pending = PendingCount(); pending > 0 && readIndex_ != writeIndex_; --pending)
            toDatabase = writeOldest(toDatabase) && toDatabase;
    }
    while (readIndex_ != writeIndex_)
        writeOldest(false);
}

bool SystemLog::writeOldest(bool toDatabase)
{
    // Taken out first: writing may log, and a full ring drains itself.
    Entry e = std::move(SystemLogQueue_[static_cast<size_t>(readIndex_)]);
    SystemLogQueue_[static_cast<size_t>(readIndex_)] = {};
    readIndex_ = nextIndex(readIndex_);
    return WriteSystemLogEntry(e, toDatabase);
}

int SystemLog::PendingCount() const { return (writeIndex_ - readIndex_ + kRingSize) % kRingSize; }

void SystemLog::ClearRepeatKey(int slot)
{
    if (slot >= 0 && slot < kSlots)
        repeatKeys_[static_cast<size_t>(slot)].clear();
}

void SystemLog::insertCapped(ListBox& list, std::string line, int cap)
{
    list.addItem(std::move(line), 0);
    list.setListIndex(0);
    if (list.listCount() > cap - 1)
        list.removeItem(cap);
}

bool SystemLog::WriteSystemLogEntry(Entry& entry, bool toDatabase)
{
    bool copied = true;
    if (toDatabase && view_.cbxErrorLogging.value() == 1 && databaseLog_)
        copied = databaseLog_(entry.messageId, entry.text);
    const DateSerial now = clock_.now();
    const std::string id = formatId(entry.messageId);
    if (entry.target)
        insertCapped(*entry.target, now.format(DateSerial::kDayMonthTime) + " : " + id + " " + entry.text,
                     kSystemListCap);
    if (entry.messageId.empty())
        systemLogFile_.AddLog(std::string(11, ' ') + entry.text);
    else
        systemLogFile_.AddLog(now.generalDate() + "\t" + id + " " + entry.text);
    Echo(entry.text);
    return copied;
}

void SystemLog::UpdateSMTPLog(const std::string& text, EchoText kind)
{
    const DateSerial now = clock_.now();
    insertCapped(view_.lbxSMTPLOG, now.timeText() + "   " + text, kSMTPListCap);
    smtpLogPending_ += now.generalDate() + "\t" + text + "\r\n";
    Echo(text, kind);
}

void SystemLog::FlushSMTPLog()
{
    if (smtpLogPending_.empty())
        return;
    smtpLogFile_.AddLog(smtpLogPending_);
    smtpLogPending_.clear();
}

}  // namespace smtpin
