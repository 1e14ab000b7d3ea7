// The process-wide table of the database files being repaired, and how a run waits its turn.
#include "file_claims.hpp"

#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <list>
#include <new>
#include <string>

namespace patch_eus {

namespace {

// What names a file: its absolute path with the links resolved as far as
// the file system has them, and its device and inode once it exists.
struct Key {
    std::string path;
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;

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
pthread_cond_t released = PTHREAD_COND_INITIALIZER;
std::list<Entry>* table = nullptr;  // made once, never freed: it must outlive every run
uint64_t last_ticket = 0;

// How long a waiting run sleeps before it looks at the signals that arrived
// meanwhile (Ctrl-C reaches a waiting main thread within this).
constexpr long kSignalCheckNanoseconds = 100 * 1000 * 1000;

// "a/./b//c/../d" -> "a/b/d" on an absolute path, for a file whose folder
// does not exist (nothing to resolve links in).
std::string lexically_normal(const std::string& path) {
    std::list<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(at, end - at);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        at = end + 1;
    }
    std::string normal;
    for (const std::string& part : parts) normal += "/" + part;
    return normal.empty() ? "/" : normal;
}

std::string resolved(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return std::string();
    std::string out(real);
    std::free(real);
    return out;
}

// The key of the file DuckDB opens for `text`: it expands a leading "~"
// to the home folder and takes other relative paths from the current
// folder.  The names of in-memory databases are keys of their own.
// Runs without the interpreter's lock; may throw std::bad_alloc.
Key key_of(const std::string& text, const std::string& home) {
    Key key;
    if (text.empty() || text.compare(0, 8, ":memory:") == 0) {
        key.path = std::string(1, '\0') + text;
        return key;
    }
    std::string path = text;
    if (path[0] == '~' && (path.size() == 1 || path[1] == '/') && !home.empty())
        path = home + path.substr(1);
    if (path[0] != '/') {
        char* here = getcwd(nullptr, 0);
        if (!here) {
            // No current folder to start from: the text is all there is.
            key.path = std::string(1, '\0') + text;
            return key;
        }
        path = std::string(here) + "/" + path;
        std::free(here);
    }
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        key.exists = true;
        key.device = info.st_dev;
        key.inode = info.st_ino;
    }
    std::string real = resolved(path);
    if (real.empty()) {
        // Not there yet: its folder resolved, and its own name.
        const size_t slash = path.find_last_of('/');
        const std::string folder = resolved(slash == 0 ? std::string("/") : path.substr(0, slash));
        real = folder.empty() ? lexically_normal(path)
                              : lexically_normal(folder + "/" + path.substr(slash + 1));
    }
    key.path = std::move(real);
    return key;
}

// After fork the child has only the thread that forked: what other threads
// held is not held there, and nobody waits.
void before_fork() { pthread_mutex_lock(&table_mutex); }
void after_fork_in_parent() { pthread_mutex_unlock(&table_mutex); }
void after_fork_in_child() {
    pthread_mutex_init(&table_mutex, nullptr);
    pthread_cond_init(&released, nullptr);
    if (!table) return;
    const pthread_t self = pthread_self();
    for (auto it = table->begin(); it != table->end();) {
        if (pthread_equal(it->owner, self))
            ++it;
        else
            it = table->erase(it);
    }
}

// Made on first use, with the interpreter's lock held.
int prepare_table() {
    if (table) return 0;
    const int error = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    if (error != 0) {
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    table = new (std::nothrow) std::list<Entry>();
    if (!table) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

enum class Turn { taken, nested, waiting, no_memory };

// One look at the table, and a short wait when another thread holds the
// file.  Runs without the interpreter's lock.
Turn take_or_wait(const Key& key, uint64_t& ticket) noexcept {
    pthread_mutex_lock(&table_mutex);
    Turn turn = Turn::taken;
    for (const Entry& entry : *table) {
        if (!entry.key.same_file(key)) continue;
        turn = pthread_equal(entry.owner, pthread_self()) ? Turn::nested : Turn::waiting;
        break;
    }
    if (turn == Turn::waiting) {
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += kSignalCheckNanoseconds;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_nsec -= 1000000000L;
            ++until.tv_sec;
        }
        pthread_cond_timedwait(&released, &table_mutex, &until);
    } else if (turn == Turn::taken) {
        try {
            table->push_back(Entry{key, pthread_self(), ++last_ticket});
            ticket = last_ticket;
        } catch (const std::bad_alloc&) {
            turn = Turn::no_memory;
        }
    }
    pthread_mutex_unlock(&table_mutex);
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
    const char* home = std::getenv("HOME");  // read under the interpreter's lock, as os.environ writes it
    bool no_memory = false;
    Turn turn = Turn::waiting;
    uint64_t ticket = 0;
    try {
        const std::string text(PyBytes_AS_STRING(encoded.get()),
                               static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
        const std::string home_folder = home ? home : "";
        Key key;
        bool keyed = false;
        while (turn == Turn::waiting) {
            Py_BEGIN_ALLOW_THREADS
            try {
                if (!keyed) {
                    key = key_of(text, home_folder);
                    keyed = true;
                }
                turn = take_or_wait(key, ticket);
            } catch (const std::bad_alloc&) {
                turn = Turn::no_memory;
            }
            Py_END_ALLOW_THREADS
            if (turn == Turn::waiting && PyErr_CheckSignals() < 0) return -1;
        }
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    if (no_memory || turn == Turn::no_memory) {
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
    pthread_cond_broadcast(&released);
    pthread_mutex_unlock(&table_mutex);
}

}  // namespace patch_eus
