// Files and folders as the commands see them, done in C++ (POSIX calls and
// std::filesystem) while paths stay the Python str a user typed: a failure is
// the OSError Python's os module would raise (same type, errno, message and
// filename), so what a user reads does not depend on which side did the work.
#pragma once

#include <pybind11/pybind11.h>

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "../pyglue/export.hpp"

namespace app {
namespace py = pybind11;

// A path (str, bytes or os.PathLike) as the system takes it: its bytes, as
// os.fsencode gives them.
PYGLUE_API std::filesystem::path native(py::handle path);

// A path as Python shows it (os.fsdecode): bytes that are not UTF-8 become
// lone surrogates.
PYGLUE_API py::str shown(const std::filesystem::path& path);

// Whether a path's name is UTF-8 text, the only kind the results store, the
// class file and the reports can name.
PYGLUE_API bool utf8_name(py::handle path);

// A name that is not UTF-8 as a reader can see it: the odd bytes as \xNN.
PYGLUE_API py::str readable(py::handle path);

// os.path.join(folder, name), basename, dirname and splitext(...)[0], as str.
PYGLUE_API py::str join(py::handle folder, py::handle name);
PYGLUE_API py::str join(py::handle folder, std::string_view name);
PYGLUE_API py::str base_name(py::handle path);
PYGLUE_API py::str folder_of(py::handle path);
PYGLUE_API py::str without_extension(py::handle path);

// What is at a path, from stat(2), or lstat(2) when not following links.
enum class Kind { missing, file, folder, link, fifo, socket, device };
struct Entry {
    Kind kind = Kind::missing;
    int error = 0;  // errno when stat failed (kind is then missing)
    std::int64_t size = 0;
    dev_t device = 0;
    ino_t inode = 0;
};
PYGLUE_API Entry look(py::handle path, bool follow_links = true);

// os.path.exists, lexists, isfile and isdir: false on any failure.
PYGLUE_API bool exists(py::handle path);
PYGLUE_API bool lexists(py::handle path);
PYGLUE_API bool is_file(py::handle path);
PYGLUE_API bool is_folder(py::handle path);
PYGLUE_API bool is_link(py::handle path);

// Whether two paths are one file (os.path.samefile); an OSError for a path
// that cannot be looked at.
PYGLUE_API bool same_file(py::handle a, py::handle b);

// os.path.realpath(path), as str.
PYGLUE_API py::str real_path(py::handle path);

// The size of the file at path (os.path.getsize); an OSError when it cannot
// be looked at.
PYGLUE_API std::int64_t file_size(py::handle path);

// os.makedirs(path, exist_ok=True) and os.mkdir(path).
PYGLUE_API void make_folders(py::handle path);
PYGLUE_API void make_folder(py::handle path);

// The names in a folder (os.listdir), in no particular order.
PYGLUE_API std::vector<py::str> list_folder(py::handle path);

// os.unlink(path), and os.replace(from, to): a rename over whatever is at
// `to`, never through a link there.
PYGLUE_API void remove_file(py::handle path);
PYGLUE_API void replace(py::handle from, py::handle to);

// A new empty file beside `path`, named "." + its name + "." + random hex +
// `ending`: created with O_EXCL and O_NOFOLLOW, so never one another writer
// or a planted link holds. Its name is returned.
PYGLUE_API py::str new_file_beside(py::handle path, std::string_view ending);

// The whole of a file's bytes; an OSError when it cannot be read.
PYGLUE_API std::string read_bytes(py::handle path);

// A new file (or one emptied) holding `bytes`, as open(path, "wb") writes it.
PYGLUE_API void write_bytes(py::handle path, std::string_view bytes);

// A new private folder under the system's temporary folder, named
// prefix + random letters (tempfile.mkdtemp), and the removal of a folder
// and all it holds with failures ignored (shutil.rmtree(ignore_errors=True)).
PYGLUE_API py::str make_temporary_folder(std::string_view prefix);
PYGLUE_API void remove_tree(py::handle path) noexcept;

// The OSError Python raises for errno `error` about `path`.
[[noreturn]] PYGLUE_API void raise_os_error(int error, py::handle path);

}  // namespace app
