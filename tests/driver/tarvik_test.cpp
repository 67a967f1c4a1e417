// The driver object: defaults, Open and Close, properties and the test interface.
#include <limits>

#include "tests/driver/driver_fixture.h"

namespace trelvane {
namespace {

using namespace trelvane::testing;

TEST_P(DriverTest, NewObjectDefaultsAndSettersWithoutAPort) {
    LONG l = 0;
    VARIANT_BOOL b = 1;
    tarvik->get_PortNumber(&l);
    EXPECT_EQ(l, -1);
    tarvik->get_StartNumber(&l);
    EXPECT_EQ(l, -1);
    tarvik->get_InterCharacterTimeout(&l);
    EXPECT_EQ(l, 1500);
    tarvik->get_StateDTR(&b);
    EXPECT_EQ(b, VARIANT_FALSE);
    tarvik->get_StateStartPost(&b);
    EXPECT_EQ(b, VARIANT_FALSE);
    test->get_BaudRate(&l);
    EXPECT_EQ(l, -1);
    SHORT bits = 0;
    test->get_DataBits(&bits);
    EXPECT_EQ(bits, -1);
    BSTR parity = const_cast<BSTR>(TEXT("x"));  // not null, to see the getter clear it
    test->get_Parity(&parity);
    EXPECT_EQ(parity, nullptr);
    FLOAT stop = 9.0f;
    test->get_StopBits(&stop);
    EXPECT_EQ(stop, 9.0f);  // nothing stored
    EXPECT_EQ(tarvik->put_StateDTR(VARIANT_TRUE), S_OK);
    EXPECT_EQ(test->put_BaudRate(9600), S_OK);
    EXPECT_EQ(test->put_ReadyToSend(VARIANT_TRUE), S_OK);
    tarvik->get_StateDTR(&b);
    EXPECT_EQ(b, VARIANT_FALSE);
    for (LONG value : {0, -5}) {
        tarvik->put_InterCharacterTimeout(value);
        tarvik->get_InterCharacterTimeout(&l);
        EXPECT_EQ(l, value);
    }
    EXPECT_EQ(tarvik->Close(), S_OK);
    EXPECT_TRUE(log.Texts().empty());
}

TEST_P(DriverTest, OpenOfAMissingPortReportsStatusOne) {
    EXPECT_EQ(Open(7), 1);
    LONG port = 0;
    tarvik->get_PortNumber(&port);
    EXPECT_EQ(port, -1);
    EXPECT_EQ(log.Texts(),
              (std::vector<std::string>{"SystemError 'COM7': The system cannot find the file specified.\r\n"}));
}

TEST_P(DriverTest, OpenSetsTheDeviceUpAndRaisesItsEventsInOrder) {
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{"InputReceived Write: '0' (Reset)", "SP_Reset", "SP_PortOpened"}));
    EXPECT_EQ(device->ReadByte(2s), std::optional<std::uint8_t>(protocol::kReset));
    const auto settings = device->Settings();
    EXPECT_EQ(settings.baud, 68u);
    EXPECT_EQ(settings.dataBits, 8);
    EXPECT_EQ(settings.parity, 0);
    EXPECT_EQ(settings.stopBits, 0);
    EXPECT_TRUE(device->WaitLines([](bool dtr, bool rts) { return !dtr && !rts; }, 2s));
    LONG l = 0;
    tarvik->get_PortNumber(&l);
    EXPECT_EQ(l, 3);
    test->get_BaudRate(&l);
    EXPECT_EQ(l, 68);
    SHORT bits = 0;
    test->get_DataBits(&bits);
    EXPECT_EQ(bits, 8);
    platform::Bstr parity;
    test->get_Parity(parity.Out());
    EXPECT_EQ(parity.View(), TEXT("None"));
    FLOAT stop = 0;
    test->get_StopBits(&stop);
    EXPECT_EQ(stop, 1.0f);
    VARIANT_BOOL b = 1;
    test->get_ReadyToSend(&b);
    EXPECT_EQ(b, VARIANT_FALSE);
    test->get_ParityCheck(&b);
    EXPECT_EQ(b, VARIANT_FALSE);
}

TEST_P(DriverTest, OpenOnASecondPortClosesTheFirstAndCloseTwiceRaisesOnce) {
    auto second = trelvane::DeviceEnd::Create(home.Path(), 4);
    ASSERT_TRUE(second);
    ASSERT_EQ(Open(3), 0);
    log.Clear();
    ASSERT_EQ(Open(4), 0);
    EXPECT_EQ(log.Texts().front(), "SP_PortClosed");
    EXPECT_EQ(log.Texts().back(), "SP_PortOpened");
    EXPECT_TRUE(device->WaitDisconnected(2s));
    EXPECT_TRUE(second->Connected());
    LONG l = 0;
    tarvik->get_PortNumber(&l);
    EXPECT_EQ(l, 4);
    log.Clear();
    EXPECT_EQ(tarvik->Close(), S_OK);
    EXPECT_EQ(tarvik->Close(), S_OK);
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"SP_PortClosed"});
    tarvik->get_PortNumber(&l);
    EXPECT_EQ(l, -1);
}

