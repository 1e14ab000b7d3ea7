/* The power-cut recorder: an LD_PRELOAD library that logs every file
 * operation of a process on the files of one folder, for the crash-state
 * simulator beside it (powercut.py).  Test-only; built by the tests with the
 * machine's C compiler:
 *
 *     gcc -shared -fPIC -O2 -o recorder.so recorder.c -ldl -lpthread
 *
 * Environment: POWERCUT_DIR, the folder watched (its files, and the folder
 * itself for its syncs); POWERCUT_LOG, the log to write (one operation a
 * line) beside POWERCUT_LOG.data, the bytes of every write.  Without
 * POWERCUT_DIR every call passes straight through.
 *
 * Log lines (names in hexadecimal, so that any name fits on a line; <ino>
 * is the file's inode number, which names it across renames and unlinks):
 *     open <ino> <name> <flags> <created 0|1> <entry>
 *     opendir <entry>                                   the folder itself
 *     write <ino> <offset> <length> <data offset> <entry>
 *     trunc <ino> <length> <entry>
 *     falloc <ino> <mode> <offset> <length> <entry>
 *     fsync <ino> <entry>        fsync, fdatasync, or a write on an O_SYNC fd
 *     synced <ino> <size> <data offset>   the whole file, read after a sync
 *     dirsync <entry>            fsync or fdatasync of the folder
 *     sync <entry>               sync(), syncfs()
 *     unlink <name> <ino> <entry>
 *     rename <from> <to> <ino> <replaced ino or 0> <entry>
 *     close <ino>
 *     mark <text>                powercut_mark(), called by the harness
 *     refuse <entry> <what>      an operation on the folder that the
 *                                simulator does not model: the record is
 *                                unusable, and the simulator says so
 *
 * The real call and its line are made under one lock, so the log's order is
 * the order in which the calls took effect, whichever thread made them.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#define MAX_FD 65536
enum { UNTRACKED = 0, TRACKED_FILE = 1, TRACKED_DIR = 2 };

static pthread_once_t once = PTHREAD_ONCE_INIT;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int active;
static char folder[PATH_MAX];
static int log_fd = -1, data_fd = -1;
static unsigned long long data_offset;
static unsigned char kind[MAX_FD];
static unsigned long long inode[MAX_FD];

/* The real functions, looked up once. */
#define REAL(ret, name, ...) static ret (*real_##name)(__VA_ARGS__)
REAL(int, open, const char*, int, ...);
REAL(int, open64, const char*, int, ...);
REAL(int, openat, int, const char*, int, ...);
REAL(int, openat64, int, const char*, int, ...);
REAL(int, __open_2, const char*, int);
REAL(int, __open64_2, const char*, int);
REAL(int, __openat_2, int, const char*, int);
REAL(int, __openat64_2, int, const char*, int);
REAL(int, creat, const char*, mode_t);
REAL(int, creat64, const char*, mode_t);
REAL(ssize_t, write, int, const void*, size_t);
REAL(ssize_t, pwrite, int, const void*, size_t, off_t);
REAL(ssize_t, pwrite64, int, const void*, size_t, off64_t);
REAL(ssize_t, writev, int, const struct iovec*, int);
REAL(ssize_t, pwritev, int, const struct iovec*, int, off_t);
REAL(ssize_t, pwritev64, int, const struct iovec*, int, off64_t);
REAL(ssize_t, pwritev2, int, const struct iovec*, int, off_t, int);
REAL(ssize_t, pwritev64v2, int, const struct iovec*, int, off64_t, int);
REAL(int, ftruncate, int, off_t);
REAL(int, ftruncate64, int, off64_t);
REAL(int, truncate, const char*, off_t);
REAL(int, truncate64, const char*, off64_t);
REAL(int, fallocate, int, int, off_t, off_t);
REAL(int, fallocate64, int, int, off64_t, off64_t);
REAL(int, posix_fallocate, int, off_t, off_t);
REAL(int, posix_fallocate64, int, off64_t, off64_t);
REAL(int, fsync, int);
REAL(int, fdatasync, int);
REAL(void, sync, void);
REAL(int, syncfs, int);
REAL(int, sync_file_range, int, off64_t, off64_t, unsigned int);
REAL(int, unlink, const char*);
REAL(int, unlinkat, int, const char*, int);
REAL(int, remove, const char*);
REAL(int, rename, const char*, const char*);
REAL(int, renameat, int, const char*, int, const char*);
REAL(int, renameat2, int, const char*, int, const char*, unsigned int);
REAL(int, link, const char*, const char*);
REAL(int, linkat, int, const char*, int, const char*, int);
REAL(int, symlink, const char*, const char*);
REAL(int, symlinkat, const char*, int, const char*);
REAL(int, mkdir, const char*, mode_t);
REAL(int, mkdirat, int, const char*, mode_t);
REAL(int, rmdir, const char*);
REAL(int, close, int);
REAL(int, dup, int);
REAL(int, dup2, int, int);
REAL(int, dup3, int, int, int);
REAL(int, fcntl, int, int, ...);
REAL(int, fcntl64, int, int, ...);
REAL(void*, mmap, void*, size_t, int, int, int, off_t);
REAL(void*, mmap64, void*, size_t, int, int, int, off64_t);
REAL(FILE*, fopen, const char*, const char*);
REAL(FILE*, fopen64, const char*, const char*);
REAL(FILE*, freopen, const char*, const char*, FILE*);
REAL(FILE*, freopen64, const char*, const char*, FILE*);
REAL(ssize_t, copy_file_range, int, off64_t*, int, off64_t*, size_t, unsigned int);
REAL(ssize_t, sendfile, int, int, off_t*, size_t);
REAL(ssize_t, sendfile64, int, int, off64_t*, size_t);
REAL(ssize_t, splice, int, off64_t*, int, off64_t*, size_t, unsigned int);
REAL(long, syscall, long, ...);
REAL(ssize_t, readlink, const char*, char*, size_t);
REAL(off_t, lseek, int, off_t, int);

