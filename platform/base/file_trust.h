// Whether a file or folder could have been written by someone else. What
// decides which program runs (the registry stores, the server's sockets and
// logs) is used only when nobody but this process's user, or root, could
// have put it there, as ssh treats its files: it, and each folder above it
// up to the top of its tree, owned by the user or by root and writable by
// neither group nor others. A symbolic link is followed only when the user
// or root made it, and then what it leads to is checked.
#pragma once

#include <sys/stat.h>

#include <string>

namespace platform {

enum class FileKind { File, Folder };

// What is wrong with the file or folder whose own status is info, and what
// to fix, naming path; empty when it may be trusted.
std::string Distrust(const std::string& path, const struct stat& info, FileKind kind);

// The same for what is at path now. A path that does not exist is no fault:
// *exists tells.
std::string DistrustPath(const std::string& path, FileKind kind, bool* exists);

// The same for top and for each folder from it down to folder (top itself
// or a folder below it), outermost first. *complete is false when one of
// them does not exist; those below it are not looked at.
std::string DistrustFolders(const std::string& top, const std::string& folder, bool* complete);

// A folder of this user's own state, ready for use: folder and each folder
// missing on the way to it made with the bits of closed left out, folder
// closed again (those bits taken away) when a umask or a hand opened it,
// and then checked with the folders above it up to top, as DistrustFolders
// does. 0 when it may be used; else an errno (EACCES when someone else
// could have written it), with *why saying what is wrong and naming it.
int PrepareTrustedFolder(const std::string& top, const std::string& folder, mode_t closed, std::string* why);

}  // namespace platform
