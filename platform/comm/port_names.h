// Where a port number leads: the dosdevices link "comn" (its name matched
// without regard to case), else the platform's n-th serial device. Opening
// "COMn" uses it; so do the tools that explain why a port cannot be opened.
// Empty (no such port) when there is no home, or when its dosdevices folder
// or one above it could have been written by another user (logged).
#pragma once

#include <string>

namespace platform {

std::string PortDevicePath(unsigned n);

}  // namespace platform