#define LOOKUP(name) real_##name = dlsym(RTLD_NEXT, #name)

static void setup(void) {
    LOOKUP(open); LOOKUP(open64); LOOKUP(openat); LOOKUP(openat64);
    LOOKUP(__open_2); LOOKUP(__open64_2); LOOKUP(__openat_2); LOOKUP(__openat64_2);
    LOOKUP(creat); LOOKUP(creat64);
    LOOKUP(write); LOOKUP(pwrite); LOOKUP(pwrite64); LOOKUP(writev); LOOKUP(pwritev);
    LOOKUP(pwritev64); LOOKUP(pwritev2); LOOKUP(pwritev64v2);
    LOOKUP(ftruncate); LOOKUP(ftruncate64); LOOKUP(truncate); LOOKUP(truncate64);
    LOOKUP(fallocate); LOOKUP(fallocate64); LOOKUP(posix_fallocate); LOOKUP(posix_fallocate64);
    LOOKUP(fsync); LOOKUP(fdatasync); LOOKUP(sync); LOOKUP(syncfs); LOOKUP(sync_file_range);
    LOOKUP(unlink); LOOKUP(unlinkat); LOOKUP(remove); LOOKUP(rename); LOOKUP(renameat);
    LOOKUP(renameat2); LOOKUP(link); LOOKUP(linkat); LOOKUP(symlink); LOOKUP(symlinkat);
    LOOKUP(mkdir); LOOKUP(mkdirat); LOOKUP(rmdir);
    LOOKUP(close); LOOKUP(dup); LOOKUP(dup2); LOOKUP(dup3); LOOKUP(fcntl); LOOKUP(fcntl64);
    LOOKUP(mmap); LOOKUP(mmap64); LOOKUP(fopen); LOOKUP(fopen64); LOOKUP(freopen);
    LOOKUP(freopen64); LOOKUP(copy_file_range); LOOKUP(sendfile); LOOKUP(sendfile64);
    LOOKUP(splice); LOOKUP(syscall); LOOKUP(readlink); LOOKUP(lseek);

    const char* dir = getenv("POWERCUT_DIR");
    const char* log = getenv("POWERCUT_LOG");
    if (!dir || !*dir || !log || !*log) return;
    if (!realpath(dir, folder)) {
        fprintf(stderr, "powercut recorder: cannot resolve POWERCUT_DIR %s\n", dir);
        abort();
    }
    char data[PATH_MAX];
    snprintf(data, sizeof data, "%s.data", log);
    int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    log_fd = real_open(log, flags, 0644);
    data_fd = real_open(data, flags, 0644);
    if (log_fd < 0 || data_fd < 0) {
        fprintf(stderr, "powercut recorder: cannot write %s: %s\n", log, strerror(errno));
        abort();
    }
    active = 1;
}

static void init(void) { pthread_once(&once, setup); }

/* Writes the log.  A file size limit the run set (a full disk, simulated)
 * is for the folder's files, not for the log: it is lifted for the log's
 * own writes, which are made under the lock that every write to the folder
 * takes, so no write of the run slips past the limit meanwhile. */
static void put_all(int fd, const void* bytes, size_t length) {
    struct rlimit limit;
    int lifted = getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != limit.rlim_max;
    if (lifted) {
        struct rlimit none = {limit.rlim_max, limit.rlim_max};
        setrlimit(RLIMIT_FSIZE, &none);
    }
    const char* at = bytes;
    while (length > 0) {
        ssize_t done = real_write(fd, at, length);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            fprintf(stderr, "powercut recorder: the log cannot be written: %s\n", strerror(errno));
            abort();
        }
        at += done;
        length -= (size_t)done;
    }
    if (lifted) setrlimit(RLIMIT_FSIZE, &limit);
}

static void line(const char* format, ...) {
    char text[4 * PATH_MAX + 512];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text - 1, format, args);
    va_end(args);
    if (n < 0) return;
    if ((size_t)n > sizeof text - 2) n = (int)sizeof text - 2;
    text[n++] = '\n';
    put_all(log_fd, text, (size_t)n);
}

