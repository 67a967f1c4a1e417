// The device behind a COM port under Wine, as a test program sees it: each
// call is one request to pty_device.py, which runs the program, written to
// standard output, and its answer read from standard input.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace trelvane::testing {

class PtyDevice {
public:
    // A new pty linked as COM<number>.
    explicit PtyDevice(int number) : m_number(number) { Ask("open"); }
    // The device of COM<number>, opened before.
    static PtyDevice Opened(int number) { return PtyDevice(number, nullptr); }

    void Send(const std::vector<std::uint8_t>& bytes) { Ask("send", Hex(bytes)); }
    void SetLines(bool cts, bool dsr, bool rlsd, bool ring = false) {
        Ask("lines", Bit(cts) + " " + Bit(dsr) + " " + Bit(rlsd) + " " + Bit(ring));
    }
    // DTR and RTS as the port last set them, "1 0" for DTR on and RTS off.
    std::string OutputLines() { return Ask("out"); }
    // Up to count bytes the port wrote, waiting at most milliseconds in all.
    std::vector<std::uint8_t> Receive(std::size_t count, int milliseconds) {
        const std::string hex = Ask("recv", std::to_string(count) + " " + std::to_string(milliseconds));
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2)
            bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        return bytes;
    }

private:
    PtyDevice(int number, std::nullptr_t) : m_number(number) {}
    static std::string Bit(bool on) { return on ? "1" : "0"; }
    static std::string Hex(const std::vector<std::uint8_t>& bytes) {
        std::string hex;
        char pair[3];
        for (std::uint8_t byte : bytes) {
            std::snprintf(pair, sizeof pair, "%02x", byte);
            hex += pair;
        }
        return hex;
    }
    std::string Ask(const std::string& kind, const std::string& rest = "") {
        std::cout << "@device " << kind << " " << m_number << (rest.empty() ? "" : " ") << rest << std::endl;
        std::string answer;
        if (!std::getline(std::cin, answer)) ADD_FAILURE() << "the device side is gone (" << kind << ")";
        if (!answer.empty() && answer.back() == '\r') answer.pop_back();
        return answer;
    }

    const int m_number;
};

}  // namespace trelvane::testing
