#include "platform/base/file_trust.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace platform {
namespace {

bool TrustedOwner(uid_t owner) { return owner == ::geteuid() || owner == 0; }

std::string Octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777);
    return text;
}

std::string OwnerFault(const std::string& path, uid_t owner) {
    return path + " belongs to user " + std::to_string(owner) + ", who could put there what this user (" +
           std::to_string(::geteuid()) + ") runs: remove it, or give it to this user or root (chown)";
}

}  // namespace

std::string Distrust(const std::string& path, const struct stat& info, FileKind kind) {
    if (kind == FileKind::Folder && !S_ISDIR(info.st_mode)) return path + " is not a folder: remove it";
    if (kind == FileKind::File && !S_ISREG(info.st_mode)) return path + " is not a regular file: remove it";
    if (!TrustedOwner(info.st_uid)) return OwnerFault(path, info.st_uid);
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return path + " may be written by group or others (mode " + Octal(info.st_mode) +
               "): let only its owner write it (chmod go-w " + path + ")";
    return "";
}

std::string DistrustPath(const std::string& path, FileKind kind, bool* exists) {
    struct stat info {};
    *exists = ::lstat(path.c_str(), &info) == 0;
    if (!*exists) return errno == ENOENT ? "" : path + " cannot be looked at: " + std::strerror(errno);
    if (S_ISLNK(info.st_mode)) {
        if (!TrustedOwner(info.st_uid)) return OwnerFault(path + " (a symbolic link)", info.st_uid);
        *exists = ::stat(path.c_str(), &info) == 0;
        if (!*exists) return errno == ENOENT ? "" : path + " cannot be followed: " + std::strerror(errno);
    }
    return Distrust(path, info, kind);
}

std::string DistrustFolders(const std::string& top, const std::string& folder, bool* complete) {
    *complete = true;
    const bool below =
        folder.size() > top.size() && folder.compare(0, top.size(), top) == 0 && folder[top.size()] == '/';
    for (std::size_t end = below ? top.size() : folder.size();; end = folder.find('/', end + 1)) {
        const std::string part = folder.substr(0, end);
        bool exists = false;
        if (std::string why = DistrustPath(part, FileKind::Folder, &exists); !why.empty()) return why;
        if (!exists) {
            *complete = false;
            return "";
        }
        if (end == std::string::npos || end == folder.size()) return "";
    }
}

int PrepareTrustedFolder(const std::string& top, const std::string& folder, mode_t closed, std::string* why) {
    for (std::size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
        const std::string part = folder.substr(0, end);
        if (!part.empty() && ::mkdir(part.c_str(), 0777 & ~closed) != 0 && errno != EEXIST) {
            const int error = errno;
            *why = "cannot create " + part + ": " + std::strerror(error);
            return error;
        }
        if (end == std::string::npos) break;
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
        (info.st_mode & closed) != 0 && ::chmod(folder.c_str(), info.st_mode & 07777 & ~closed) != 0) {
        const int error = errno;
        *why = "cannot close " + folder + " to others: " + std::strerror(error);
        return error;
    }
    bool complete = false;
    if (std::string distrust = DistrustFolders(top, folder, &complete); !distrust.empty()) {
        *why = distrust + "; refusing to use " + folder;
        return EACCES;
    }
    return 0;
}

}  // namespace platform
