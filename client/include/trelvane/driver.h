// The Trelvane driver for C++ programs: the driver object with standard
// types, its events as callables, and its failures as exceptions. It needs
// none of the automation header's names and declares no macros.
//
//   trelvane::Driver driver;                        // starts the server if need be
//   driver.OnStartNumberRequest([&](long number) { driver.StartNumberOK(number); });
//   driver.Open(3);
//   driver.RunEvents(stop);                         // or poll EventDescriptor()
//
// The driver object lives on a thread of the Driver's own; every call goes
// there and waits for its result. Events are queued and run, in the order
// the driver raised them, on the thread that calls DispatchEvents or
// RunEvents: a handler may call the Driver.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>

#include <trelvane/open_status.h>

namespace trelvane {

// The category of the driver's errors: the value is the failed call's
// HRESULT. A std::system_error of it has the driver's own text in what().
const std::error_category& DriverCategory();

class Driver {
public:
    // Creates the driver object ("Trelvane.Tarvik"), starting its server
    // when none runs. Throws std::system_error when that fails (the server
    // not registered: CO_E_CLASSSTRING, 0x800401F3, for the unknown ProgID).
    Driver();
    // Disconnects from the driver object; the port stays as it is, since
    // other clients share it. Events not yet dispatched are dropped.
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // The methods and properties of the driver object (docs/reference.md).
    // Each throws std::system_error when the call fails.
    // Opens COM<port>: Opened, or the step that failed (a SystemError event
    // then says why).
    OpenStatus Open(int port);
    void Close();
    void ResetStartPost();
    // Confirms the start number received last: false (nothing sent) when
    // the number is not that one.
    bool StartNumberOK(long startNumber);
    // The open port's number; none when no port is open.
    std::optional<int> PortNumber();
    // The start number received last; none when there is none.
    std::optional<long> StartNumber();
    std::chrono::milliseconds InterCharacterTimeout();
    void SetInterCharacterTimeout(std::chrono::milliseconds timeout);
    bool StateDTR();
    void SetStateDTR(bool on);
    bool StateStartPost();
    bool StateFinishPost();
    // "StartPost" or "FinishPost": true when the measurement started (the
    // voltage comes as a BatteryTestReady event), false after a SystemError.
    bool StartBatteryTest(std::string_view device);

    // The test interface: line settings and injected input.
    void InjectStartNumber(long startNumber);
    bool ReadyToSend();
    void SetReadyToSend(bool on);
    std::string Parity();
    void SetParity(std::string_view parity);
    long BaudRate();
    void SetBaudRate(long baud);
    int DataBits();
    void SetDataBits(int bits);
    float StopBits();
    void SetStopBits(float bits);
    bool ParityCheck();
    void SetParityCheck(bool on);
    void WriteToPort(std::string_view text);
    bool StateDSR();
    bool StateCTS();

    // Event handlers; an empty one ignores its event. Set them before events
    // are dispatched, or from the thread that dispatches them.
    void OnStartNumberRequest(std::function<void(long startNumber)> handler);
    void OnStartNumberFault(std::function<void(int code, const std::string& message)> handler);
    void OnSystemError(std::function<void(const std::string& message)> handler);
    void OnStartPostStateChanged(std::function<void(bool on)> handler);
    void OnFinishPostStateChanged(std::function<void(bool on)> handler);
    void OnBatteryTestReady(std::function<void(const std::string& device, float voltage)> handler);
    void OnPortOpened(std::function<void()> handler);
    void OnPortClosed(std::function<void()> handler);
    void OnReset(std::function<void()> handler);
    void OnInputReceived(std::function<void(const std::string& text)> handler);

    // For a program's own loop: readable (POLLIN) while events wait.
    int EventDescriptor() const;
    // Runs the handlers of the events waiting now; how many ran. Never waits.
    // An exception from a handler leaves it; the later events stay queued.
    std::size_t DispatchEvents();
    // Runs handlers as events come until stop is requested.
    void RunEvents(std::stop_token stop);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace trelvane
