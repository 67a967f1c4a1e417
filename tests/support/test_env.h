// Helpers for tests that need the operating system: a private TRELVANE_HOME,
// pseudo-terminals linked as COM ports, and the process's own resource use.
#pragma once

#include <string>

namespace trelvane::testing {

// Sets an environment variable (null: removes it) and restores it on
// destruction.
class ScopedEnvironment {
public:
    ScopedEnvironment(const std::string& name, const char* value);
    ~ScopedEnvironment();

private:
    std::string m_name;
    std::string m_previous;
    bool m_hadPrevious = false;
};

// Creates a fresh folder, points TRELVANE_HOME at it and the machine's
// registry store (TRELVANE_MACHINE_REGISTRY) at its folder "machine", so
// that nothing is shared with the machine or another run, and removes it
// again.
class TempHome {
public:
    TempHome();
    ~TempHome();
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    ScopedEnvironment m_home;
    ScopedEnvironment m_machineStore;
};

// A pseudo-terminal whose device side is linked as dosdevices/com<N>. The
// test talks to the port through the master side.
class PtyPort {
public:
    PtyPort(const std::string& home, int comNumber);
    ~PtyPort();
    bool Ok() const { return m_master >= 0; }
    // Bytes from master to the port. Returns false on failure.
    bool Send(const std::string& bytes);
    // Reads what the port wrote, waiting up to timeoutMs for count bytes.
    std::string Receive(std::size_t count, int timeoutMs);
    // Writes one byte and waits up to timeoutMs for the port to write one
    // back; the microseconds in between, or a negative number when none came.
    double RoundTrip(unsigned char byte, unsigned char* answer, int timeoutMs);
    void CloseMaster();  // the other end hangs up
    const std::string& SlavePath() const { return m_slavePath; }

private:
    int m_master = -1;
    std::string m_slavePath;
    std::string m_link;
};

// Links dosdevices/com<N> to target (which need not exist).
void LinkPort(const std::string& home, int comNumber, const std::string& target);
void MakeFile(const std::string& path);
void MakeFolder(const std::string& path);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
void SetMode(const std::string& path, unsigned mode);
unsigned long InodeOf(const std::string& path);
unsigned ModeOf(const std::string& path);  // the permission bits

int OpenFdCount();
int ThreadCount();
int RawThreadCount();
double ProcessCpuSeconds();
// Bytes the heap has handed out and not had back.
std::size_t HeapInUse();

// A pipe, for tests that need a descriptor to become readable.
class PipePair {
public:
    PipePair();
    ~PipePair();
    int ReadEnd() const { return m_fds[0]; }
    bool WriteByte(char c);
    char ReadByte();

private:
    int m_fds[2] = {-1, -1};
};

// The permission bits of a file or folder (-1 when it does not exist).
int FileMode(const std::string& path);
bool Exists(const std::string& path);

// Holds a file descriptor of dosdevices target open exclusively, as another
// process would (flock); released on destruction.
class ExclusiveHolder {
public:
    explicit ExclusiveHolder(const std::string& path);
    ~ExclusiveHolder();
    bool Ok() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

}  // namespace trelvane::testing
