// Device commands: the final acknowledge, the reset byte, and raw text.
#include <cstdio>
#include <cstring>
#include <new>

#include "driver/tarvik.h"
#include "platform/windows.h"

namespace trelvane {

HRESULT CTarvik::StartNumberOK(LONG StartNumber) {
    return Guard([&] {
        if (StartNumber != m_startNumber) return S_FALSE;  // nothing is written
        WriteDeviceByte(protocol::kAcknowledge, TEXT("Acknowledge"));
        return S_OK;
    });
}

HRESULT CTarvik::ResetStartPost() {
    return Guard([&] {
        // The frame is emptied before the reset byte goes out, so that a
        // device answering at once has the new frame's first bytes kept; a
        // byte of the old frame still being acknowledged is dropped (see
        // TakeFrameByte). The listen bound is left as it is.
        BYTE oldFrame[protocol::kFrameLength];
        LONG oldCount;
        ULONG emptied;
        {
            CriticalSectionLock lock(m_stateLock);
            std::memcpy(oldFrame, m_frame, sizeof oldFrame);
            oldCount = m_frameCount;
            ClearFrame();
            emptied = m_frameGeneration;
        }
        try {
            WriteDeviceByte(protocol::kReset, TEXT("Reset"));
        } catch (const DriverFailure&) {
            // The device was not reset as far as the line tells: unless bytes
            // came in meanwhile, the frame it is sending goes on.
            {
                CriticalSectionLock lock(m_stateLock);
                if (m_frameGeneration == emptied && m_frameCount == 0) {
                    std::memcpy(m_frame, oldFrame, sizeof m_frame);
                    m_frameCount = oldCount;
                }
            }
            throw;
        }
        Fire_SP_Reset();
        return S_OK;
    });
}

HRESULT CTarvik::WriteToPort(BSTR strToWrite) {
    return Guard([&] {
        // The text ends at its first zero character.
        const platform::WString text = strToWrite ? platform::WString(strToWrite) : platform::WString();
        const std::string bytes = platform::ToUtf8(text);
        if (!m_channel.PortHandle()) return S_OK;
        // The text with its line feed and terminator, and the summary, must
        // fit their buffers: refuse what does not, before writing anything.
        char summaryHead[48];
        std::snprintf(summaryHead, sizeof summaryHead, "Write %zu bytes: ''", bytes.size() + 1);
        const std::size_t summaryLength = std::char_traits<char>::length(summaryHead) + text.size();
        static_assert(std::char_traits<char>::length("Write 181 bytes: ''") + kLongestWriteText == kLongestMessage);
        if (bytes.size() + 2 > kWriteBufferBytes || summaryLength > kLongestMessage) {
            char message[120];
            std::snprintf(message, sizeof message,
                          "WriteToPort: text of %zu bytes is too long; at most %zu characters can be written",
                          bytes.size(), kLongestWriteText);
            ReportText(platform::FromUtf8(message));
            return E_INVALIDARG;
        }
        for (char c : bytes + "\n") {
            WriteDeviceByte(static_cast<BYTE>(c), TEXT("WriteToPort"));
            Sleep(100);
        }
        char head[32];
        std::snprintf(head, sizeof head, "Write %zu bytes: '", bytes.size() + 1);
        ReportText(platform::FromUtf8(head) + text + TEXT("'"));
        return S_OK;
    });
}

}  // namespace trelvane
