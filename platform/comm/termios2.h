// Line settings of a real serial device through the kernel's termios2
// interface, which can set any baud rate (68 included). This file pair is
// the only place that sees the kernel's termios declarations.
#pragma once

#include <cstdint>

namespace platform::tty {

struct LineConfig {
    std::uint32_t baud = 9600;
    std::uint8_t dataBits = 8;
    std::uint8_t parity = 0;    // NOPARITY .. SPACEPARITY
    std::uint8_t stopBits = 0;  // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    bool parityCheck = false;
    bool ctsFlow = false;  // CRTSCTS
    bool xonXoffOut = false;
    bool xonXoffIn = false;
    char xonChar = 0x11;
    char xoffChar = 0x13;
};

// Each returns 0 or an errno value.
int MakeRaw(int fd);  // raw bytes, receiver on, modem status lines ignored, no hang-up on close
int GetConfig(int fd, LineConfig* config);
// Sets the configuration and reads the rate back into *actualBaud.
int SetConfig(int fd, const LineConfig& config, std::uint32_t* actualBaud);
int FlushOutput(int fd);
// The configuration converted to the kernel's form and back, for checking
// the mapping where no device holds every setting (pseudo-terminals are
// always eight data bits without parity).
LineConfig ThroughKernelForm(const LineConfig& config);

}  // namespace platform::tty
