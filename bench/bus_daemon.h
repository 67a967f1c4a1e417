// A private session bus for a benchmark: a bus daemon listening in the home,
// whose service folder starts the given server program for the driver's
// bus name. The daemon's address, or empty when it did not come up.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace trelvane::bench {

inline std::string StartBusDaemon(const std::string& home, const std::string& server,
                                  std::unique_ptr<trelvane::testing::ChildProcess>* daemon) {
    std::filesystem::create_directories(home + "/services");
    std::ofstream(home + "/services/org.trelvane.Tarvik1.service")
        << "[D-BUS Service]\nName=org.trelvane.Tarvik1\nExec=" << server << "\n";
    std::ofstream(home + "/bus.conf") << "<busconfig><type>session</type><listen>unix:dir=" << home
                                      << "</listen><servicedir>" << home
                                      << "/services</servicedir><policy context=\"default\">"
                                         "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                         "<allow own=\"*\"/></policy></busconfig>\n";
    *daemon = std::make_unique<trelvane::testing::ChildProcess>(
        std::vector<std::string>{"/usr/bin/dbus-daemon", "--nofork", "--print-address=1",
                                 "--config-file=" + home + "/bus.conf"},
        trelvane::testing::ChildProcess::Options{false, {"TRELVANE_HOME=" + home}});
    std::size_t from = 0;
    const auto line = (*daemon)->WaitForLine([](const std::string& l) { return l.rfind("unix:", 0) == 0; },
                                             std::chrono::seconds(10), &from);
    return line.value_or("");
}

}  // namespace trelvane::bench
