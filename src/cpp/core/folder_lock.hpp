// One writer per results folder: a lock file held (flock) for as long as a
// run lives. The kernel lets go of it when the process ends, however it ends,
// so a killed run leaves no lock to clear by hand; the file's text only says
// who held it last.
#pragma once

#include <memory>
#include <string>

namespace quorvan::core {

class FolderLock {
public:
    // Takes the lock at `path` (created when missing) and writes `holder`
    // (who, where, since when) into it. Returns null when another process
    // holds it; `held_by` is then its text. Throws std::runtime_error when the
    // file cannot be opened.
    static std::unique_ptr<FolderLock> take(const std::string& path, const std::string& holder, std::string& held_by);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    explicit FolderLock(int fd) : fd_(fd) {}
    int fd_;
};

// "pid 4242 on host lab-3, started 2026-12-09T15:00:00Z": this process, now.
std::string this_process(const std::string& started_utc);

// Now in UTC: "2026-12-09T15:00:00Z", or with `compact` "20261209T150000Z"
// (for file names).
std::string utc_now_iso(bool compact = false);

}  // namespace quorvan::core
