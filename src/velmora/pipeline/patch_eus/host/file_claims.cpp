// The process-wide table of the database files being repaired, and how a run waits its turn.
#include "file_claims.hpp"

#include "constants.hpp"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>
#include <new>
#include <vector>

// Paths are byte vectors, and a file's identity comes from the interpreter's
// os.stat: the C library's own stat and the C++ library's strings would
// need a newer C and C++ runtime than the module otherwise does.
namespace patch_eus {

namespace {

using Bytes = std::vector<char>;

Bytes bytes_of(const char* text, size_t size) { return Bytes(text, text + size); }

Bytes joined(const Bytes& a, const char* b, size_t size) {
    Bytes out;
    out.reserve(a.size() + size);
    out.insert(out.end(), a.begin(), a.end());
    out.insert(out.end(), b, b + size);
    return out;
}

Text stat_name{"stat"};
Text device_name{"st_dev"};
Text inode_name{"st_ino"};

// What names a file: its absolute path with the links resolved as far as
// the file system has them, and its device and inode once it exists.
struct Key {
    Bytes path;
    bool exists = false;
    unsigned long long device = 0;
    unsigned long long inode = 0;

    bool same_file(const Key& other) const {
        return path == other.path ||
               (exists && other.exists && device == other.device && inode == other.inode);
    }
};

struct Entry {
    Key key;
    pthread_t owner;
    uint64_t ticket;
};

// Guarded by `table_mutex`; the mutex is held only for short steps that
// never wait for the interpreter's lock, so a thread holding that lock may
// always take it.
pthread_mutex_t table_mutex = PTHREAD_MUTEX_INITIALIZER;
std::list<Entry>* table = nullptr;  // made once, never freed: it must outlive every run
uint64_t last_ticket = 0;

// A waiting run looks at the table every kLookMilliseconds, and at the
// signals that arrived meanwhile every kSignalCheckMilliseconds (Ctrl-C
// reaches a waiting main thread within this).  The wait is a plain sleep,
// poll(2)'s: the calls that wait until a clock time take a time_t, and on
// 32-bit ARM systems built with a 64-bit time_t those calls exist only
// from glibc 2.34 on, which the wheels must not need.
constexpr int kLookMilliseconds = 2;
constexpr int kSignalCheckMilliseconds = 100;

// The path of the file DuckDB opens for the text `text`, as DuckDB reads
// it: a leading "~" is the home folder, other relative paths start from
// the current folder.  The names of in-memory databases, and a relative
// path without a current folder, stay texts (`named` false).  May throw
// std::bad_alloc.
Bytes spelt_path(const char* text, size_t size, const char* home, bool& named) {
    named = false;
    if (size == 0 || std::strncmp(text, ":memory:", 8) == 0) return bytes_of(text, size);
    named = true;
    if (text[0] == '~' && (size == 1 || text[1] == '/') && home && *home)
        return joined(bytes_of(home, std::strlen(home)), text + 1, size - 1);
    if (text[0] == '/') return bytes_of(text, size);
    char* here = getcwd(nullptr, 0);
    if (!here) {
        named = false;
        return bytes_of(text, size);
    }
    Bytes folder = bytes_of(here, std::strlen(here));
    std::free(here);
    return joined(joined(folder, "/", 1), text, size);
}

// The path with every link resolved, or empty when a part of it is not
// there.  `path` ends in a NUL.  May throw std::bad_alloc.
Bytes resolved(const Bytes& path) {
    char* real = realpath(path.data(), nullptr);
    if (!real) return Bytes();
    Bytes out = bytes_of(real, std::strlen(real));
    std::free(real);
    return out;
}

// The resolved path of the absolute `spelt` (NUL-terminated), or for a
// file not there yet its folder's resolved path and its own name.  Runs
// without the interpreter's lock (the file system may take its time); may
// throw std::bad_alloc.
Bytes resolved_path(const Bytes& spelt) {
    Bytes real = resolved(spelt);
    if (!real.empty()) return real;
    const size_t size = spelt.size() - 1;  // without the NUL
    size_t slash = size;
    while (slash > 0 && spelt[slash - 1] != '/') --slash;
    --slash;  // the last '/'; the path is absolute
    Bytes folder;
    if (slash > 0) {
        Bytes parent = bytes_of(spelt.data(), slash);
        parent.push_back('\0');
        folder = resolved(parent);
        if (folder.empty()) return bytes_of(spelt.data(), size);
    }
    return joined(folder, spelt.data() + slash, size - slash);
}

// The device and inode of the file, through os.stat (which lets go of the
// interpreter's lock while it asks the file system): 1, 0 when it is not
// there (or cannot be seen), -1 on error.
int identity_of(const Bytes& spelt, Key& key) {
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    if (!os) return -1;
    Ref stat = Ref::steal(PyObject_GetAttr(os.get(), stat_name));
    if (!stat) return -1;
    Ref path = Ref::steal(PyBytes_FromStringAndSize(spelt.data(),
                                                    static_cast<Py_ssize_t>(spelt.size() - 1)));
    if (!path) return -1;
    Ref found = Ref::steal(PyObject_CallOneArg(stat.get(), path.get()));
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) return -1;
        PyErr_Clear();
        return 0;
    }
    Ref device = Ref::steal(PyObject_GetAttr(found.get(), device_name));
    if (!device) return -1;
    Ref inode = Ref::steal(PyObject_GetAttr(found.get(), inode_name));
    if (!inode) return -1;
    key.device = PyLong_AsUnsignedLongLong(device.get());
    if (key.device == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
    key.inode = PyLong_AsUnsignedLongLong(inode.get());
    if (key.inode == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
    key.exists = true;
    return 1;
}

// After fork the child has only the thread that forked: what other threads
// held is not held there, and nobody waits.
void before_fork() { pthread_mutex_lock(&table_mutex); }
void after_fork_in_parent() { pthread_mutex_unlock(&table_mutex); }
void after_fork_in_child() {
    pthread_mutex_init(&table_mutex, nullptr);
    const pthread_t self = pthread_self();
    for (auto it = table->begin(); it != table->end();) {
        if (pthread_equal(it->owner, self))
            ++it;
        else
            it = table->erase(it);
    }
}

// Made on first use, with the interpreter's lock held; the fork handlers
// are registered once the table is there.
int prepare_table() {
    if (table) return 0;
    std::list<Entry>* made = new (std::nothrow) std::list<Entry>();
    if (!made) {
        PyErr_NoMemory();
        return -1;
    }
    const int error = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    if (error != 0) {
        delete made;
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    table = made;
    return 0;
}

enum class Turn { taken, nested, waiting, no_memory };

// One look at the table: takes the file unless a run holds it.  Runs
// without the interpreter's lock.
Turn look(const Key& key, uint64_t& ticket) noexcept {
    pthread_mutex_lock(&table_mutex);
    Turn turn = Turn::taken;
    for (const Entry& entry : *table) {
        if (!entry.key.same_file(key)) continue;
        turn = pthread_equal(entry.owner, pthread_self()) ? Turn::nested : Turn::waiting;
        break;
    }
    if (turn == Turn::taken) {
        try {
            table->push_back(Entry{key, pthread_self(), ++last_ticket});
            ticket = last_ticket;
        } catch (...) {  // std::bad_alloc
            turn = Turn::no_memory;
        }
    }
    pthread_mutex_unlock(&table_mutex);
    return turn;
}

// Looks until the file is free, or for kSignalCheckMilliseconds at most.
Turn look_for_a_while(const Key& key, uint64_t& ticket) noexcept {
    Turn turn = look(key, ticket);
    for (int slept = 0; turn == Turn::waiting && slept < kSignalCheckMilliseconds;
         slept += kLookMilliseconds) {
        poll(nullptr, 0, kLookMilliseconds);
        turn = look(key, ticket);
    }
    return turn;
}

}  // namespace

int FileClaim::take(PyObject* path) {
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path));
    if (!encoded) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
        // No file-system path is spelt so: DuckDB refuses the text before
        // it opens anything, so there is no file to hold.
        PyErr_Clear();
        return 0;
    }
    if (prepare_table() < 0) return -1;
    Key key;
    Bytes spelt;
    bool named = false;
    try {
        // HOME as os.environ writes it, under the interpreter's lock.
        spelt = spelt_path(PyBytes_AS_STRING(encoded.get()),
                           static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())),
                           std::getenv("HOME"), named);
        if (!named) {
            key.path = spelt;
            key.path.insert(key.path.begin(), '\0');  // a text, never a path
        }
        spelt.push_back('\0');
    } catch (...) {  // std::bad_alloc
        PyErr_NoMemory();
        return -1;
    }
    if (named && identity_of(spelt, key) < 0) return -1;
    Turn turn = Turn::waiting;
    uint64_t ticket = 0;
    while (turn == Turn::waiting) {
        Py_BEGIN_ALLOW_THREADS
        try {
            if (named) {
                key.path = resolved_path(spelt);
                named = false;
            }
            turn = look_for_a_while(key, ticket);
        } catch (...) {  // std::bad_alloc
            turn = Turn::no_memory;
        }
        Py_END_ALLOW_THREADS
        if (turn == Turn::waiting && PyErr_CheckSignals() < 0) return -1;
    }
    if (turn == Turn::no_memory) {
        PyErr_NoMemory();
        return -1;
    }
    if (turn == Turn::nested) {
        PyErr_Format(PyExc_RuntimeError,
                     "patch_eus_gaps: a repair of %R is already running on this thread", path);
        return -1;
    }
    ticket_ = ticket;
    return 0;
}

FileClaim::~FileClaim() {
    if (!ticket_) return;
    pthread_mutex_lock(&table_mutex);
    for (auto it = table->begin(); it != table->end(); ++it) {
        if (it->ticket == ticket_) {
            table->erase(it);
            break;
        }
    }
    pthread_mutex_unlock(&table_mutex);
}

}  // namespace patch_eus
