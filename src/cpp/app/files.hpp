// Files the application writes: all or nothing, never half a file.
#pragma once

#include <pybind11/pybind11.h>

namespace app {
namespace py = pybind11;

// Write text to path (str, bytes or os.PathLike) as open(path, "w",
// encoding="utf-8") would, but all or nothing: the text goes to a new file in
// the same folder, which replaces path only once complete and flushed to disk.
// On any failure path is left as it was and the new file is removed. A new
// file gets the mode open() would give it; an existing one keeps its mode.
// With follow_symlinks false a symlink at `path` is replaced by the file, its
// target left alone.
__attribute__((visibility("default"))) void write_text_atomic(py::handle path, py::handle text,
                                                              bool follow_symlinks = true);

}  // namespace app
