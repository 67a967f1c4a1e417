// trelvanectl: the start-post driver from the command line, for people and
// for scripts.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/ctl/commands.h"
#include "tools/ctl/options.h"
#include "tools/ctl/reporter.h"
#include "version/version.h"

namespace trelvane {

int Main(int argc, char** argv) {
    const auto parsed = ctl::ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) {
        ctl::Reporter(parsed.json).UsageError(parsed.error);
        return ctl::kUsageError;
    }
    if (parsed.options->help) {
        std::fputs(ctl::HelpText().c_str(), stdout);
        return ctl::kSucceeded;
    }
    if (parsed.options->version) {
        std::fputs(trelvane::VersionText("trelvanectl").c_str(), stdout);
        return ctl::kSucceeded;
    }
    return ctl::RunCommand(*parsed.options);
}

}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
