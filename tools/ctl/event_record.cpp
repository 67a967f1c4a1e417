#include "tools/ctl/event_record.h"

#include "contract/contract.h"
#include "tools/ctl/values.h"

namespace trelvane::ctl {
namespace {

const platform::MemberDesc* FindEvent(REFIID iid, DISPID dispid) {
    const contract::InterfaceContract* contract = contract::ContractFor(iid);
    if (!contract) return nullptr;
    for (const auto& member : contract->desc.members)
        if (member.dispid == dispid) return &member;
    return nullptr;
}

// "ErrorMessage" -> "error_message", "SP_PortOpened" -> "sp_port_opened":
// every JSON key of the tools is in snake_case.
std::string SnakeCase(const std::string& name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool upper = c >= 'A' && c <= 'Z';
        if (upper && i > 0 && name[i - 1] != '_' && !(name[i - 1] >= 'A' && name[i - 1] <= 'Z')) out += '_';
        out += upper ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

}  // namespace

tools::Record EventRecord(REFIID iid, DISPID dispid, const DISPPARAMS& params,
                          std::chrono::system_clock::time_point time) {
    tools::Record record{time, "event", {}, {}, {}, {}};
    const platform::MemberDesc* event = FindEvent(iid, dispid);
    record.event = event ? platform::ToUtf8(event->name) : "event " + std::to_string(dispid);
    record.text = record.event;
    for (UINT i = 0; i < params.cArgs; ++i) {
        const VARIANT& argument = params.rgvarg[params.cArgs - 1 - i];
        const std::string name = event && i < event->params.size() && event->params[i].name
                                     ? platform::ToUtf8(event->params[i].name)
                                     : "argument" + std::to_string(i + 1);
        record.fields.push_back({SnakeCase(name), JsonValueOf(argument)});
        record.text += " " + name + "=" + TextOf(argument);
    }
    return record;
}

}  // namespace trelvane::ctl