static void hex(const char* name, char* out) {
    static const char digits[] = "0123456789abcdef";
    for (; *name; ++name) {
        *out++ = digits[(unsigned char)*name >> 4];
        *out++ = digits[(unsigned char)*name & 15];
    }
    *out = 0;
}

static int tracked(int fd) { return active && fd >= 0 && fd < MAX_FD ? kind[fd] : UNTRACKED; }

/* The folder's name for `path` opened relative to `dirfd`: 1 with the last
 * component in `name` when the path's parent is the watched folder, 2 when
 * the path is the folder itself, 0 otherwise. */
static int locate(int dirfd, const char* path, char* name) {
    if (!active || !path) return 0;
    size_t length = strlen(path);
    if (length == 0 || length >= PATH_MAX) return 0;
    char copy[PATH_MAX], parent[PATH_MAX], full[2 * PATH_MAX + 2], resolved[PATH_MAX];
    char whole[2 * PATH_MAX + 2], folder_seen[PATH_MAX];
    memcpy(copy, path, length + 1);
    while (length > 1 && copy[length - 1] == '/') copy[--length] = 0;
    char* slash = strrchr(copy, '/');
    const char* last = copy;
    snprintf(parent, sizeof parent, ".");
    if (slash) {
        *slash = 0;
        last = slash + 1;
        snprintf(parent, sizeof parent, "%s", slash == copy ? "/" : copy);
    }
    if (parent[0] == '/' || dirfd == AT_FDCWD) {
        snprintf(full, sizeof full, "%s", parent);
    } else {
        char link[64], base[PATH_MAX];
        snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
        ssize_t n = real_readlink(link, base, sizeof base - 1);
        if (n < 0) return 0;
        base[n] = 0;
        snprintf(full, sizeof full, "%s/%s", base, parent);
    }
    if (!realpath(full, resolved)) return 0;
    int plain = *last && strcmp(last, ".") != 0 && strcmp(last, "..") != 0;
    if (plain && strcmp(resolved, folder) == 0) {
        snprintf(name, PATH_MAX, "%s", last);
        return 1;
    }
    /* Or the path names the folder itself. */
    snprintf(whole, sizeof whole, "%s/%s", resolved, last);
    return realpath(whole, folder_seen) && strcmp(folder_seen, folder) == 0 ? 2 : 0;
}

static unsigned long long inode_of(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? (unsigned long long)st.st_ino : 0;
}

static unsigned long long inode_at(int dirfd, const char* path) {
    struct stat st;
    return fstatat(dirfd, path, &st, AT_SYMLINK_NOFOLLOW) == 0 ? (unsigned long long)st.st_ino : 0;
}

static void refuse(const char* entry, const char* what) {
    line("refuse %s %s", entry, what);
}

/* After a successful open of `fd`: tracks it when it is a file of the
 * folder or the folder itself. */
static void opened(int fd, int flags, int existed, const char* entry) {
    char link[64], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = real_readlink(link, target, sizeof target - 1);
    if (n < 0) return;
    target[n] = 0;
    if (strcmp(target, folder) == 0) {
        if (fd >= MAX_FD) { refuse(entry, "descriptor-beyond-table"); return; }
        kind[fd] = TRACKED_DIR;
        line("opendir %s", entry);
        return;
    }
    char* slash = strrchr(target, '/');
    if (!slash) return;
    *slash = 0;
    if (strcmp(target, folder) != 0) return;
    if (fd >= MAX_FD) { refuse(entry, "descriptor-beyond-table"); return; }
    if (flags & O_TMPFILE) { refuse(entry, "O_TMPFILE"); return; }
    char name[2 * PATH_MAX + 1];
    hex(slash + 1, name);
    kind[fd] = TRACKED_FILE;
    inode[fd] = inode_of(fd);
    line("open %llu %s %o %d %s", inode[fd], name, flags, !existed, entry);
    if ((flags & O_TRUNC) && existed && (flags & O_ACCMODE) != O_RDONLY)
        line("trunc %llu 0 O_TRUNC", inode[fd]);
}

static int do_open(int dirfd, const char* path, int flags, mode_t mode, const char* entry,
                   int (*call)(int, const char*, int, mode_t)) {
    init();
    if (!active) return call(dirfd, path, flags, mode);
    pthread_mutex_lock(&lock);
    struct stat st;
    int existed = fstatat(dirfd, path, &st, 0) == 0;
    int fd = call(dirfd, path, flags, mode);
    int saved = errno;
    if (fd >= 0) opened(fd, flags, existed, entry);
    pthread_mutex_unlock(&lock);
    errno = saved;
    return fd;
}

static int call_openat(int dirfd, const char* path, int flags, mode_t mode) {
    return real_openat(dirfd, path, flags, mode);
}

#define MODE_ARG(flags, mode)                                   \
    mode_t mode = 0;                                            \
    if ((flags) & (O_CREAT | O_TMPFILE)) {                      \
        va_list args;                                           \
        va_start(args, flags);                                  \
        mode = (mode_t)va_arg(args, int);                       \
        va_end(args);                                           \
    }

