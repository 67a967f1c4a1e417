// trelvanectl: the start-post driver from the command line, for people and
// for scripts.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/ctl/commands.h"
#include "tools/ctl/options.h"

int main(int argc, char** argv) {
    const auto parsed = ctl::ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) {
        std::fprintf(stderr, "trelvanectl: %s\n%s", parsed.error.c_str(), ctl::UsageLine().c_str());
        return ctl::kUsageError;
    }
    if (parsed.options->help) {
        std::fputs(ctl::HelpText().c_str(), stdout);
        return ctl::kSucceeded;
    }
    return ctl::RunCommand(*parsed.options);
}
