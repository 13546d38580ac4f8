#include "files.hpp"

#include "../pyglue/errors.hpp"
#include "../pyglue/text.hpp"

namespace app {

using pyglue::cat;

namespace {

// A failure about the temporary file is reported against the caller's path,
// as open(path, "w") would report it.
void blame_path(const py::object& error, const py::object& tmp, const py::object& path) {
    if (!PyObject_IsInstance(error.ptr(), PyExc_OSError)) return;
    py::object filename = py::getattr(error, "filename", py::none());
    if (filename.is_none() || !filename.equal(tmp)) return;
    error.attr("filename") = path;
    // Deleted rather than set to None, which str() would show as "-> None".
    if (PyObject_DelAttrString(error.ptr(), "filename2") < 0) throw py::error_already_set();
}

// Removing the temporary file must not hide the error that made it useless.
void discard_file(const py::object& os, const py::object& tmp) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    try {
        os.attr("unlink")(tmp);
    } catch (py::error_already_set&) {
    }
    PyErr_Restore(t, v, tb);
}

}  // namespace

void write_text_atomic(py::handle path_h, py::handle text, bool follow_symlinks) {
    py::object os = py::module_::import("os");
    py::object ospath = os.attr("path");
    py::object path = os.attr("fspath")(path_h);
    // Through a symlink, as open() writes: the link stays, its target is
    // replaced; unless told not to follow, when the rename replaces the link.
    py::object target = os.attr("fsdecode")(
        follow_symlinks ? ospath.attr("realpath")(path) : ospath.attr("abspath")(path));
    py::object folder = ospath.attr("dirname")(target);
    py::str prefix = cat(".", py::object(ospath.attr("basename")(target)), ".");

    // Mode 0o666 less the umask, as open() creates files; O_EXCL so a name
    // another writer holds is never shared.
    // (O_EXCL alone already refuses a symlink planted at the name; O_NOFOLLOW says so.)
    py::object flags = os.attr("O_WRONLY") | os.attr("O_CREAT") | os.attr("O_EXCL") | os.attr("O_CLOEXEC") |
                       py::getattr(os, "O_NOFOLLOW", py::int_(0));
    py::object tmp, fd;
    for (int attempt = 0; !fd; ++attempt) {
        tmp = ospath.attr("join")(folder, cat(prefix, py::object(os.attr("urandom")(6).attr("hex")()), ".tmp"));
        try {
            fd = os.attr("open")(tmp, flags, 0666);
        } catch (py::error_already_set& e) {
            if (e.matches(PyExc_FileExistsError) && attempt < 100) continue;
            blame_path(e.value(), tmp, path);
            throw;
        }
    }

    try {
        try {
            py::object st = os.attr("stat")(target, py::arg("follow_symlinks") = follow_symlinks);
            os.attr("fchmod")(fd, py::module_::import("stat").attr("S_IMODE")(st.attr("st_mode")));
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_FileNotFoundError)) throw;
        }
        py::object file;
        try {
            file = os.attr("fdopen")(fd, "w", py::arg("encoding") = "utf-8");
        } catch (...) {
            os.attr("close")(fd);
            throw;
        }
        file.attr("__enter__")();
        try {
            file.attr("write")(text);
            file.attr("flush")();
            os.attr("fsync")(file.attr("fileno")());
        } catch (...) {
            py::object error = pyglue::current_exception();
            file.attr("__exit__")(py::type::handle_of(error), error, py::getattr(error, "__traceback__", py::none()));
            throw;
        }
        file.attr("__exit__")(py::none(), py::none(), py::none());
        os.attr("replace")(tmp, target);
    } catch (py::error_already_set& e) {
        blame_path(e.value(), tmp, path);
        discard_file(os, tmp);
        throw;
    } catch (...) {
        discard_file(os, tmp);
        throw;
    }
}

}  // namespace app
