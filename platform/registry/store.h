// The files behind the classes root: a store is one text file of keys
// (reg_format.h), replaced as a whole for every change. Readers take the
// file as it is, so a reader sees a change entirely or not at all. Writers
// take an exclusive lock on a lock file beside it, read the keys afresh,
// apply their change and replace the file: written aside, flushed, renamed
// over the old one, and the folder flushed. A process killed at any point
// leaves the old file or the new one; a stray aside file is removed by the
// next change.
//
// A store decides which program an activation starts, so it is read and
// changed only when nobody but this user or root could have written it
// (file_trust.h): the file, its folder and the folders above it up to the
// store's top. Nothing written follows a link planted in its folder.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/registry/key_tree.h"

namespace platform::registry {

struct StoreLocation {
    std::string directory;  // holds classes.reg and classes.lock
    std::string rootPath;   // the root as the text names it
    unsigned fileMode;      // of the files created there
    unsigned directoryMode;
    std::string top;  // the highest folder whose owner and mode are checked
};

// The user's store: $TRELVANE_HOME/registry, private to the user, checked
// up to $TRELVANE_HOME, or the user's home when it is not set. Without a
// home (paths.h) the directory is empty and every call fails.
StoreLocation UserStore();
// The machine's: $TRELVANE_MACHINE_REGISTRY, else /var/lib/trelvane/registry;
// readable by everyone, written by its owner (root); only it is checked.
StoreLocation MachineStore();

using Snapshot = std::shared_ptr<const Key>;

// The keys in the store now; no file is an empty store. A file that cannot
// be read, is not a store or could have been written by someone else gives
// ERROR_BADDB and a log line with its path and what to fix.
DWORD ReadStore(const StoreLocation& store, Snapshot* keys);

// Runs edit on the store's keys under the writers' lock and saves them when
// they changed. An error from edit is returned and nothing is saved.
DWORD ChangeStore(const StoreLocation& store, const std::function<DWORD(Key& root)>& edit);

// Test seam: called at each step of replacing the file, in the writer.
enum class CommitStep { TextWritten, TextFlushed, Renamed };
void SetCommitHookForTesting(void (*hook)(CommitStep step));

}  // namespace platform::registry
