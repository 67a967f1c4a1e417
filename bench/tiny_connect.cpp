// The baseline's tiny program: connects once to the Unix socket named by its
// argument, sends one byte and exits.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 1;
    const char byte = 1;
    return ::write(fd, &byte, 1) == 1 ? 0 : 1;
}
