#include "isolated_read.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <system_error>

#include "ocr.hpp"
#include "pdf_document.hpp"

extern char** environ;

namespace quorvan::core {

// ------------------------------------------------------------------ frames

namespace {

void put64(std::string& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

std::uint64_t get64(const char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

constexpr std::size_t kHeader = 1 + 5 * 8;

bool known_tag(char t) {
    switch (static_cast<FrameTag>(t)) {
        case FrameTag::page:
        case FrameTag::open_error:
        case FrameTag::pdf_error:
        case FrameTag::ocr_error:
        case FrameTag::limit:
        case FrameTag::failure:
        case FrameTag::hidden:
        case FrameTag::quality:
        case FrameTag::done:
            return true;
    }
    return false;
}

}  // namespace

void append_frame(std::string& out, const Frame& f) {
    out.push_back(static_cast<char>(f.tag));
    for (std::int64_t v : {f.a, f.b, f.c, f.d}) put64(out, static_cast<std::uint64_t>(v));
    put64(out, f.data.size());
    out += f.data;
}

Frame hidden_frame(const HiddenText& h) {
    Frame f;
    f.tag = FrameTag::hidden;
    f.a = h.page;
    f.b = h.words;
    f.c = h.replaced ? 1 : 0;
    for (const auto& k : h.kinds) f.data += k + '\x1f';
    f.data += '\x1e';
    for (const auto& w : h.sample) f.data += w + '\x1f';
    return f;
}

Frame quality_frame(const PageQuality& q) {
    Frame f;
    f.tag = FrameTag::quality;
    f.a = static_cast<std::int64_t>(q.method);
    f.b = q.ocr.words;
    f.c = std::bit_cast<std::int64_t>(q.ocr.confidence);
    f.d = std::bit_cast<std::int64_t>(q.ocr.low_share);
    return f;
}

PageQuality quality_of(const Frame& f) {
    PageQuality q;
    q.method = f.a == static_cast<std::int64_t>(ReadMethod::ocr) ? ReadMethod::ocr : ReadMethod::text_layer;
    q.ocr.words = static_cast<int>(f.b);
    q.ocr.confidence = std::bit_cast<double>(f.c);
    q.ocr.low_share = std::bit_cast<double>(f.d);
    return q;
}

HiddenText hidden_of(const Frame& f) {
    HiddenText h;
    h.page = static_cast<int>(f.a);
    h.words = static_cast<int>(f.b);
    h.replaced = f.c != 0;
    std::vector<std::string>* into = &h.kinds;
    std::string item;
    for (char c : f.data) {
        if (c == '\x1e') {
            into = &h.sample;
        } else if (c == '\x1f') {
            into->push_back(std::move(item));
            item.clear();
        } else {
            item += c;
        }
    }
    return h;
}

std::optional<Frame> FrameReader::next(std::size_t max_data) {
    if (pending() < kHeader) return std::nullopt;
    const char* p = buffer_.data() + start_;
    if (!known_tag(p[0])) throw std::runtime_error("the reading process wrote an unknown frame");
    const std::uint64_t length = get64(p + 33);
    if (length > max_data) throw std::runtime_error("the reading process wrote a frame beyond every limit");
    if (pending() < kHeader + length) return std::nullopt;
    Frame f;
    f.tag = static_cast<FrameTag>(p[0]);
    f.a = static_cast<std::int64_t>(get64(p + 1));
    f.b = static_cast<std::int64_t>(get64(p + 9));
    f.c = static_cast<std::int64_t>(get64(p + 17));
    f.d = static_cast<std::int64_t>(get64(p + 25));
    f.data.assign(p + kHeader, length);
    start_ += kHeader + length;
    if (start_ > (1u << 20) && start_ * 2 > buffer_.size()) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    return f;
}

// ---------------------------------------------------------------- messages

std::string with_thousands(long long n) {
    std::string digits = std::to_string(n < 0 ? -n : n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return n < 0 ? "-" + out : out;
}

namespace {

std::string seconds_text(double s) {
    char buf[32];
    if (s == std::floor(s)) {
        std::snprintf(buf, sizeof buf, "%.0f", s);
    } else {
        std::snprintf(buf, sizeof buf, "%g", s);
    }
    return buf;
}

}  // namespace

std::string limit_message(ReadStop why, const std::string& shown, const ReadLimits& limits, long long found,
                          int signal, bool selected) {
    switch (why) {
        case ReadStop::time:
            return "reading " + shown + " stopped after " + seconds_text(limits.seconds) + " s (time limit)";
        case ReadStop::memory:
            return shown + " needs more than " + with_thousands(limits.memory_mb) +
                   " MB of memory to read (memory limit)";
        case ReadStop::pages:
            return (selected ? "reading " + with_thousands(found) + " pages of " + shown
                             : shown + " has " + with_thousands(found) + " pages") +
                   "; at most " + with_thousands(limits.max_pages) + " are read (page limit)";
        case ReadStop::chars:
            return shown + " holds more than " + with_thousands(limits.max_chars) +
                   " characters of text (character limit)";
        case ReadStop::crashed:
            return signal > 0 ? "the PDF library crashed while reading " + shown + " (signal " +
                                    std::to_string(signal) + ")"
                              : "the PDF library failed while reading " + shown + " (exit status " +
                                    std::to_string(-signal) + ")";
        case ReadStop::cancelled:
            return "reading " + shown + " was cancelled";
    }
    return "reading " + shown + " stopped";
}

// ----------------------------------------------------------------- reading

namespace {

using Clock = std::chrono::steady_clock;

std::string quoted(const std::string& s) { return "'" + s + "'"; }

// The reading process, killed and reaped on every way out unless reaped before.
struct Child {
    pid_t pid = -1;
    int status = 0;
    rusage usage{};
    bool reaped = false;

    void kill_now() {
        if (pid > 0 && !reaped) ::kill(pid, SIGKILL);
    }
    void reap() {
        while (!reaped) {
            const pid_t r = ::wait4(pid, &status, 0, &usage);
            if (r == pid || (r < 0 && errno != EINTR)) reaped = true;
        }
    }
    // Reaped within `until`? Polls, since the process may linger after closing its output.
    bool reap_by(Clock::time_point until) {
        while (!reaped) {
            const pid_t r = ::wait4(pid, &status, WNOHANG, &usage);
            if (r == pid || (r < 0 && errno != EINTR && errno != EAGAIN)) {
                reaped = true;
                break;
            }
            if (Clock::now() >= until) return false;
            ::usleep(2000);
        }
        return true;
    }
    ~Child() {
        if (pid > 0 && !reaped) {
            kill_now();
            reap();
        }
    }
};

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() {
        if (::pipe2(fd, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    void close_end(int i) {
        if (fd[i] >= 0) ::close(fd[i]);
        fd[i] = -1;
    }
    ~Pipe() {
        close_end(0);
        close_end(1);
    }
};

// Resident memory of a running process in MB, from /proc (0 when unknown).
long long resident_mb(pid_t pid) {
    std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
    long long size = 0, resident = 0;
    if (!(statm >> size >> resident)) return 0;
    return resident * ::sysconf(_SC_PAGESIZE) / (1024 * 1024);
}

std::string join_pages(const std::vector<long long>& pages) {
    std::string out;
    for (long long p : pages) out += (out.empty() ? "" : ",") + std::to_string(p);
    return out;
}

bool mentions_memory(const std::string& text) {
    for (const char* sign : {"Out of memory", "bad_alloc", "Cannot allocate memory", "out of memory"}) {
        if (text.find(sign) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

IsolatedReading read_isolated(const IsolatedReadRequest& req, const std::function<bool()>& cancelled) {
    const ReadLimits& lim = req.limits;
    const std::string shown = quoted(req.shown);
    // CPU time is a backstop for a parent that cannot watch (it is killed by
    // the wall clock first): every reading thread may use the whole time.
    const unsigned threads = req.threads != 0 ? req.threads : usable_cpus();
    const long long cpu_seconds = static_cast<long long>(std::ceil(lim.seconds)) * threads + 5;

    std::vector<std::string> args = {req.program,
                                     "--dpi", std::to_string(req.dpi),
                                     "--threads", std::to_string(req.threads),
                                     "--max-pages", std::to_string(lim.max_pages),
                                     "--max-chars", std::to_string(lim.max_chars),
                                     "--memory-mb", std::to_string(lim.memory_mb),
                                     "--cpu-seconds", std::to_string(cpu_seconds),
                                     "--parent", std::to_string(::getpid()),
                                     "--shown", req.shown};
    if (!req.pages.empty()) {
        args.push_back("--pages");
        args.push_back(join_pages(req.pages));
    }
    if (req.check_visibility) args.push_back("--check-visibility");
    args.push_back("--");
    args.push_back(req.path);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    Pipe out, err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXCPU, SIGXFSZ}) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    // A group of its own: Ctrl-C at the terminal reaches the marking process,
    // which ends the reading itself, rather than killing it under the caller.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    Child child;
    const int spawned = ::posix_spawn(&child.pid, req.program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) {
        child.pid = -1;
        throw std::runtime_error("cannot start the PDF reader " + req.program + ": " + std::strerror(spawned));
    }
    const auto started = Clock::now();
    const auto deadline = started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(lim.seconds));
    out.close_end(1);
    err.close_end(1);

    // Text is at most 4 bytes a character; pages and errors add little.
    const std::size_t max_output = static_cast<std::size_t>(lim.max_chars) * 4 + (1u << 20) +
                                   static_cast<std::size_t>(std::max<long long>(lim.max_pages, 0)) * 64;
    FrameReader frames;
    std::vector<Frame> got;
    std::size_t output = 0;
    std::string err_tail;
    bool done = false;
    std::optional<ReadStop> stop;  // set when this side ended the process

    char buf[1 << 16];
    while (out.fd[0] >= 0 || err.fd[0] >= 0) {
        const auto now = Clock::now();
        if (now >= deadline) {
            stop = ReadStop::time;
            break;
        }
        if (cancelled && cancelled()) {
            stop = ReadStop::cancelled;
            break;
        }
        // The address-space limit is the rule; resident memory is watched too,
        // for builds where that limit cannot be set (sanitizers).
        if (resident_mb(child.pid) > lim.memory_mb) {
            stop = ReadStop::memory;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        pollfd fds[2] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(std::min<long long>(50, left)));
        if (ready < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                (i == 0 ? out : err).close_end(0);
                continue;
            }
            if (i == 1) {
                err_tail.append(buf, static_cast<std::size_t>(n));
                if (err_tail.size() > 8192) err_tail.erase(0, err_tail.size() - 4096);
                continue;
            }
            output += static_cast<std::size_t>(n);
            if (output > max_output) {
                stop = ReadStop::chars;
                break;
            }
            frames.feed(buf, static_cast<std::size_t>(n));
            try {
                while (auto f = frames.next(max_output)) {
                    done = done || f->tag == FrameTag::done;
                    got.push_back(std::move(*f));
                }
            } catch (const std::runtime_error&) {
                stop = ReadStop::crashed;
                break;
            }
        }
        if (stop) break;
    }

    if (stop) {
        child.kill_now();
        child.reap();
    } else if (!child.reap_by(deadline)) {
        stop = ReadStop::time;
        child.kill_now();
        child.reap();
    }

    IsolatedReading result;
    result.peak_kb = child.usage.ru_maxrss;
    if (stop) {
        // What ended it is this side's doing, whatever the process said last.
        throw ReadStopped(*stop, limit_message(*stop, shown, lim), stop == ReadStop::crashed ? SIGKILL : 0);
    }
    const int status = child.status;
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        if (sig == SIGXCPU) throw ReadStopped(ReadStop::time, limit_message(ReadStop::time, shown, lim));
        // SIGKILL from elsewhere is the kernel's out-of-memory killer; an
        // abort after a failed allocation says so on stderr.
        if (sig == SIGKILL || mentions_memory(err_tail)) {
            throw ReadStopped(ReadStop::memory, limit_message(ReadStop::memory, shown, lim));
        }
        throw ReadStopped(ReadStop::crashed, limit_message(ReadStop::crashed, shown, lim, 0, sig), sig);
    }
    if (!done) {
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
        if (mentions_memory(err_tail)) throw ReadStopped(ReadStop::memory, limit_message(ReadStop::memory, shown, lim));
        throw ReadStopped(ReadStop::crashed, limit_message(ReadStop::crashed, shown, lim, 0, -code));
    }

    std::optional<PageQuality> next_quality;  // for the next page frame
    for (const Frame& f : got) {
        switch (f.tag) {
            case FrameTag::page: {
                PageRead r;
                r.done = true;
                r.text = f.data;
                result.pages.push_back(static_cast<int>(f.a));
                result.reads.push_back(std::move(r));
                result.quality.push_back(next_quality.value_or(PageQuality{}));
                next_quality.reset();
                break;
            }
            case FrameTag::quality:
                next_quality = quality_of(f);
                break;
            case FrameTag::open_error:
                throw PdfError(static_cast<PdfFault>(f.a), f.data, static_cast<int>(f.b), f.c, static_cast<int>(f.d));
            case FrameTag::failure:
                if (f.c == 0) throw std::runtime_error("the PDF reader failed on " + shown + ": " + f.data);
                [[fallthrough]];
            case FrameTag::pdf_error:
            case FrameTag::ocr_error: {
                PageRead r;
                r.done = true;
                if (f.tag == FrameTag::pdf_error) {
                    r.error = std::make_exception_ptr(
                        PdfError(static_cast<PdfFault>(f.a), f.data, static_cast<int>(f.b), f.c, static_cast<int>(f.d)));
                } else if (f.tag == FrameTag::ocr_error) {
                    r.error = std::make_exception_ptr(OcrError(f.data));
                } else {
                    r.error = std::make_exception_ptr(std::runtime_error(f.data));
                }
                result.pages.push_back(static_cast<int>(f.c));
                result.reads.push_back(std::move(r));
                result.quality.emplace_back();
                break;
            }
            case FrameTag::limit: {
                const auto why = static_cast<ReadStop>(f.a);
                throw ReadStopped(why, limit_message(why, shown, lim, f.b, 0, !req.pages.empty()));
            }
            case FrameTag::hidden:
                result.hidden.push_back(hidden_of(f));
                break;
            case FrameTag::done:
                break;
        }
    }
    return result;
}

}  // namespace quorvan::core