int open(const char* path, int flags, ...) {
    MODE_ARG(flags, mode);
    return do_open(AT_FDCWD, path, flags, mode, "open", call_openat);
}
int open64(const char* path, int flags, ...) {
    MODE_ARG(flags, mode);
    return do_open(AT_FDCWD, path, flags, mode, "open64", call_openat);
}
int openat(int dirfd, const char* path, int flags, ...) {
    MODE_ARG(flags, mode);
    return do_open(dirfd, path, flags, mode, "openat", call_openat);
}
int openat64(int dirfd, const char* path, int flags, ...) {
    MODE_ARG(flags, mode);
    return do_open(dirfd, path, flags, mode, "openat64", call_openat);
}
int __open_2(const char* path, int flags) {
    return do_open(AT_FDCWD, path, flags, 0, "__open_2", call_openat);
}
int __open64_2(const char* path, int flags) {
    return do_open(AT_FDCWD, path, flags, 0, "__open64_2", call_openat);
}
int __openat_2(int dirfd, const char* path, int flags) {
    return do_open(dirfd, path, flags, 0, "__openat_2", call_openat);
}
int __openat64_2(int dirfd, const char* path, int flags) {
    return do_open(dirfd, path, flags, 0, "__openat64_2", call_openat);
}
int creat(const char* path, mode_t mode) {
    return do_open(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode, "creat", call_openat);
}
int creat64(const char* path, mode_t mode) {
    return do_open(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode, "creat64", call_openat);
}

/* A write of `done` bytes from `bytes` at `offset`; on a descriptor opened
 * with O_SYNC or O_DSYNC it is also a sync of the file. */
static void wrote(int fd, const void* bytes, ssize_t done, long long offset, const char* entry) {
    if (done <= 0) return;
    line("write %llu %lld %zd %llu %s", inode[fd], offset, done, data_offset, entry);
    put_all(data_fd, bytes, (size_t)done);
    data_offset += (unsigned long long)done;
    int flags = real_fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & (O_SYNC | O_DSYNC))) line("fsync %llu O_SYNC", inode[fd]);
}

static long long position_before(int fd, ssize_t done) {
    return (long long)real_lseek(fd, 0, SEEK_CUR) - done;
}

ssize_t write(int fd, const void* bytes, size_t length) {
    init();
    if (tracked(fd) != TRACKED_FILE) return real_write(fd, bytes, length);
    pthread_mutex_lock(&lock);
    ssize_t done = real_write(fd, bytes, length);
    int saved = errno;
    if (done > 0) wrote(fd, bytes, done, position_before(fd, done), "write");
    pthread_mutex_unlock(&lock);
    errno = saved;
    return done;
}

static ssize_t positioned(int fd, const void* bytes, size_t length, long long offset,
                          const char* entry) {
    pthread_mutex_lock(&lock);
    ssize_t done = real_pwrite64(fd, bytes, length, offset);
    int saved = errno;
    if (done > 0) wrote(fd, bytes, done, offset, entry);
    pthread_mutex_unlock(&lock);
    errno = saved;
    return done;
}

ssize_t pwrite(int fd, const void* bytes, size_t length, off_t offset) {
    init();
    if (tracked(fd) != TRACKED_FILE) return real_pwrite(fd, bytes, length, offset);
    return positioned(fd, bytes, length, offset, "pwrite");
}
ssize_t pwrite64(int fd, const void* bytes, size_t length, off64_t offset) {
    init();
    if (tracked(fd) != TRACKED_FILE) return real_pwrite64(fd, bytes, length, offset);
    return positioned(fd, bytes, length, offset, "pwrite64");
}

/* The vectored writes: gathered into one buffer and written by one call,
 * which is what the kernel does with them for a regular file. */
static ssize_t gathered(int fd, const struct iovec* parts, int count, long long offset,
                        int flags, const char* entry) {
    size_t length = 0;
    for (int i = 0; i < count; ++i) length += parts[i].iov_len;
    char* buffer = malloc(length ? length : 1);
    if (!buffer) { errno = ENOMEM; return -1; }
    size_t at = 0;
    for (int i = 0; i < count; ++i) {
        memcpy(buffer + at, parts[i].iov_base, parts[i].iov_len);
        at += parts[i].iov_len;
    }
    pthread_mutex_lock(&lock);
    ssize_t done = offset < 0 ? real_write(fd, buffer, length)
                              : real_pwrite64(fd, buffer, length, offset);
    int saved = errno;
    if (done > 0) {
        wrote(fd, buffer, done, offset < 0 ? position_before(fd, done) : offset, entry);
        if (flags & (RWF_DSYNC | RWF_SYNC)) line("fsync %llu RWF_SYNC", inode[fd]);
    }
    pthread_mutex_unlock(&lock);
    free(buffer);
    errno = saved;
    return done;
}

