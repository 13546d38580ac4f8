#include "paths.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <system_error>
#include <utility>

namespace app {

namespace {

std::string bytes_of(py::handle path) {
    PyObject* out = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &out)) throw py::error_already_set();
    py::object owned = py::reinterpret_steal<py::object>(out);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(owned.ptr(), &data, &size) < 0) throw py::error_already_set();
    return std::string(data, static_cast<std::size_t>(size));
}

py::str text_of(std::string_view bytes) {
    PyObject* out = PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    if (!out) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(out);
}

// The bytes of a path, or nothing for one no system call could take (an
// embedded NUL): os.path's predicates answer false for those.
bool try_bytes(py::handle path, std::string& out) {
    try {
        out = bytes_of(path);
        return true;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return false;
    }
}

// A name that no system call takes, its odd characters escaped.
py::str escaped_name(py::handle path) {
    PyObject* raw = PyOS_FSPath(path.ptr());
    if (!raw) throw py::error_already_set();
    const py::object name = py::reinterpret_steal<py::object>(raw);
    PyObject* encoded = PyUnicode_Check(raw) ? PyUnicode_AsEncodedString(raw, "utf-8", "backslashreplace")
                                             : (Py_INCREF(raw), raw);
    if (!encoded) throw py::error_already_set();
    const py::object bytes = py::reinterpret_steal<py::object>(encoded);
    PyObject* out = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(encoded), PyBytes_GET_SIZE(encoded), "backslashreplace");
    if (!out) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(out);
}

bool well_formed_utf8(std::string_view s) {
    PyObject* decoded = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
    if (decoded) {
        Py_DECREF(decoded);
        return true;
    }
    PyErr_Clear();
    return false;
}

// posixpath.split, on bytes.
std::pair<std::string, std::string> split(const std::string& p) {
    const std::size_t i = p.rfind('/') + 1;  // npos + 1 == 0
    std::string head = p.substr(0, i), tail = p.substr(i);
    if (!head.empty() && head.find_first_not_of('/') != std::string::npos) {
        head.erase(head.find_last_not_of('/') + 1);
    }
    return {head, tail};
}

Entry look_at(const std::string& p, bool follow) {
    struct stat st {};
    Entry e;
    if ((follow ? ::stat(p.c_str(), &st) : ::lstat(p.c_str(), &st)) != 0) {
        e.error = errno;
        return e;
    }
    e.size = static_cast<std::int64_t>(st.st_size);
    e.device = st.st_dev;
    e.inode = st.st_ino;
    if (S_ISREG(st.st_mode)) e.kind = Kind::file;
    else if (S_ISDIR(st.st_mode)) e.kind = Kind::folder;
    else if (S_ISLNK(st.st_mode)) e.kind = Kind::link;
    else if (S_ISFIFO(st.st_mode)) e.kind = Kind::fifo;
    else if (S_ISSOCK(st.st_mode)) e.kind = Kind::socket;
    else e.kind = Kind::device;
    return e;
}

Entry must_look(py::handle path) {
    Entry e = look_at(bytes_of(path), true);
    if (e.error) raise_os_error(e.error, path);
    return e;
}

// os.makedirs(name, exist_ok=True), whose errors name the level that failed.
void make_folders_at(const std::string& name) {
    std::pair<std::string, std::string> parts = split(name);
    if (parts.second.empty()) parts = split(parts.first);
    const std::string& head = parts.first;
    const std::string& tail = parts.second;
    if (!head.empty() && !tail.empty() && look_at(head, true).error) {
        try {
            make_folders_at(head);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_FileExistsError)) throw;
        }
        if (tail == ".") return;
    }
    if (::mkdir(name.c_str(), 0777) == 0) return;
    const int error = errno;
    if (look_at(name, true).kind != Kind::folder) raise_os_error(error, text_of(name));
}

}  // namespace

std::filesystem::path native(py::handle path) { return std::filesystem::path(bytes_of(path)); }

py::str shown(const std::filesystem::path& path) { return text_of(path.native()); }

bool utf8_name(py::handle path) {
    PyObject* raw = PyOS_FSPath(path.ptr());
    if (!raw) throw py::error_already_set();
    const py::object name = py::reinterpret_steal<py::object>(raw);
    if (PyBytes_Check(raw)) return well_formed_utf8(std::string_view(PyBytes_AS_STRING(raw), PyBytes_GET_SIZE(raw)));
    if (PyUnicode_AsUTF8AndSize(raw, nullptr)) return true;
    PyErr_Clear();  // a lone surrogate: bytes that were not UTF-8
    return false;
}

py::str readable(py::handle path) {
    std::string b;
    if (!try_bytes(path, b)) return escaped_name(path);
    PyObject* out = PyUnicode_DecodeUTF8(b.data(), static_cast<Py_ssize_t>(b.size()), "backslashreplace");
    if (!out) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(out);
}

py::str join(py::handle folder, py::handle name) {
    std::string a = bytes_of(folder);
    const std::string b = bytes_of(name);
    if (!b.empty() && b.front() == '/') return text_of(b);
    if (!a.empty() && a.back() != '/') a += '/';
    return text_of(a + b);
}

py::str join(py::handle folder, std::string_view name) { return join(folder, py::str(name.data(), name.size())); }

py::str base_name(py::handle path) {
    const std::string p = bytes_of(path);
    return text_of(p.substr(p.rfind('/') + 1));
}

