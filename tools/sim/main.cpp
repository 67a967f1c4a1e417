// trelvane-sim: a simulated start post serving a port name.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/record.h"
#include "tools/sim/options.h"
#include "tools/sim/session.h"
#include "version/version.h"

namespace trelvane {

int Main(int argc, char** argv) {
    const auto parsed = sim::ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) {
        if (parsed.json)
            std::puts(tools::FormatJson(tools::UsageErrorRecord(parsed.error, sim::UsageLine())).c_str());
        else
            std::fprintf(stderr, "trelvane-sim: %s\n%s\n", parsed.error.c_str(), sim::UsageLine().c_str());
        return 2;
    }
    if (parsed.options->help) {
        std::fputs(sim::HelpText().c_str(), stdout);
        return 0;
    }
    if (parsed.options->version) {
        std::fputs(trelvane::VersionText("trelvane-sim").c_str(), stdout);
        return 0;
    }
    return sim::RunSession(*parsed.options);
}

}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