ssize_t writev(int fd, const struct iovec* parts, int count) {
    init();
    if (tracked(fd) != TRACKED_FILE) return real_writev(fd, parts, count);
    return gathered(fd, parts, count, -1, 0, "writev");
}
ssize_t pwritev(int fd, const struct iovec* parts, int count, off_t offset) {
    init();
    if (tracked(fd) != TRACKED_FILE) return real_pwritev(fd, parts, count, offset);
    return gathered(fd, parts, count, offset, 0, "pwritev");
}
ssize_t pwritev64(int fd, const struct iovec* parts, int count, off64_t offset) {
    init();
    if (tracked(fd) != TRACKED_FILE) return real_pwritev64(fd, parts, count, offset);
    return gathered(fd, parts, count, offset, 0, "pwritev64");
}
static ssize_t vectored2(int fd, const struct iovec* parts, int count, long long offset,
                         int flags, const char* entry) {
    if (flags & ~(RWF_DSYNC | RWF_SYNC | RWF_HIPRI)) {
        pthread_mutex_lock(&lock);
        refuse(entry, "flags");
        pthread_mutex_unlock(&lock);
    }
    return gathered(fd, parts, count, offset, flags, entry);
}
ssize_t pwritev2(int fd, const struct iovec* parts, int count, off_t offset, int flags) {
    init();
    if (tracked(fd) != TRACKED_FILE) return real_pwritev2(fd, parts, count, offset, flags);
    return vectored2(fd, parts, count, offset, flags, "pwritev2");
}
ssize_t pwritev64v2(int fd, const struct iovec* parts, int count, off64_t offset, int flags) {
    init();
    if (tracked(fd) != TRACKED_FILE) return real_pwritev64v2(fd, parts, count, offset, flags);
    return vectored2(fd, parts, count, offset, flags, "pwritev64v2");
}

static int truncated(int fd, long long length, const char* entry) {
    pthread_mutex_lock(&lock);
    int result = real_ftruncate64(fd, length);
    int saved = errno;
    if (result == 0) line("trunc %llu %lld %s", inode[fd], length, entry);
    pthread_mutex_unlock(&lock);
    errno = saved;
    return result;
}
int ftruncate(int fd, off_t length) {
    init();
    if (tracked(fd) != TRACKED_FILE) return real_ftruncate(fd, length);
    return truncated(fd, length, "ftruncate");
}
int ftruncate64(int fd, off64_t length) {
    init();
    if (tracked(fd) != TRACKED_FILE) return real_ftruncate64(fd, length);
    return truncated(fd, length, "ftruncate64");
}
static int path_truncated(const char* path, long long length, const char* entry) {
    init();
    char name[PATH_MAX];
    if (locate(AT_FDCWD, path, name) != 1) return real_truncate64(path, length);
    pthread_mutex_lock(&lock);
    int result = real_truncate64(path, length);
    int saved = errno;
    if (result == 0) line("trunc %llu %lld %s", inode_at(AT_FDCWD, path), length, entry);
    pthread_mutex_unlock(&lock);
    errno = saved;
    return result;
}
int truncate(const char* path, off_t length) { return path_truncated(path, length, "truncate"); }
int truncate64(const char* path, off64_t length) {
    return path_truncated(path, length, "truncate64");
}

static int allocated(int fd, int mode, long long offset, long long length, const char* entry,
                     int posix) {
    pthread_mutex_lock(&lock);
    int result = posix ? real_posix_fallocate64(fd, offset, length)
                       : real_fallocate64(fd, mode, offset, length);
    int saved = errno;
    if (result == 0)
        line("falloc %llu %d %lld %lld %s", inode[fd], mode, offset, length, entry);
    pthread_mutex_unlock(&lock);
    errno = saved;
    return result;
}
int fallocate(int fd, int mode, off_t offset, off_t length) {
    init();
    if (tracked(fd) != TRACKED_FILE) return real_fallocate(fd, mode, offset, length);
    return allocated(fd, mode, offset, length, "fallocate", 0);
}
int fallocate64(int fd, int mode, off64_t offset, off64_t length) {
    init();
    if (tracked(fd) != TRACKED_FILE) return real_fallocate64(fd, mode, offset, length);
    return allocated(fd, mode, offset, length, "fallocate64", 0);
}
int posix_fallocate(int fd, off_t offset, off_t length) {
    init();
    if (tracked(fd) != TRACKED_FILE) return real_posix_fallocate(fd, offset, length);
    return allocated(fd, 0, offset, length, "posix_fallocate", 1);
}
int posix_fallocate64(int fd, off64_t offset, off64_t length) {
    init();
    if (tracked(fd) != TRACKED_FILE) return real_posix_fallocate64(fd, offset, length);
    return allocated(fd, 0, offset, length, "posix_fallocate64", 1);
}

/* The file's whole content as it is now, into the data file, read through a
 * descriptor of its own (the one synced may be write-only): the simulator
 * checks it against the record, so that a write the recorder missed shows. */
