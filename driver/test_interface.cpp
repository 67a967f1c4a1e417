// ITarvikTest: the line settings of the open port, the DSR and CTS lines, and
// an injected start number. WriteToPort is with the device commands.
#include <cmath>

#include "driver/tarvik.h"

namespace trelvane {
namespace {

constexpr const WCHAR* kParityNames[] = {TEXT("None"), TEXT("Odd"), TEXT("Even"), TEXT("Mark"), TEXT("Space")};

bool Same(BSTR a, const WCHAR* b) {
    const platform::WString left = a ? platform::WString(a, SysStringLen(a)) : platform::WString();
    return left == b;
}

}  // namespace

HRESULT CTarvik::put_StartNumberTest(LONG newVal) {
    return Guard([&] {
        {
            CriticalSectionLock lock(m_stateLock);
            m_startNumber = newVal;
        }
        if (newVal > 0) {
            Fire_StartNumberRequest(newVal);
            return S_OK;
        }
        const platform::Bstr message(TEXT("Illegal startnumber"));
        if (!message) return E_OUTOFMEMORY;
        Fire_StartNumberFault(2, message.Get());
        return S_OK;
    });
}

HRESULT CTarvik::get_ReadyToSend(VARIANT_BOOL* pVal) {
    if (pVal == nullptr) return E_POINTER;
    platform::MutexLock lock(m_settingsLock);
    *pVal = (m_portHandle && m_dcb && m_dcb->fRtsControl == RTS_CONTROL_ENABLE) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT CTarvik::put_ReadyToSend(VARIANT_BOOL newVal) {
    return Guard([&] {
        ChangeLineSetting(TEXT("Set RTS"),
                          [newVal](DCB& dcb) { dcb.fRtsControl = newVal ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE; });
        return S_OK;
    });
}

HRESULT CTarvik::get_Parity(BSTR* pVal) {
    if (pVal == nullptr) return E_POINTER;
    platform::MutexLock lock(m_settingsLock);
    if (!m_portHandle || !m_dcb) {
        *pVal = nullptr;
        return S_OK;
    }
    // A parity the table does not name reads as an empty string.
    *pVal = SysAllocString(m_dcb->Parity <= SPACEPARITY ? kParityNames[m_dcb->Parity] : TEXT(""));
    return S_OK;
}

HRESULT CTarvik::put_Parity(BSTR newVal) {
    return Guard([&] {
        ChangeLineSetting(TEXT("Set parity"), [newVal](DCB& dcb) {
            for (BYTE value = 0; value <= SPACEPARITY; ++value)
                if (Same(newVal, kParityNames[value])) {
                    dcb.Parity = value;
                    break;
                }
        });
        return S_OK;
    });
}

HRESULT CTarvik::get_BaudRate(LONG* pVal) {
    if (pVal == nullptr) return E_POINTER;
    platform::MutexLock lock(m_settingsLock);
    *pVal = (m_portHandle && m_dcb) ? static_cast<LONG>(m_dcb->BaudRate) : -1;
    return S_OK;
}

HRESULT CTarvik::put_BaudRate(LONG newVal) {
    return Guard([&] {
        ChangeLineSetting(TEXT("Set BaudRate"), [newVal](DCB& dcb) { dcb.BaudRate = static_cast<DWORD>(newVal); });
        return S_OK;
    });
}

HRESULT CTarvik::get_DataBits(SHORT* pVal) {
    if (pVal == nullptr) return E_POINTER;
    platform::MutexLock lock(m_settingsLock);
    *pVal = (m_portHandle && m_dcb) ? static_cast<SHORT>(m_dcb->ByteSize) : static_cast<SHORT>(-1);
    return S_OK;
}

HRESULT CTarvik::put_DataBits(SHORT newVal) {
    return Guard([&] {
        ChangeLineSetting(TEXT("Set DataBits"),
                          [newVal](DCB& dcb) { dcb.ByteSize = static_cast<BYTE>(newVal & 0xFF); });
        return S_OK;
    });
}

HRESULT CTarvik::get_StopBits(FLOAT* pVal) {
    if (pVal == nullptr) return E_POINTER;
    platform::MutexLock lock(m_settingsLock);
    if (!m_portHandle || !m_dcb) return S_OK;  // nothing is stored
    switch (m_dcb->StopBits) {
    case ONESTOPBIT: *pVal = 1.0f; break;
    case ONE5STOPBITS: *pVal = 1.5f; break;
    case TWOSTOPBITS: *pVal = 2.0f; break;
    default: break;
    }
    return S_OK;
}

HRESULT CTarvik::put_StopBits(FLOAT newVal) {
    return Guard([&] {
        ChangeLineSetting(TEXT("Set StopBits"), [newVal](DCB& dcb) {
            const double tenths = static_cast<double>(newVal) * 10.0;
            // NaN, the infinities and numbers far beyond any stop-bit count
            // map to nothing, as 2.5 does.
            if (!(std::fabs(tenths) < 1000.0)) return;
            switch (static_cast<int>(tenths)) {  // truncated toward zero
            case 10: dcb.StopBits = ONESTOPBIT; break;
            case 15: dcb.StopBits = ONE5STOPBITS; break;
            case 20: dcb.StopBits = TWOSTOPBITS; break;
            default: break;  // no change, but the settings are applied all the same
            }
        });
        return S_OK;
    });
}

HRESULT CTarvik::get_ParityCheck(VARIANT_BOOL* pVal) {
    if (pVal == nullptr) return E_POINTER;
    platform::MutexLock lock(m_settingsLock);
    *pVal = (m_portHandle && m_dcb && m_dcb->fParity) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT CTarvik::put_ParityCheck(VARIANT_BOOL newVal) {
    return Guard([&] {
        ChangeLineSetting(TEXT("Set ParityCheck"), [newVal](DCB& dcb) { dcb.fParity = newVal & 1; });
        return S_OK;
    });
}

HRESULT CTarvik::get_StateDSR(VARIANT_BOOL* pVal) {
    if (pVal == nullptr) return E_POINTER;
    *pVal = (m_channel.PortHandle() && m_channel.IsDsrOn()) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT CTarvik::get_StateCTS(VARIANT_BOOL* pVal) {
    if (pVal == nullptr) return E_POINTER;
    *pVal = (m_channel.PortHandle() && m_channel.IsCtsOn()) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

}  // namespace trelvane
