#include "platform/comm/termios2.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "platform/comm/tty_ioctl.h"

namespace platform::tty {
namespace {

int Get(int fd, termios2* t) { return Ioctl(fd, TCGETS2, t) == 0 ? 0 : errno; }
int Set(int fd, const termios2* t) { return Ioctl(fd, TCSETS2, const_cast<termios2*>(t)) == 0 ? 0 : errno; }

}  // namespace

int MakeRaw(int fd) {
    termios2 t{};
    if (int error = Get(fd, &t)) return error;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                        IXANY | IUCLC | IMAXBEL);  // parity checking (INPCK) is a line setting: kept
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    // Ignore modem status lines; enable receiver; leave control lines alone on close.
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    // With VMIN 1 a read of the non-blocking descriptor says EAGAIN when
    // nothing is there, so that a read of 0 bytes always means hung up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return Set(fd, &t);
}

namespace {

void Decode(const termios2& t, LineConfig* config) {
    config->baud = t.c_ospeed;
    switch (t.c_cflag & CSIZE) {
    case CS5: config->dataBits = 5; break;
    case CS6: config->dataBits = 6; break;
    case CS7: config->dataBits = 7; break;
    default: config->dataBits = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        config->parity = 0;
    else if (t.c_cflag & CMSPAR)
        config->parity = (t.c_cflag & PARODD) ? 3 : 4;
    else
        config->parity = (t.c_cflag & PARODD) ? 1 : 2;
    config->stopBits = (t.c_cflag & CSTOPB) ? (config->dataBits == 5 ? 1 : 2) : 0;
    config->parityCheck = (t.c_iflag & INPCK) != 0;
    config->ctsFlow = (t.c_cflag & CRTSCTS) != 0;
    config->xonXoffOut = (t.c_iflag & IXON) != 0;
    config->xonXoffIn = (t.c_iflag & IXOFF) != 0;
    config->xonChar = static_cast<char>(t.c_cc[VSTART]);
    config->xoffChar = static_cast<char>(t.c_cc[VSTOP]);
}

void Encode(const LineConfig& config, termios2* out) {
    termios2& t = *out;

    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ospeed = config.baud;
    t.c_ispeed = config.baud;
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[config.dataBits - 5];
    switch (config.parity) {
    case 1: t.c_cflag |= PARENB | PARODD; break;
    case 2: t.c_cflag |= PARENB; break;
    case 3: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case 4: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    // The UART sends one and a half stop bits when asked for two with five data bits.
    if (config.stopBits != 0) t.c_cflag |= CSTOPB;
    if (config.ctsFlow) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF);
    if (config.parityCheck) t.c_iflag |= INPCK;
    if (config.xonXoffOut) t.c_iflag |= IXON;
    if (config.xonXoffIn) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(config.xonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(config.xoffChar);
}

}  // namespace

int GetConfig(int fd, LineConfig* config) {
    termios2 t{};
    if (int error = Get(fd, &t)) return error;
    Decode(t, config);
    return 0;
}

int SetConfig(int fd, const LineConfig& config, std::uint32_t* actualBaud) {
    termios2 t{};
    if (int error = Get(fd, &t)) return error;
    Encode(config, &t);
    if (int error = Set(fd, &t)) return error;
    termios2 back{};
    if (int error = Get(fd, &back)) return error;
    *actualBaud = back.c_ospeed;
    return 0;
}

LineConfig ThroughKernelForm(const LineConfig& config) {
    termios2 t{};
    Encode(config, &t);
    LineConfig back;
    Decode(t, &back);
    return back;
}

int FlushOutput(int fd) {
    return Ioctl(fd, TCFLSH, reinterpret_cast<void*>(static_cast<long>(TCOFLUSH))) == 0 ? 0 : errno;
}

}  // namespace platform::tty