static void content_after_sync(int fd) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    int reader = real_open(link, O_RDONLY | O_CLOEXEC);
    if (reader < 0) { refuse("fsync", "file-unreadable-for-the-check"); return; }
    unsigned long long size = 0, start = data_offset;
    char buffer[1 << 16];
    for (;;) {
        ssize_t n = pread(reader, buffer, sizeof buffer, (off_t)size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        put_all(data_fd, buffer, (size_t)n);
        size += (unsigned long long)n;
    }
    real_close(reader);
    data_offset += size;
    line("synced %llu %llu %llu", inode[fd], size, start);
}

static int synced(int fd, int data_only) {
    init();
    int which = tracked(fd);
    if (!which) return data_only ? real_fdatasync(fd) : real_fsync(fd);
    pthread_mutex_lock(&lock);
    int result = data_only ? real_fdatasync(fd) : real_fsync(fd);
    int saved = errno;
    const char* entry = data_only ? "fdatasync" : "fsync";
    if (result != 0) {
        refuse(entry, "failed");
    } else if (which == TRACKED_DIR) {
        line("dirsync %s", entry);
    } else {
        line("fsync %llu %s", inode[fd], entry);
        content_after_sync(fd);
    }
    pthread_mutex_unlock(&lock);
    errno = saved;
    return result;
}
int fsync(int fd) { return synced(fd, 0); }
int fdatasync(int fd) { return synced(fd, 1); }

void sync(void) {
    init();
    pthread_mutex_lock(&lock);
    real_sync();
    if (active) line("sync sync");
    pthread_mutex_unlock(&lock);
}
int syncfs(int fd) {
    init();
    pthread_mutex_lock(&lock);
    int result = real_syncfs(fd);
    int saved = errno;
    if (active && result == 0) line("sync syncfs");
    pthread_mutex_unlock(&lock);
    errno = saved;
    return result;
}
int sync_file_range(int fd, off64_t offset, off64_t length, unsigned int flags) {
    init();
    if (tracked(fd)) {
        pthread_mutex_lock(&lock);
        refuse("sync_file_range", "not-a-durability-barrier");
        pthread_mutex_unlock(&lock);
    }
    return real_sync_file_range(fd, offset, length, flags);
}

static int removed(int dirfd, const char* path, int flags, const char* entry) {
    init();
    char name[PATH_MAX];
    int where = locate(dirfd, path, name);
    if (where == 0) {
        return flags < 0 ? real_remove(path) : real_unlinkat(dirfd, path, flags);
    }
    pthread_mutex_lock(&lock);
    struct stat st;
    int is_dir = fstatat(dirfd, path, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    unsigned long long ino = inode_at(dirfd, path);
    int result = flags < 0 ? real_remove(path) : real_unlinkat(dirfd, path, flags);
    int saved = errno;
    if (result == 0) {
        char hexed[2 * PATH_MAX + 1];
        hex(name, hexed);
        if (where == 1 && !is_dir) line("unlink %s %llu %s", hexed, ino, entry);
        else refuse(entry, "a-folder");
    }
    pthread_mutex_unlock(&lock);
    errno = saved;
    return result;
}
int unlink(const char* path) { return removed(AT_FDCWD, path, 0, "unlink"); }
int unlinkat(int dirfd, const char* path, int flags) {
    return removed(dirfd, path, flags, "unlinkat");
}
int remove(const char* path) { return removed(AT_FDCWD, path, -1, "remove"); }

static int renamed(int from_dir, const char* from, int to_dir, const char* to,
                   unsigned int flags, const char* entry) {
    init();
    char from_name[PATH_MAX], to_name[PATH_MAX];
    int source = locate(from_dir, from, from_name), target = locate(to_dir, to, to_name);
    if (!source && !target) return real_renameat2(from_dir, from, to_dir, to, flags);
    pthread_mutex_lock(&lock);
    unsigned long long ino = inode_at(from_dir, from), replaced = inode_at(to_dir, to);
    int result = real_renameat2(from_dir, from, to_dir, to, flags);
    int saved = errno;
    if (result == 0) {
        if (source == 1 && target == 1 && flags == 0) {
            char a[2 * PATH_MAX + 1], b[2 * PATH_MAX + 1];
            hex(from_name, a);
            hex(to_name, b);
            line("rename %s %s %llu %llu %s", a, b, ino, replaced, entry);
        } else {
            refuse(entry, "into-or-out-of-the-folder-or-with-flags");
        }
    }
    pthread_mutex_unlock(&lock);
    errno = saved;
    return result;
}
int rename(const char* from, const char* to) {
    return renamed(AT_FDCWD, from, AT_FDCWD, to, 0, "rename");
}
int renameat(int from_dir, const char* from, int to_dir, const char* to) {
    return renamed(from_dir, from, to_dir, to, 0, "renameat");
}
int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned int flags) {
    return renamed(from_dir, from, to_dir, to, flags, "renameat2");
}

