// What the server of a registered class watches of the class's files while
// it serves, from the registering thread's waits (an inotify descriptor among
// the thread's wait sources: nothing runs while nothing changes):
// - the run folder: when the class's socket is gone (a cleaner of temporary
//   files, a person, the whole folder removed; not the whole home),
//   clients could no longer reach the class, so the registration is told
//   to listen there again (once for each change naming the socket or the
//   folder itself: a put-back that fails is tried again at the next one);
// - the class's log, when it is the server's standard error (a server that
//   activation started): once it reaches its bound it is set aside as
//   "<log>.1" and the server's standard output and error go on in a new log
//   (its folder made again if it was removed); a set-aside that fails is
//   tried again a bound later.
#pragma once

#include <functional>
#include <string>

#include "platform/objects/com_base.h"

namespace platform::remoting {

class ClassFilesWatch {
public:
    // socketGone runs on this thread, inside one of its waits, when no
    // socket is at socketPath any more.
    ClassFilesWatch(REFCLSID clsid, std::string socketPath, std::function<void()> socketGone);
    ~ClassFilesWatch();
    ClassFilesWatch(const ClassFilesWatch&) = delete;
    ClassFilesWatch& operator=(const ClassFilesWatch&) = delete;

    // Watches the run folder again, after it was made anew.
    void WatchRunFolder();

private:
    void OnChange();
    void BoundLog();

    std::string m_socketPath;
    std::string m_runFolder;   // the socket's, also once TRELVANE_HOME names another
    std::string m_socketName;  // within the run folder
    std::string m_logPath;
    long long m_setAsideAt;  // the log's size at which it is set aside next
    std::function<void()> m_socketGone;
    int m_fd = -1;
    int m_sourceId = 0;
    int m_folderWatch = -1;
    int m_logWatch = -1;  // -1 when the server's standard error is not the class's log
};

}  // namespace platform::remoting
