// The battery test: select the post with DTR, start with RTS, and turn the
// time until RLSD changes into a voltage, V = 2.5 / (1 - e^-t).
#include <cmath>

#include "driver/tarvik.h"

namespace trelvane {

HRESULT CTarvik::StartBatteryTest(BSTR DeviceSelector) {
    return Guard([&] {
        if (m_batteryTestActive) {
            ReportText(TEXT("Battery test allready active"));
            return S_FALSE;
        }
        const platform::WString selector =
            DeviceSelector ? platform::WString(DeviceSelector, SysStringLen(DeviceSelector)) : platform::WString();
        __timeb64 start{};  // the measurement's start: RTS switched on
        try {
            if (selector == TEXT("StartPost") && m_channel.PortHandle() && m_channel.IsDsrOn()) {
                ChangeLineSetting(TEXT("Set DTR"), [](DCB& dcb) { dcb.fDtrControl = DTR_CONTROL_DISABLE; });
            } else if (selector == TEXT("FinishPost") && m_channel.PortHandle() && m_channel.IsCtsOn()) {
                ChangeLineSetting(TEXT("Set DTR"), [](DCB& dcb) { dcb.fDtrControl = DTR_CONTROL_ENABLE; });
            } else {
                ReportText(TEXT("Device off line"));
                return S_FALSE;
            }
            _ftime64_s(&start);
            ChangeLineSetting(TEXT("Set RTS"), [](DCB& dcb) { dcb.fRtsControl = RTS_CONTROL_ENABLE; });
        } catch (const DriverFailure& failure) {
            ReportError(TEXT("StartBatteryTest error setting state"), failure.error);
            return S_FALSE;
        }
        CriticalSectionLock lock(m_stateLock);
        m_batteryStartTime = start;
        m_batteryVoltage = -1.0f;
        m_batteryResultReady = false;
        m_batteryDevice = selector;
        m_batteryTestActive = true;
        return S_OK;
    });
}

void CTarvik::EndBatteryMeasurement() {
    const __timeb64 end = m_channel.RlsdChangeTime();
    {
        CriticalSectionLock lock(m_stateLock);
        const float t =
            static_cast<float>((static_cast<double>(end.time) + end.millitm / 1000.0) -
                               (static_cast<double>(m_batteryStartTime.time) + m_batteryStartTime.millitm / 1000.0));
        const float e = static_cast<float>(std::exp(-static_cast<double>(t)));
        m_batteryResultReady = true;
        m_batteryTestActive = false;
        m_batteryVoltage = static_cast<float>(2.5 / (1.0 - static_cast<double>(e)));
    }
    try {
        ChangeLineSetting(TEXT("Set RTS"), [](DCB& dcb) { dcb.fRtsControl = RTS_CONTROL_DISABLE; });
    } catch (const DriverFailure& failure) {
        ReportError(TEXT("StartBatteryTest"), failure.error);  // the voltage stands
    }
}

}  // namespace trelvane