py::str folder_of(py::handle path) {
    const std::string p = bytes_of(path);
    std::string head = p.substr(0, p.rfind('/') + 1);
    if (!head.empty() && head.find_first_not_of('/') != std::string::npos) head.erase(head.find_last_not_of('/') + 1);
    return text_of(head);
}

py::str without_extension(py::handle path) {
    const std::string p = bytes_of(path);
    const std::size_t slash = p.rfind('/'), dot = p.rfind('.');
    const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
    // A leading dot starts a name (".profile"), not an extension.
    if (dot != std::string::npos && dot >= name && p.find_first_not_of('.', name) < dot) return text_of(p.substr(0, dot));
    return text_of(p);
}

Entry look(py::handle path, bool follow_links) { return look_at(bytes_of(path), follow_links); }

bool exists(py::handle path) {
    std::string b;
    return try_bytes(path, b) && !look_at(b, true).error;
}

bool lexists(py::handle path) {
    std::string b;
    return try_bytes(path, b) && !look_at(b, false).error;
}

bool is_file(py::handle path) {
    std::string b;
    return try_bytes(path, b) && look_at(b, true).kind == Kind::file;
}

bool is_folder(py::handle path) {
    std::string b;
    return try_bytes(path, b) && look_at(b, true).kind == Kind::folder;
}

bool is_link(py::handle path) {
    std::string b;
    return try_bytes(path, b) && look_at(b, false).kind == Kind::link;
}

bool same_file(py::handle a, py::handle b) {
    const Entry x = must_look(a), y = must_look(b);
    return x.device == y.device && x.inode == y.inode;
}

py::str real_path(py::handle path) {
    const std::string p = bytes_of(path);
    if (char* resolved = ::realpath(p.c_str(), nullptr)) {
        const std::string out(resolved);
        std::free(resolved);
        return text_of(out);
    }
    // A path not all there is resolved as far as it goes, as os.path does.
    return py::module_::import("os").attr("path").attr("realpath")(path);
}

std::int64_t file_size(py::handle path) { return must_look(path).size; }

void make_folders(py::handle path) { make_folders_at(bytes_of(path)); }

void make_folder(py::handle path) {
    if (::mkdir(bytes_of(path).c_str(), 0777) != 0) raise_os_error(errno, path);
}

std::vector<py::str> list_folder(py::handle path) {
    DIR* dir = ::opendir(bytes_of(path).c_str());
    if (!dir) raise_os_error(errno, path);
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (name != "." && name != "..") names.emplace_back(name);
    }
    const int error = errno;
    ::closedir(dir);
    if (error) raise_os_error(error, path);
    std::vector<py::str> out;
    out.reserve(names.size());
    for (const auto& n : names) out.push_back(text_of(n));
    return out;
}

void remove_file(py::handle path) {
    if (::unlink(bytes_of(path).c_str()) != 0) raise_os_error(errno, path);
}

void replace(py::handle from, py::handle to) {
    if (::rename(bytes_of(from).c_str(), bytes_of(to).c_str()) == 0) return;
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, from.ptr(), to.ptr());
    throw py::error_already_set();
}

py::str new_file_beside(py::handle path, std::string_view ending) {
    const std::string p = bytes_of(path);
    const std::size_t cut = p.rfind('/') + 1;
    static thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0;; ++attempt) {
        char hex[13];
        std::snprintf(hex, sizeof hex, "%012llx", static_cast<unsigned long long>(random() & 0xffffffffffffULL));
        const std::string name = p.substr(0, cut) + "." + p.substr(cut) + "." + hex + std::string(ending);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return text_of(name);
        }
        if (errno != EEXIST || attempt >= 100) raise_os_error(errno, text_of(name));
    }
}

std::string read_bytes(py::handle path) {
    const int fd = ::open(bytes_of(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) raise_os_error(errno, path);
    std::string out;
    struct stat st {};
    int error = ::fstat(fd, &st) != 0 ? errno : (S_ISDIR(st.st_mode) ? EISDIR : 0);
    if (!error) {
        char buffer[1 << 16];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                out.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0) {
                break;
            } else if (errno != EINTR) {
                error = errno;
                break;
            }
        }
    }
    ::close(fd);
    if (error) raise_os_error(error, path);
    return out;
}

void write_bytes(py::handle path, std::string_view bytes) {
    const int fd = ::open(bytes_of(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) raise_os_error(errno, path);
    int error = 0;
    for (std::size_t done = 0; done < bytes.size() && !error;) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n >= 0) {
            done += static_cast<std::size_t>(n);
        } else if (errno != EINTR) {
            error = errno;
        }
    }
    if (::close(fd) != 0 && !error) error = errno;
    if (error) raise_os_error(error, path);
}

py::str make_temporary_folder(std::string_view prefix) {
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) base = "/tmp";
    std::string name = (base / std::string(prefix)).native() + "XXXXXX";
    if (!::mkdtemp(name.data())) raise_os_error(errno, text_of(name));
    return text_of(name);
}

void remove_tree(py::handle path) noexcept {
    try {
        std::error_code ec;
        std::filesystem::remove_all(native(path), ec);
    } catch (py::error_already_set&) {
        // A name no system call takes names nothing to remove.
    }
}

void raise_os_error(int error, py::handle path) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw py::error_already_set();
}

}  // namespace app