/* Links, symbolic links and folders in the folder are not modelled. */
static void unmodelled_path(int dirfd, const char* path, const char* entry) {
    init();
    char name[PATH_MAX];
    if (locate(dirfd, path, name)) {
        pthread_mutex_lock(&lock);
        refuse(entry, "not-modelled");
        pthread_mutex_unlock(&lock);
    }
}
int link(const char* from, const char* to) {
    unmodelled_path(AT_FDCWD, to, "link");
    return real_link(from, to);
}
int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
    unmodelled_path(to_dir, to, "linkat");
    return real_linkat(from_dir, from, to_dir, to, flags);
}
int symlink(const char* from, const char* to) {
    unmodelled_path(AT_FDCWD, to, "symlink");
    return real_symlink(from, to);
}
int symlinkat(const char* from, int to_dir, const char* to) {
    unmodelled_path(to_dir, to, "symlinkat");
    return real_symlinkat(from, to_dir, to);
}
int mkdir(const char* path, mode_t mode) {
    unmodelled_path(AT_FDCWD, path, "mkdir");
    return real_mkdir(path, mode);
}
int mkdirat(int dirfd, const char* path, mode_t mode) {
    unmodelled_path(dirfd, path, "mkdirat");
    return real_mkdirat(dirfd, path, mode);
}
int rmdir(const char* path) {
    unmodelled_path(AT_FDCWD, path, "rmdir");
    return real_rmdir(path);
}

/* Descriptors: closed, duplicated. */
int close(int fd) {
    init();
    if (!tracked(fd)) return real_close(fd);
    pthread_mutex_lock(&lock);
    if (kind[fd] == TRACKED_FILE) line("close %llu", inode[fd]);
    kind[fd] = UNTRACKED;
    int result = real_close(fd);
    int saved = errno;
    pthread_mutex_unlock(&lock);
    errno = saved;
    return result;
}

static int duplicated(int from, int to) {
    if (to >= 0 && to < MAX_FD && from >= 0 && from < MAX_FD) {
        kind[to] = kind[from];
        inode[to] = inode[from];
    } else if (to >= MAX_FD && tracked(from)) {
        refuse("dup", "descriptor-beyond-table");
    }
    return to;
}
int dup(int fd) {
    init();
    pthread_mutex_lock(&lock);
    int result = real_dup(fd);
    int saved = errno;
    if (result >= 0 && active) duplicated(fd, result);
    pthread_mutex_unlock(&lock);
    errno = saved;
    return result;
}
static int replaced_fd(int fd, int to, int flags, int three) {
    init();
    pthread_mutex_lock(&lock);
    if (active && to >= 0 && to < MAX_FD && fd != to) kind[to] = UNTRACKED;
    int result = three ? real_dup3(fd, to, flags) : real_dup2(fd, to);
    int saved = errno;
    if (result >= 0 && active) duplicated(fd, result);
    pthread_mutex_unlock(&lock);
    errno = saved;
    return result;
}
int dup2(int fd, int to) { return replaced_fd(fd, to, 0, 0); }
int dup3(int fd, int to, int flags) { return replaced_fd(fd, to, flags, 1); }

static int controlled(int fd, int cmd, void* arg, int (*call)(int, int, ...)) {
    init();
    if (cmd != F_DUPFD && cmd != F_DUPFD_CLOEXEC) return call(fd, cmd, arg);
    pthread_mutex_lock(&lock);
    int result = call(fd, cmd, arg);
    int saved = errno;
    if (result >= 0 && active) duplicated(fd, result);
    pthread_mutex_unlock(&lock);
    errno = saved;
    return result;
}
int fcntl(int fd, int cmd, ...) {
    va_list args;
    va_start(args, cmd);
    void* arg = va_arg(args, void*);
    va_end(args);
    return controlled(fd, cmd, arg, real_fcntl);
}
int fcntl64(int fd, int cmd, ...) {
    va_list args;
    va_start(args, cmd);
    void* arg = va_arg(args, void*);
    va_end(args);
    return controlled(fd, cmd, arg, real_fcntl64 ? real_fcntl64 : real_fcntl);
}

/* Writes the recorder cannot see: a shared mapping of a file of the folder,
 * a stream opened for writing on one, the kernel copying into one. */
