#pragma once

#include <string>

namespace smtpin {

// A lock file held for as long as the program runs (flock: the kernel lets
// go when the process dies, however it dies). It also keeps one line of
// text: which client row this installation claimed.
class FolderLock {
public:
    FolderLock() = default;
    ~FolderLock() { Release(); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // False, with the reason, when another process holds it or the file
    // cannot be opened.
    bool Acquire(const std::string& path, std::string* why);
    void Release();
    bool Held() const { return fd_ >= 0; }
    // The text found when the lock was taken.
    const std::string& Recorded() const { return recorded_; }
    // Replaces the text, on disk at once.
    bool Record(const std::string& text);

private:
    int fd_ = -1;
    std::string recorded_;
};

}  // namespace smtpin
