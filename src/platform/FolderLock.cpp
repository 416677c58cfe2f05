#include "FolderLock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace smtpin {

namespace {
constexpr std::size_t kMaxText = 256;
}

bool FolderLock::Acquire(const std::string& path, std::string* why)
{
    Release();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (why)
            *why = "cannot open the lock file " + path + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (why)
            *why = error == EWOULDBLOCK ? "the data folder is in use by another running smtpin (" + path + " is locked)"
                                        : "cannot lock " + path + ": " + std::strerror(error);
        return false;
    }
    fd_ = fd;
    char buf[kMaxText];
    const ssize_t n = ::pread(fd_, buf, sizeof buf, 0);
    recorded_.assign(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!recorded_.empty() && (recorded_.back() == '\n' || recorded_.back() == '\r' || recorded_.back() == ' '))
        recorded_.pop_back();
    return true;
}

bool FolderLock::Record(const std::string& text)
{
    if (fd_ < 0)
        return false;
    const std::string line = text.substr(0, kMaxText - 1) + "\n";
    if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, line.data(), line.size(), 0) != static_cast<ssize_t>(line.size()))
        return false;
    ::fdatasync(fd_);
    recorded_ = text.substr(0, kMaxText - 1);
    return true;
}

void FolderLock::Release()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

}  // namespace smtpin
