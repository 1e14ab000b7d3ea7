// The database's folder synced once a run has closed its connection (FolderSync).
#include "folder_sync.hpp"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace patch_eus {

int FolderSync::prepare(PyObject* path) {
    spelt_ = Ref::steal(PyUnicode_EncodeFSDefault(path));
    if (spelt_) return 0;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
    PyErr_Clear();
    return 0;
}

void FolderSync::sync() const noexcept {
    if (!spelt_) return;
    const char* text = PyBytes_AS_STRING(spelt_.get());
    size_t size = static_cast<size_t>(PyBytes_GET_SIZE(spelt_.get()));
    if (size == 0 || std::strncmp(text, ":memory:", 8) == 0) return;
    // The path as DuckDB reads it, into `folder`; HOME as os.environ writes
    // it, read under the interpreter's lock.
    char folder[PATH_MAX];
    size_t length = 0;
    const char* home = std::getenv("HOME");
    if (text[0] == '~' && (size == 1 || text[1] == '/') && home && *home) {
        length = std::strlen(home);
        if (length >= sizeof folder) return;
        std::memcpy(folder, home, length);
        ++text;
        --size;
    }
    if (length + size >= sizeof folder) return;
    std::memcpy(folder + length, text, size);
    length += size;
    // Everything before the last '/' (without the slashes before it), "/"
    // for a file at the root, "." for a bare name.
    size_t end = length;
    while (end > 0 && folder[end - 1] != '/') --end;
    if (end == 0) {
        folder[0] = '.';
        end = 1;
    } else {
        while (end > 1 && folder[end - 1] == '/') --end;
    }
    folder[end] = '\0';
    Py_BEGIN_ALLOW_THREADS
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)fsync(fd);
        (void)close(fd);
    }
    Py_END_ALLOW_THREADS
}

}  // namespace patch_eus
