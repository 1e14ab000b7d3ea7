// FolderSync: the database's folder synced once a run has closed its connection.
//
// DuckDB syncs its .wal and the database file, but never the folder that
// holds them: after a power cut, a .wal it created or removed since the
// folder was last synced may or may not be there.  When the checkpoint at
// close could not write the database file (a full disk), the patch a call
// reported lives in that .wal alone, and a .wal lost with its folder entry
// loses it.  So a run syncs the folder before it returns normally: what
// the folder held at the return, the .wal there or gone, is on the disk.
#pragma once

#include "ref.hpp"

namespace patch_eus {

class FolderSync {
public:
    // Keeps the file-system spelling of `path` (an exact str, the text
    // DuckDB is given).  0, or -1 with an exception set; a text that no
    // file-system path is spelt as (DuckDB refuses it before it opens
    // anything) leaves nothing to sync.
    int prepare(PyObject* path);

    // Syncs the folder of the path as DuckDB reads it (a leading "~" is
    // HOME, a bare name is in the current folder), with the interpreter's
    // lock released.  Calls nothing of the interpreter's that can fail, and
    // quietly does nothing when the folder cannot be opened or synced: the
    // call's outcome stays DuckDB's.
    void sync() const noexcept;

private:
    Ref spelt_;  // bytes, or empty
};

}  // namespace patch_eus