static void unseen(int fd, const char* entry) {
    if (tracked(fd) == TRACKED_FILE) {
        pthread_mutex_lock(&lock);
        refuse(entry, "writes-the-recorder-cannot-see");
        pthread_mutex_unlock(&lock);
    }
}
void* mmap(void* address, size_t length, int prot, int flags, int fd, off_t offset) {
    init();
    if (fd >= 0 && (flags & MAP_SHARED)) unseen(fd, "mmap");
    return real_mmap(address, length, prot, flags, fd, offset);
}
void* mmap64(void* address, size_t length, int prot, int flags, int fd, off64_t offset) {
    init();
    if (fd >= 0 && (flags & MAP_SHARED)) unseen(fd, "mmap64");
    return real_mmap64(address, length, prot, flags, fd, offset);
}
static void stream(const char* path, const char* mode, const char* entry) {
    init();
    char name[PATH_MAX];
    if (mode && strpbrk(mode, "wa+") && locate(AT_FDCWD, path, name)) {
        pthread_mutex_lock(&lock);
        refuse(entry, "writes-the-recorder-cannot-see");
        pthread_mutex_unlock(&lock);
    }
}
FILE* fopen(const char* path, const char* mode) {
    stream(path, mode, "fopen");
    return real_fopen(path, mode);
}
FILE* fopen64(const char* path, const char* mode) {
    stream(path, mode, "fopen64");
    return real_fopen64(path, mode);
}
FILE* freopen(const char* path, const char* mode, FILE* file) {
    stream(path, mode, "freopen");
    return real_freopen(path, mode, file);
}
FILE* freopen64(const char* path, const char* mode, FILE* file) {
    stream(path, mode, "freopen64");
    return real_freopen64(path, mode, file);
}
ssize_t copy_file_range(int in, off64_t* in_at, int out, off64_t* out_at, size_t length,
                        unsigned int flags) {
    init();
    unseen(out, "copy_file_range");
    return real_copy_file_range(in, in_at, out, out_at, length, flags);
}
ssize_t sendfile(int out, int in, off_t* at, size_t length) {
    init();
    unseen(out, "sendfile");
    return real_sendfile(out, in, at, length);
}
ssize_t sendfile64(int out, int in, off64_t* at, size_t length) {
    init();
    unseen(out, "sendfile64");
    return real_sendfile64(out, in, at, length);
}
ssize_t splice(int in, off64_t* in_at, int out, off64_t* out_at, size_t length,
               unsigned int flags) {
    init();
    unseen(out, "splice");
    return real_splice(in, in_at, out, out_at, length, flags);
}

/* System calls made through syscall(): those that write, sync, open,
 * remove or rename on the folder go around the functions above, and so are
 * refused, as is io_uring, whose writes no function call shows. */
long syscall(long number, ...) {
    va_list args;
    va_start(args, number);
    long a[6];
    for (int i = 0; i < 6; ++i) a[i] = va_arg(args, long);
    va_end(args);
    init();
    if (active) {
        const char* what = NULL;
        char name[PATH_MAX];
        switch (number) {
#ifdef SYS_io_uring_setup
            case SYS_io_uring_setup: what = "io_uring_setup"; break;
#endif
            case SYS_write: case SYS_pwrite64: case SYS_writev: case SYS_pwritev:
#ifdef SYS_pwritev2
            case SYS_pwritev2:
#endif
#ifdef SYS_dup2
            case SYS_dup2:
#endif
            case SYS_ftruncate: case SYS_fallocate: case SYS_fsync: case SYS_fdatasync:
            case SYS_sync_file_range: case SYS_close: case SYS_dup: case SYS_dup3:
            case SYS_fcntl:
                if (tracked((int)a[0])) what = "a-call-on-a-watched-descriptor";
                break;
            case SYS_mmap:
                if ((a[3] & MAP_SHARED) && tracked((int)a[4])) what = "mmap";
                break;
            case SYS_copy_file_range: case SYS_splice:
                if (tracked((int)a[2])) what = "a-copy-into-a-watched-file";
                break;
            case SYS_sendfile:
                if (tracked((int)a[0])) what = "a-copy-into-a-watched-file";
                break;
#ifdef SYS_open
            /* The calls on paths that newer architectures have only as *at. */
            case SYS_open: case SYS_creat: case SYS_unlink: case SYS_rmdir: case SYS_mkdir:
#endif
            case SYS_truncate:
                if (locate(AT_FDCWD, (const char*)a[0], name)) what = "a-path-in-the-folder";
                break;
#ifdef SYS_rename
            case SYS_rename: case SYS_link: case SYS_symlink:
                if (locate(AT_FDCWD, (const char*)a[0], name) ||
                    locate(AT_FDCWD, (const char*)a[1], name))
                    what = "a-path-in-the-folder";
                break;
#endif
            case SYS_openat: case SYS_unlinkat: case SYS_mkdirat:
#ifdef SYS_openat2
            case SYS_openat2:
#endif
                if (locate((int)a[0], (const char*)a[1], name)) what = "a-path-in-the-folder";
                break;
            case SYS_renameat: case SYS_renameat2: case SYS_linkat:
                if (locate((int)a[0], (const char*)a[1], name) ||
                    locate((int)a[2], (const char*)a[3], name))
                    what = "a-path-in-the-folder";
                break;
            case SYS_sync: case SYS_syncfs:
                what = "sync";
                break;
            default:
                break;
        }
        if (what) {
            char entry[48];
            snprintf(entry, sizeof entry, "syscall-%ld", number);
            pthread_mutex_lock(&lock);
            refuse(entry, what);
            pthread_mutex_unlock(&lock);
        }
    }
    return real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

/* Called by the harness (through ctypes) to mark where the run is. */
void powercut_mark(const char* text) {
    init();
    if (!active) return;
    pthread_mutex_lock(&lock);
    line("mark %s", text);
    pthread_mutex_unlock(&lock);
}