TEST_P(DriverTest, LineSettingsThroughTheTestInterface) {
    ASSERT_EQ(Open(), 0);
    log.Clear();
    FLOAT stop = 0;
    // The platform allows one and a half stop bits with five data bits only.
    EXPECT_TRUE(FAILED(test->put_StopBits(1.5f)));
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"SystemError 'Set StopBits': The parameter is incorrect.\r\n"});
    log.Clear();
    ASSERT_EQ(test->put_DataBits(5), S_OK);
    ASSERT_EQ(test->put_StopBits(1.5f), S_OK);
    test->get_StopBits(&stop);
    EXPECT_FLOAT_EQ(stop, 1.5f);
    ASSERT_EQ(test->put_StopBits(2.5f), S_OK);  // maps to nothing: unchanged
    test->get_StopBits(&stop);
    EXPECT_FLOAT_EQ(stop, 1.5f);
    ASSERT_EQ(test->put_StopBits(1.0f), S_OK);
    ASSERT_EQ(test->put_DataBits(8), S_OK);
    VARIANT_BOOL b = 0;
    ASSERT_EQ(test->put_ParityCheck(1), S_OK);
    test->get_ParityCheck(&b);
    EXPECT_EQ(b, VARIANT_TRUE);
    ASSERT_EQ(test->put_ParityCheck(2), S_OK);  // the lowest bit counts
    test->get_ParityCheck(&b);
    EXPECT_EQ(b, VARIANT_FALSE);
    ASSERT_EQ(test->put_Parity(platform::Bstr(TEXT("odd")).Get()), S_OK);  // names are exact: unchanged
    platform::Bstr parity;
    test->get_Parity(parity.Out());
    EXPECT_EQ(parity.View(), TEXT("None"));
    ASSERT_EQ(test->put_ReadyToSend(VARIANT_TRUE), S_OK);
    EXPECT_TRUE(device->WaitLines([](bool, bool rts) { return rts; }, 2s));
    ASSERT_EQ(tarvik->put_StateDTR(VARIANT_TRUE), S_OK);
    EXPECT_TRUE(device->WaitLines([](bool dtr, bool) { return dtr; }, 2s));
    tarvik->get_StateDTR(&b);
    EXPECT_EQ(b, VARIANT_TRUE);
    EXPECT_TRUE(log.Named("SystemError").empty());
}

TEST_P(DriverTest, StopBitsThatAreNoNumberOrFarTooLargeChangeNothing) {
    ASSERT_EQ(Open(), 0);
    const FLOAT odd[] = {std::numeric_limits<FLOAT>::quiet_NaN(),
                         std::numeric_limits<FLOAT>::infinity(),
                         -std::numeric_limits<FLOAT>::infinity(),
                         1e30f,
                         -1e30f,
                         std::numeric_limits<FLOAT>::max()};
    for (FLOAT value : odd) {
        EXPECT_EQ(test->put_StopBits(value), S_OK) << value;
        FLOAT stop = 0;
        test->get_StopBits(&stop);
        EXPECT_EQ(stop, 1.0f) << value;
    }
    EXPECT_TRUE(log.Named("SystemError").empty());
}

TEST_P(DriverTest, SetterFailureNamesTheFailingCallsOwnError) {
    ASSERT_EQ(Open(), 0);
    device->RefuseSettings(true);
    log.Clear();
    EXPECT_TRUE(FAILED(test->put_BaudRate(300)));
    // The platform's message for the refused SetCommState, not for the
    // channel's last (successful) operation.
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"SystemError 'Set BaudRate': The parameter is incorrect.\r\n"});
    LONG baud = 0;
    test->get_BaudRate(&baud);
    EXPECT_EQ(baud, 68);  // the copy was put back
}

TEST_P(DriverTest, StartNumberTestInjectsANumberOrAFault) {
    ASSERT_EQ(test->put_StartNumberTest(123), S_OK);
    ASSERT_EQ(test->put_StartNumberTest(0), S_OK);
    EXPECT_EQ(log.Texts(),
              (std::vector<std::string>{"StartNumberRequest 123", "StartNumberFault 2,Illegal startnumber"}));
    LONG n = -1;
    tarvik->get_StartNumber(&n);
    EXPECT_EQ(n, 0);
}

TEST_P(DriverTest, LinesReadTheSameThroughBothInterfaces) {
    device->SetModemLines(true, true, false);
    ASSERT_EQ(Open(), 0);
    VARIANT_BOOL a = 0, b = 0;
    tarvik->get_StateStartPost(&a);
    test->get_StateDSR(&b);
    EXPECT_EQ(a, VARIANT_TRUE);
    EXPECT_EQ(a, b);
    tarvik->get_StateFinishPost(&a);
    test->get_StateCTS(&b);
    EXPECT_EQ(a, VARIANT_TRUE);
    EXPECT_EQ(a, b);
}

TEST_P(DriverTest, LateBoundCallsReachTheObject) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(tarvik->Invoke(9, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 1500);
    VARIANT port;
    VariantInit(&port);
    port.vt = VT_I4;
    port.lVal = 3;
    VARIANT status;
    VariantInit(&status);
    VARIANT statusRef;
    statusRef.vt = VT_BYREF | VT_VARIANT;
    statusRef.pvarVal = &status;
    VARIANT args[] = {statusRef, port};
    DISPPARAMS open{args, nullptr, 2, 0};
    ASSERT_EQ(tarvik->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &open, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(status.vt, VT_I4);
    EXPECT_EQ(status.lVal, 0);
    EXPECT_TRUE(Logged("SP_PortOpened"));
}

TRELVANE_BOTH_PLACEMENTS(DriverTest);

}  // namespace
}  // namespace trelvane
