// FileClaim: a repair's hold on its database file, so that runs on one file never overlap within the process.
//
// DuckDB's file lock keeps other processes out, but a POSIX record lock
// never conflicts within the process that holds it, and the same file
// opened under two spellings of its path becomes two databases in one
// process.  So the process keeps its own table of the files being repaired:
// a file is known by its absolute path with every link resolved, and, once
// it exists, by its device and inode, so every spelling, symbolic link and
// hard link of it is the same file.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace patch_eus {

class FileClaim {
public:
    FileClaim() noexcept = default;
    FileClaim(const FileClaim&) = delete;
    FileClaim& operator=(const FileClaim&) = delete;
    // Gives the file back to the runs that wait for it.
    ~FileClaim();

    // Takes the file that `path` (an exact str, the text DuckDB is given)
    // names, waiting with the interpreter's lock released while another
    // thread holds it.  0, or -1 with an exception set: RuntimeError when
    // this thread holds the file already (a repair nested inside its own),
    // or what a signal handler raised while waiting.
    int take(PyObject* path);

private:
    uint64_t ticket_ = 0;  // 0: nothing held
};

}  // namespace patch_eus
