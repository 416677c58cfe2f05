#pragma once

#include "platform/Clock.h"

#include <cstdio>
#include <string>

namespace smtpin {

// A small text log file: created with a fixed header, appended line by line
// (kept open between writes, each write handed to the file at once, and
// opened again after a backup moved it), switched on and off, and backed up
// into BACKUP under a dated name.
class RawLogClass {
public:
    explicit RawLogClass(const Clock& clock);
    ~RawLogClass();
    RawLogClass(const RawLogClass&) = delete;
    RawLogClass& operator=(const RawLogClass&) = delete;

    bool StampDate = true;
    bool StampTime = true;
    bool StampUser = true;

    std::string GetRemoteServer() const { return server_; }
    static std::string Version() { return "1.02.02"; }

    std::string FileName() const { return fullPath_; }   // the full path
    void FileName(const std::string& prefix);            // ignored while connected

    bool Enabled() const { return enabled_; }
    void Enabled(bool on);

    bool Connect(const std::string& folder, const std::string& identifier);
    void Disconnect();
    bool AddLog(const std::string& text);
    int Error();        // reading resets it to 0
    long Sizeof() const;
    std::string BackupFile(const std::string& identifier);
    std::string Backup();

    bool Connected() const { return connected_; }

private:
    bool writeHeader();
    bool fileExists() const;
    bool appendRaw(const std::string& bytes);
    void closeFile();
    void setUserStamp(const std::string& identifier);
    bool makeBackupFolder();
    std::string backup(const std::string& firstLine, const std::string& reconnectId);

    const Clock& clock_;
    std::FILE* file_ = nullptr;
    int errorCode_ = 0;
    std::string server_;
    std::string fullPath_;
    std::string workingFolder_;
    std::string fileName_;
    std::string userStamp_;
    bool connected_ = false;
    bool enabled_ = false;
    bool nameGiven_ = false;
    std::string prefix_;
};

}  // namespace smtpin
