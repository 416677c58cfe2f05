#include "log/RawLogClass.h"

#include <filesystem>
#include <fstream>

namespace smtpin {
namespace fs = std::filesystem;

namespace {

// Print-zone padding: a label fills to the next 14-column zone.
std::string zone(const std::string& label)
{
    const size_t width = (label.size() / 14 + 1) * 14;
    return label + std::string(width - label.size(), ' ');
}

}  // namespace

RawLogClass::RawLogClass(const Clock& clock) : clock_(clock) {}

RawLogClass::~RawLogClass() { closeFile(); }

void RawLogClass::closeFile()
{
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}



void RawLogClass::FileName(const std::string& prefix)
{
    if (connected_)
        return;
    prefix_ = prefix;
    nameGiven_ = !prefix.empty();
}

bool RawLogClass::fileExists() const
{
    std::error_code ec;
    return !fullPath_.empty() && fs::is_regular_file(fullPath_, ec);
}

bool RawLogClass::appendRaw(const std::string& bytes)
{
    if (!file_)
        file_ = std::fopen(fullPath_.c_str(), "ab");
    if (!file_)
        return false;
    // One write per call (the SMTP log hands a second's lines at once); the
    // file is not opened and closed each time.
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size() && std::fflush(file_) == 0)
        return true;
    closeFile();
    return false;
}

void RawLogClass::setUserStamp(const std::string& identifier)
{
    userStamp_ = (identifier + "        ").substr(0, 3);
}

bool RawLogClass::writeHeader()
{
    const DateSerial now = clock_.now();
    std::string h;
    h += zone("File :") + fullPath_ + "\r\n";
    h += zone("Version :") + Version() + "\r\n";
    h += zone("Created :") + now.dateText() + " " + now.timeText() + "\r\n";
    h += "Directory :\r\n";
    h += zone("Date/Time") + "User    Logged Message\r\n";
    return appendRaw(h);
}

bool RawLogClass::Connect(const std::string& folder, const std::string& identifier)
{
    server_ = folder;
    workingFolder_ = folder;
    fileName_ = prefix_ + identifier + ".txt";
    fullPath_ = folder + "/" + fileName_;
    if (connected_) {
        errorCode_ = 0;
        return false;
    }
    setUserStamp(identifier);
    if (!fileExists()) {
        if (!appendRaw("") || !writeHeader()) {
            errorCode_ = 1;
            return false;
        }
    }
    if (!appendRaw("")) {
        errorCode_ = 1;
        return false;
    }
    enabled_ = true;
    connected_ = true;
    return true;
}

void RawLogClass::Disconnect()
{
    closeFile();
    enabled_ = false;
    connected_ = false;
}

void RawLogClass::Enabled(bool on)
{
    enabled_ = true;
    if (on) {
        AddLog("(#) Software Enabled Log Recording");
    } else {
        AddLog("(#) Software Disabled Log Recording");
        enabled_ = false;
    }
}

bool RawLogClass::AddLog(const std::string& text)
{
    if (!enabled_)
        return true;
    // A deleted file is not made again until the next Connect.
    if (!fileExists()) {
        closeFile();
        return false;
    }
    const DateSerial now = clock_.now();
    std::string line;
    if (StampDate)
        line += now.dateText() + "  ";
    if (StampTime)
        line += now.timeText() + "\t";
    if (StampUser)
        line += userStamp_;
    line += text;
    line += "\r\n";
    return appendRaw(line);
}

int RawLogClass::Error()
{
    const int e = errorCode_;
    errorCode_ = 0;
    return e;
}

long RawLogClass::Sizeof() const
{
    if (!connected_ || !fileExists())
        return 0;
    std::ifstream in(fullPath_, std::ios::binary);
    long count = 0;
    for (std::string line; std::getline(in, line);)
        ++count;
    return count;
}

bool RawLogClass::makeBackupFolder()
{
    std::error_code ec;
    if (!fs::is_directory(server_, ec))
        return false;
    workingFolder_ = server_ + "/BACKUP";
    if (!fs::is_directory(workingFolder_, ec) && !fs::create_directory(workingFolder_, ec))
        return false;
    return true;
}

std::string RawLogClass::backup(const std::string& firstLine, const std::string& reconnectId)
{
    if (!connected_)
        return {};
    AddLog(firstLine);
    if (!makeBackupFolder())
        return {};
    const std::string date = clock_.now().format(DateSerial::kBackupDate);
    std::string candidate;
    std::error_code ec;
    for (char letter = 'A'; letter <= 'Z' && candidate.empty(); ++letter) {
        const std::string name = std::string(1, letter) + "_" + date + "_" + fileName_;
        if (!fs::exists(workingFolder_ + "/" + name, ec))
            candidate = name;
    }
    if (candidate.empty())
        return {};
    // The next line goes to the new file, not the moved one.
    closeFile();
    fs::rename(fullPath_, workingFolder_ + "/" + candidate, ec);
    if (ec)
        return {};
    const std::string folder = server_;
    Disconnect();
    if (!Connect(folder, reconnectId))
        return {};
    AddLog("... Continuation from recently backed up log file = " + candidate);
    return candidate;
}

std::string RawLogClass::Backup()
{
    return backup("Backing up Log file (by " + userStamp_ + ") ...", userStamp_);
}

std::string RawLogClass::BackupFile(const std::string& identifier)
{
    return backup("Backing up Log file (from " + fileName_ + ") ...", identifier);
}

}  // namespace smtpin
