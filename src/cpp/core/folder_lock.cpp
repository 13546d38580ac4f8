#include "folder_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace quorvan::core {

namespace {

std::string read_all(int fd) {
    std::string text;
    char buf[512];
    if (lseek(fd, 0, SEEK_SET) < 0) return text;
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0 && text.size() < 4096;) text.append(buf, static_cast<std::size_t>(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

std::unique_ptr<FolderLock> FolderLock::take(const std::string& path, const std::string& holder, std::string& held_by) {
    // O_NOFOLLOW: a link planted at the lock's name is not written through.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        held_by = read_all(fd);
        close(fd);
        if (err != EWOULDBLOCK) throw std::runtime_error("cannot lock " + path + ": " + std::strerror(err));
        if (held_by.empty()) held_by = "a process that has not said who it is yet";
        return nullptr;
    }
    // Held: whatever a run before this one wrote is stale.
    const std::string text = holder + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        const int err = errno;
        close(fd);
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(err));
    }
    return std::unique_ptr<FolderLock>(new FolderLock(fd));
}

FolderLock::~FolderLock() { close(fd_); }

std::string this_process(const std::string& started_utc) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "?");
    return "pid " + std::to_string(getpid()) + " on host " + host + ", started " + started_utc;
}

std::string utc_now_iso(bool compact) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char buf[32];
    std::strftime(buf, sizeof buf, compact ? "%Y%m%dT%H%M%SZ" : "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buf;
}

}  // namespace quorvan::core
