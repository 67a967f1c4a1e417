// The contract written out as a reference page for client programmers: the
// names, DISPIDs, types and help strings come from the contract's one
// description (contract.cpp), and what the description does not hold (units,
// ranges, the values that mean "none", results, codes, texts and threads)
// from the tables below. The events' signals on the session bus come from
// the bus interface formed from the same description (dbus.cpp).
#include <map>

#include "contract/contract.h"
#include "contract/dbus.h"
#include "platform/windows.h"

namespace trelvane::contract {
namespace {

using platform::InterfaceDesc;
using platform::MemberDesc;
using platform::MemberKind;

std::string Text(LPCOLESTR s) { return s ? platform::ToUtf8(s) : std::string(); }

std::string Guid(const GUID& g) {
    WCHAR text[CHARS_IN_GUID];
    StringFromGUID2(g, text, CHARS_IN_GUID);
    return platform::ToUtf8(text);
}

// What a client must know of a member beyond its signature.
const std::map<std::string, std::string>& MemberNotes() {
    static const std::map<std::string, std::string> notes{
        {"Open",
         "Opens COM*PortNumber* at 68 baud, 8 data bits, no parity, one stop bit, with RTS and DTR off, sends the "
         "device the reset byte and starts the 250 ms tick that reports what the device sends. A port that is open "
         "is closed first (with `SP_PortClosed`). `S_OK` with `Status` 0 on success; `S_FALSE` with `Status` 1 to 6 "
         "on failure, after a `SystemError` (see [Open's status](#opens-status)). The number is not range-checked: "
         "a port that does not exist fails with status 1."},
        {"Close",
         "Closes the port, stops the tick and raises `SP_PortClosed` if a port was open. Always `S_OK`. "
         "`PortNumber` and `StartNumber` become -1."},
        {"ResetStartPost",
         "Sends the device the reset byte 0x00, raises `SP_Reset` and empties a frame being received. Without an "
         "open port nothing is written, and `SP_Reset` is raised all the same. A failed write raises `SystemError` "
         "\"'Reset': ...\" and fails the call."},
        {"StartNumberOK",
         "Confirms the start number received last: when *StartNumber* equals `StartNumber` (the property), the "
         "device gets its final acknowledge 0xF0 and the result is `S_OK`; otherwise nothing is sent and the "
         "result is `S_FALSE`. Each matching call sends the acknowledge again; without an open port nothing is "
         "sent. A failed write raises `SystemError` \"'Acknowledge': ...\" and fails the call."},
        {"PortNumber", "The number passed to the latest successful `Open`; **-1** when no port is open."},
        {"StartNumber",
         "The start number received last (0 to 1665: three digits of 0 to 15 each, as hundreds, tens and units), "
         "or the number set through `StartNumberTest`; **-1** when none was received since the port was opened, "
         "or when the last frame failed its check."},
        {"InterCharacterTimeout",
         "In milliseconds; default 1500. The longest silence allowed between two bytes of a start-number frame: "
         "a longer one drops the frame, raises `StartNumberFault` 3 and closes and reopens the port. Stored as "
         "given, without a range test (0 and negative values included)."},
        {"StateDTR",
         "The DTR line as the driver set it: `VARIANT_TRUE` (-1) on, `VARIANT_FALSE` (0) off. The battery test "
         "selects the post with it (off: start post, on: finish post). Without an open port: reads 0, and "
         "setting it does nothing (`S_OK`, no event). A failed change raises `SystemError` \"'Set DTR': ...\" "
         "and fails the call."},
        {"StateStartPost", "The DSR line now, the start post on line: -1 on, 0 off; 0 without an open port."},
        {"StateFinishPost", "The CTS line now, the finish post on line: -1 on, 0 off; 0 without an open port."},
        {"StartBatteryTest",
         "Measures the battery of the post named by *DeviceSelector*: exactly \"StartPost\" or \"FinishPost\" "
         "(case matters). `S_OK` when the measurement started; the result comes as `BatteryTestReady`. "
         "`S_FALSE` after a `SystemError` when it did not: \"Device off line\" (another selector, the post's "
         "line off, or no open port) or \"Battery test allready active\"."},
        {"StartNumberTest",
         "Write only. Stores the number as `StartNumber` and raises at once, on the caller's thread, "
         "`StartNumberRequest` with it when it is greater than 0, else `StartNumberFault` 2 \"Illegal "
         "startnumber\". Works with or without an open port."},
        {"ReadyToSend",
         "The RTS line as the driver set it: -1 on, 0 off. The battery test switches it on and off. Without an "
         "open port: reads 0, setting does nothing."},
        {"Parity",
         "\"None\", \"Odd\", \"Even\", \"Mark\" or \"Space\", compared exactly (case matters); any other text "
         "changes nothing. Reads a null string without an open port; setting then does nothing."},
        {"BaudRate",
         "Bits per second, not range-checked (the device runs at 68). **-1** without an open port; setting then "
         "does nothing."},
        {"DataBits",
         "Data bits per character, 5 to 8 (the low 8 bits of the value are applied). **-1** without an open "
         "port; setting then does nothing."},
        {"StopBits",
         "1.0, 1.5 or 2.0. Set: the value times 10, truncated, must be 10, 15 or 20 (1.55 gives 1.5); any "
         "other changes nothing. Without an open port the getter stores nothing (the caller's variable keeps its "
         "value) and setting does nothing."},
        {"ParityCheck",
         "Whether received parity is checked: -1 on, 0 off. Set: the lowest bit of the value counts (-1 and 1 "
         "on, 0 and 2 off). Without an open port: reads 0, setting does nothing."},
        {"WriteToPort",
         "Writes the text (converted to UTF-8) and a line feed to the port, one byte every 100 ms, at most 180 "
         "characters; then raises `SystemError` \"Write N bytes: 'TEXT'\" (N counts the line feed) as its "
         "report. Without an open port it does nothing. A failed write raises `SystemError` \"'WriteToPort': "
         "...\" and fails the call."},
        {"StateDSR", "The DSR line now: -1 on, 0 off; 0 without an open port. The same reading as `StateStartPost`."},
        {"StateCTS", "The CTS line now: -1 on, 0 off; 0 without an open port. The same reading as `StateFinishPost`."},
    };
    return notes;
}

// Who raises each event, and on which thread.
const std::map<std::string, std::string>& EventNotes() {
    static const std::map<std::string, std::string> notes{
        {"StartNumberRequest",
         "A start number (0 to 1665) arrived whole and checked. Raised by the tick on the server's main thread "
         "(at most 250 ms after the frame); by `StartNumberTest` at once, on the caller's thread. Confirm it with "
         "`StartNumberOK`."},
        {"StartNumberFault",
         "A frame that failed: *ErrorCode* and *ErrorMessage* as in [StartNumberFault's codes]"
         "(#startnumberfaults-codes). Raised by the tick on the main thread, or by `StartNumberTest`."},
        {"SystemError",
         "A failure, in words (see [SystemError's messages](#systemerrors-messages)); the message ends in "
         "\"\\r\\n\" when it carries the platform's text. Raised on the thread of the operation that failed: the "
         "main thread for client calls and the tick, the listener thread for failed writes and battery handling "
         "while bytes arrive."},
        {"StartPostStateChanged",
         "The start post went on or off line (DSR): *state* -1 on line, 0 off. Raised by the tick on the main "
         "thread, with the line's state at the tick; several changes between two ticks give one event."},
        {"FinishPostStateChanged",
         "The finish post went on or off line (CTS): *state* -1 on line, 0 off. Raised by the tick on the main "
         "thread, as `StartPostStateChanged`."},
        {"BatteryTestReady",
         "The measurement that `StartBatteryTest` started has ended: *DeviceSelector* \"StartPost\" or "
         "\"FinishPost\", *Voltage* in volts (2.5 / (1 - e^-t) for the answer's delay t in seconds: 9 V is about "
         "0.325 s). Raised by the tick on the main thread."},
        {"SP_PortOpened", "`Open` succeeded. Raised on the main thread, after `SP_Reset`."},
        {"SP_PortClosed",
         "A port was closed: by `Close`, by an `Open` that closes the port before opening one, by the "
         "inter-character timeout's close and reopen, or when the driver object ends. Raised on the main thread."},
        {"SP_Reset", "The reset byte went out (`ResetStartPost`, and every `Open`). Raised on the main thread."},
        {"InputReceived",
         "Every byte in both directions and every line change, as text: \"Read: '0x3f'\", \"Write: '0xf0' "
         "(Acknowledge)\", \"Timeout\", \"DSR\", \"CTS\", \"RLSD\". Raised on the listener thread for what "
         "arrives and for the acknowledges written there, on the writing thread for other writes."},
    };
    return notes;
}

// The server's thread that raises each event, and so sends its signal to
// the bus: the main thread runs every call and the tick, the listener is
// the open port's own thread.
const std::map<std::string, std::string>& EventThreads() {
    static const std::map<std::string, std::string> threads{
        {"StartNumberRequest", "main (the tick, `StartNumberTest`)"},
        {"StartNumberFault", "main (the tick, `StartNumberTest`)"},
        {"SystemError",
         "main (calls, the tick); listener (a failed acknowledge, a battery test's line change, while bytes "
         "arrive)"},
        {"StartPostStateChanged", "main (the tick)"},
        {"FinishPostStateChanged", "main (the tick)"},
        {"BatteryTestReady", "main (the tick)"},
        {"SP_PortOpened", "main (`Open`, the tick's reopen after an inter-character timeout)"},
        {"SP_PortClosed", "main"},
        {"SP_Reset", "main"},
        {"InputReceived",
         "listener (what arrives: bytes, line changes, \"Timeout\"; the acknowledges of a frame's bytes 1 to "
         "3); main (the writes of calls: `StartNumberOK`'s acknowledge, the reset byte, `WriteToPort`)"},
    };
    return threads;
}

std::string Parameters(const MemberDesc& m) {
    std::string text;
    for (std::size_t i = 0; i < m.params.size(); ++i) {
        const auto& p = m.params[i];
        std::string direction = "in";
        if (p.flags & PARAMFLAG_FRETVAL)
            direction = "out, retval";
        else if (p.flags & PARAMFLAG_FOUT)
            direction = "out";
        text += (i ? ", " : "") + std::string("`[") + direction + "] " + IdlTypeName(p.type) +
                (p.name ? " " + Text(p.name) : std::string()) + "`";
    }
    return text.empty() ? "none" : text;
}

std::string Kind(MemberKind kind) {
    switch (kind) {
    case MemberKind::PropertyGet: return "get";
    case MemberKind::PropertyPut: return "put";
    case MemberKind::Method: break;
    }
    return "method";
}

std::string Note(const std::map<std::string, std::string>& notes, const std::string& name) {
    const auto it = notes.find(name);
    return it == notes.end() ? std::string() : it->second;
}

std::string Interface(const InterfaceDesc& d) {
    const bool events = d.kind == platform::InterfaceKind::DispInterface;
    std::string text = "## " + Text(d.name) + "\n\n" +
                       (events ? "Dispinterface" : "Dual interface, derived from `IDispatch`") + ", IID `" +
                       Guid(d.iid) + "`, \"" + Text(d.help) + "\".\n\n";
    text += events ? "| Event | DISPID | Arguments |\n|---|---|---|\n"
                   : "| # | Member | Kind | DISPID | Parameters |\n|---|---|---|---|---|\n";
    int position = 0;
    for (const auto& m : d.members) {
        text += events ? "| `" + Text(m.name) + "` | " + std::to_string(m.dispid) + " | " + Parameters(m) + " |\n"
                       : "| " + std::to_string(++position) + " | `" + Text(m.name) + "` | " + Kind(m.kind) + " | " +
                             std::to_string(m.dispid) + " | " + Parameters(m) + " |\n";
    }
    text += "\n";
    // One paragraph per name: a property's getter and setter share it.
    std::string last;
    for (const auto& m : d.members) {
        const std::string name = Text(m.name);
        if (name == last) continue;
        last = name;
        text += "**" + name + "**: " + Note(events ? EventNotes() : MemberNotes(), name) +
                "\n\n"
                "> " +
                Text(m.help) + "\n\n";
    }
    return text;
}

std::string Quoted(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) text += (text.empty() ? "`" : ", `") + name + "`";
    return text;
}

// The events as a client of the session bus receives them.
std::string BusSignals() {
    std::string text = R"(## On the session bus

The server serves the same object on the session bus (bus name
`org.trelvane.Tarvik1`, object `/org/trelvane/Tarvik`; its methods,
properties, errors and lifetime are in [dbus.md](dbus.md)). Every event above
reaches a bus client as the signal of the same name on the interface
`org.trelvane.Tarvik1`, with the event's arguments (`FLOAT` as a double),
sent by the server's thread that raises the event, as it raises it: the
main thread, which runs every call and the 250 ms tick, or the listener,
the open port's own thread.

| Event | Signal | Raised on | Then `PropertiesChanged` with |
|---|---|---|---|
)";
    for (const auto& signal : dbus::TarvikBusInterface().signals) {
        std::string args;
        for (const auto& arg : signal.args)
            args += (args.empty() ? "" : ", ") + std::string(1, dbus::TypeCode(arg.type)) + " " + arg.name;
        std::string changes;
        if (!signal.changesWithFirstArg.empty()) changes = Quoted(signal.changesWithFirstArg) + ": the event's value";
        if (!signal.invalidates.empty())
            changes += (changes.empty() ? "" : "; ") + Quoted(signal.invalidates) + ": invalidated";
        text += "| `" + signal.name + "` | `" + signal.name + "(" + args + ")` | " + Note(EventThreads(), signal.name) +
                " | " + (changes.empty() ? "nothing" : changes) + " |\n";
    }
    return text + R"md(
What a bus client can count on:

- The signals come in the order in which the events were raised, by both
  threads together: the order an automation client's sink sees. Each
  signal goes out as it is raised, under the one lock of the bus
  connection.
- For each of a frame's bytes 1 to 3, the `InputReceived` "Read: '0x..'"
  of the byte comes before the "Write: '0xf0' (Acknowledge)" of its
  acknowledge, although the acknowledge has gone to the device before
  either signal is sent: no bus client delays it.
- Every byte's "Read" comes before the frame's `StartNumberRequest`,
  which the tick raises up to 250 ms after the last byte; the
  acknowledge that confirms the number comes after it, from the client's
  `StartNumberOK`.
- A `PropertiesChanged` follows the signal of the event that tells of the
  change at once (the table's last column).
- The signals that a call raises (`Open`'s `SP_Reset` and
  `SP_PortOpened`, a refused call's `SystemError`) come before its answer.
- A bus daemon that takes nothing for long makes the server drop the
  signals beyond a bounded queue, with a log line ([dbus.md](dbus.md),
  "Events and threads"); the signals that do arrive keep their order.

)md";
}

constexpr const char* kIntroduction = R"(# Reference of the driver object

Written by `trelvane-idl --reference` from the contract's description
(`contract/contract.cpp`); a test keeps this page equal to it, so change
the source, not this page.

The server `trelvane` serves one object of the class `CTarvik` to every
client of a user (ProgIDs `Trelvane.Tarvik` and `Trelvane.Tarvik.1`).
A client calls it through `ITarvik` (the default interface) and
`ITarvikTest`, by vtable or late-bound through `IDispatch` with the
DISPIDs below (names are looked up without regard to case), and is told
what happens by the events of `_ITarvikEvents` (the default source) and
`_ITarvikTestEvents`, which it receives by connecting a sink to the
object's connection points.

Types: `LONG` a signed 32-bit integer, `SHORT` a signed 16-bit integer,
`FLOAT` an IEEE single, `VARIANT_BOOL` the automation boolean
(`VARIANT_TRUE` = -1, `VARIANT_FALSE` = 0), `BSTR` a UTF-16 automation
string. Every member returns an `HRESULT`: `S_OK` (0) on success unless
its paragraph says otherwise; a setter whose change the port refuses
raises `SystemError` and fails the call.

Threads: every call runs on the server's main thread, one at a time, and
so does the 250 ms tick that reports what the device sent; the listener
thread of the open port raises `InputReceived` and the `SystemError`s of
writes made there. Events are sent to remote sinks one way, in the order
raised; a sink may call the object from inside an event (`StartNumberOK`
from `StartNumberRequest`, `Close` from anywhere). A client of the
session bus receives them as signals ([On the session
bus](#on-the-session-bus)).

)";

constexpr const char* kCodes = R"(## Open's status

`Open` returns `S_OK` with `Status` 0, or `S_FALSE` (1) with one of these
after a `SystemError` whose message is "'TEXT': " followed by the
platform's message for the port's last result code (for example
"'COM3': The system cannot find the file specified.\r\n"):

| Status | Failing step | TEXT |
|---|---|---|
| 0 | none: the port is open | (no `SystemError`) |
| 1 | opening the port | the device name, "COM3" |
| 2 | the line settings (68 baud, 8 data bits) | "Port setting" |
| 3 | the event mask | "Event mask" |
| 4 | reading the line settings back | "COM state" |
| 5 | switching RTS off | "Set RTS" |
| 6 | switching DTR off | "Reset DTR" |

Status 1 with "Access is denied." means that another program holds the
port, or that the user may not open the device (see
`troubleshooting.md`). After a failure at 2 to 6 the port stays open but
unusable until the next `Close` or `Open`.

## StartNumberFault's codes

| ErrorCode | ErrorMessage | When |
|---|---|---|
| 1 | "Bytes in 1st and 2nd set not equal" | the frame's two halves differ; `StartNumber` is then -1 |
| 2 | "Illegal startpost number" | a frame decoded while `StartNumberTest` set -2 |
| 2 | "Illegal startnumber" | `StartNumberTest` with 0 or less |
| 3 | "Intercharacter timeout" | silence longer than `InterCharacterTimeout` inside a frame: the frame is dropped and the port closed and reopened (`SP_PortClosed`, `SP_Reset`, `SP_PortOpened`) |

The help string of `StartNumberFault` names codes 1 and 2 the other way
round; the codes raised are those of this table.

## SystemError's messages

"'TEXT': MESSAGE" carries the platform's MESSAGE for the port's last
result code, with its line end; a message without quotes is the driver's
own.

| Message | Raised by |
|---|---|
| "'COMn': ...", "'Port setting': ...", "'Event mask': ...", "'COM state': ...", "'Set RTS': ...", "'Reset DTR': ..." | `Open`, with its status (above) |
| "'Set DTR': ...", "'Set RTS': ...", "'Set parity': ...", "'Set BaudRate': ...", "'Set DataBits': ...", "'Set StopBits': ...", "'Set ParityCheck': ..." | a property change that the port refused; the call fails |
| "'Acknowledge': ...", "'Reset': ...", "'WriteToPort': ..." | a write to the device that failed |
| "Device off line", "Battery test allready active" | `StartBatteryTest` returning `S_FALSE` |
| "Write N bytes: 'TEXT'" | `WriteToPort` that succeeded |
| "'StartBatteryTest error setting state': ...", "'StartBatteryTest': ..." | a line change of the battery test that failed |

A message holds at most 199 characters.
)";

}  // namespace

std::string RenderReference() {
    const auto& library = TrelvaneLibrary();
    std::string text = kIntroduction;
    for (const auto* c : library.coclasses)
        text += "Class `" + Text(c->name) + "`, CLSID `" + Guid(c->clsid) + "`, \"" + Text(c->help) +
                "\"; type library `" + Text(library.name) + "` " + std::to_string(library.majorVersion) + "." +
                std::to_string(library.minorVersion) + ", LIBID `" + Guid(library.libid) + "`.\n\n";
    for (const auto* d : library.interfaces) text += Interface(*d);
    return text + BusSignals() + kCodes;
}

}  // namespace trelvane::contract
