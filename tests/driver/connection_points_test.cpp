// Connection points: cookies, delivery, failing and re-entering sinks, and
// delivery on one thread while another connects.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/driver/recording_fixture.h"
#include "tests/support/property_sink.h"

namespace trelvane {
namespace {

using namespace trelvane::testing;
using platform::VariantBool;
using platform::VariantBstr;
using platform::VariantI4;
using platform::VariantR4;

class ConnectionPoints : public RecordingTest {
protected:
    void SetUp() override {
        RecordingTest::SetUp();
        ASSERT_EQ(container->FindConnectionPoint(contract::DIID__ITarvikEvents, events.Out()), S_OK);
        ASSERT_EQ(container->FindConnectionPoint(contract::DIID__ITarvikTestEvents, testEvents.Out()), S_OK);
    }
    void TearDown() override {
        events.Reset();
        testEvents.Reset();
        RecordingTest::TearDown();
        sinks.clear();
    }
    RecordingSink* Sink(REFIID iid = contract::DIID__ITarvikEvents) {
        sinks.push_back(platform::ComPtr<RecordingSink>::Attach(new RecordingSink(iid)));
        return sinks.back().Get();
    }
    HRESULT SystemError(const char16_t* text) {
        const platform::Bstr b(text);
        return Raise(contract::DIID__ITarvikEvents, 4, {VariantBstr(b.Get())});
    }

    platform::ComPtr<IConnectionPoint> events;
    platform::ComPtr<IConnectionPoint> testEvents;
    std::vector<platform::ComPtr<RecordingSink>> sinks;
};

TEST_P(ConnectionPoints, FoundAndEnumeratedInOrder) {
    platform::ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(IID_IPropertyNotifySink, point.Out()), S_OK);
    point.Reset();
    EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, point.Out()), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, nullptr), E_POINTER);
    platform::ComPtr<IEnumConnectionPoints> all;
    ASSERT_EQ(container->EnumConnectionPoints(all.Out()), S_OK);
    IConnectionPoint* found[4] = {};
    ULONG fetched = 0;
    EXPECT_EQ(all->Next(4, found, &fetched), S_FALSE);
    std::vector<platform::ComPtr<IConnectionPoint>> owned;
    for (ULONG i = 0; i < fetched && i < 4; ++i) owned.push_back(platform::ComPtr<IConnectionPoint>::Attach(found[i]));
    ASSERT_EQ(fetched, 3u);
    const IID order[] = {IID_IPropertyNotifySink, contract::DIID__ITarvikEvents, contract::DIID__ITarvikTestEvents};
    for (int i = 0; i < 3; ++i) {
        IID iid{};
        owned[i]->GetConnectionInterface(&iid);
        EXPECT_EQ(iid, order[i]);
    }
    owned.clear();
    all.Reset();
    platform::ComPtr<IConnectionPointContainer> itsContainer;
    ASSERT_EQ(events->GetConnectionPointContainer(itsContainer.Out()), S_OK);
    EXPECT_EQ(itsContainer.Get(), container.Get());
}

TEST_P(ConnectionPoints, CookiesAreSlotPositionsReusedAfterUnadvise) {
    DWORD a = 0, b = 0, c = 0;
    ASSERT_EQ(events->Advise(Sink(), &a), S_OK);
    ASSERT_EQ(events->Advise(Sink(), &b), S_OK);
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(b, 2u);
    ASSERT_EQ(events->Unadvise(a), S_OK);
    EXPECT_EQ(events->Unadvise(a), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(events->Unadvise(0), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(events->Unadvise(99), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(events->Advise(Sink(), &c), S_OK);
    EXPECT_EQ(c, 1u);
    for (int i = 0; i < 10; ++i) events->Advise(Sink(), &c);  // past 4 and 8 slots
    EXPECT_EQ(c, 12u);
    platform::ComPtr<IEnumConnections> connections;
    ASSERT_EQ(events->EnumConnections(connections.Out()), S_OK);
    CONNECTDATA data[16];
    ULONG fetched = 0;
    connections->Next(16, data, &fetched);
    EXPECT_EQ(fetched, 12u);
    for (ULONG i = 0; i < fetched; ++i) {
        const auto sink = platform::ComPtr<IUnknown>::Attach(data[i].pUnk);
        EXPECT_EQ(data[i].dwCookie, i + 1);
    }
}

// A client unadvises what it advised on a point of any kind: from another
// process too, where it may unadvise nothing else.
TEST_P(ConnectionPoints, APropertyChangeSinkIsUnadvisedByItsClient) {
    platform::ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(IID_IPropertyNotifySink, point.Out()), S_OK);
    const auto sink = platform::ComPtr<PropertySink>::Attach(new PropertySink);
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(sink.Get(), &cookie), S_OK);
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
}

TEST_P(ConnectionPoints, NullPointersAndWrongSinksGetThePlatformsCodes) {
    DWORD cookie = 5;
    EXPECT_EQ(events->Advise(nullptr, &cookie), E_POINTER);
    EXPECT_EQ(events->Advise(Sink(), nullptr), E_POINTER);
    EXPECT_EQ(events->Advise(Sink(contract::DIID__ITarvikTestEvents), &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(events->GetConnectionInterface(nullptr), E_POINTER);
    EXPECT_EQ(events->GetConnectionPointContainer(nullptr), E_POINTER);
    EXPECT_EQ(events->EnumConnections(nullptr), E_POINTER);
    EXPECT_EQ(container->EnumConnectionPoints(nullptr), E_POINTER);
    platform::ComPtr<IEnumConnectionPoints> all;
    ASSERT_EQ(container->EnumConnectionPoints(all.Out()), S_OK);
    EXPECT_EQ(all->Next(1, nullptr, nullptr), E_POINTER);
    EXPECT_EQ(all->Skip(5), S_FALSE);
    platform::ComPtr<IEnumConnectionPoints> copy;
    ASSERT_EQ(all->Clone(copy.Out()), S_OK);
    platform::ComPtr<IConnectionPoint> point;
    EXPECT_EQ(copy->Next(1, point.Out(), nullptr), S_FALSE);  // the clone keeps the position
    copy->Reset();
    ASSERT_EQ(copy->Next(1, point.Out(), nullptr), S_OK);
}

TEST_P(ConnectionPoints, EventsReachEverySinkWithTheirTypes) {
    EXPECT_EQ(SystemError(u"nobody listens"), S_OK);
    DWORD cookie;
    auto* first = Sink();
    auto* second = Sink();
    auto* test = Sink(contract::DIID__ITarvikTestEvents);
    events->Advise(first, &cookie);
    events->Advise(second, &cookie);
    testEvents->Advise(test, &cookie);
    const platform::Bstr post(u"StartPost");
    const platform::Bstr fault(u"Intercharacter timeout");
    Raise(contract::DIID__ITarvikEvents, 1, {VariantI4(123)});
    Raise(contract::DIID__ITarvikEvents, 2, {VariantI4(3), VariantBstr(fault.Get())});
    Raise(contract::DIID__ITarvikEvents, 5, {VariantBool(VARIANT_TRUE)});
    Raise(contract::DIID__ITarvikEvents, 7, {VariantBstr(post.Get()), VariantR4(3.955f)});
    Raise(contract::DIID__ITarvikTestEvents, 1, {});
    Raise(contract::DIID__ITarvikTestEvents, 4, {VariantBstr(post.Get())});
    const std::vector<std::string> expected{"1:I4 123", "2:I4 3,BSTR Intercharacter timeout", "5:BOOL -1",
                                            "7:BSTR StartPost,R4 3.955000"};
    EXPECT_EQ(first->Calls(), expected);
    EXPECT_EQ(second->Calls(), expected);
    EXPECT_EQ(test->Calls(), (std::vector<std::string>{"1:", "4:BSTR StartPost"}));
}

// The description of this thread's error information.
std::u16string ErrorDescription() {
    platform::ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Out()) != S_OK) return u"(none)";
    platform::Bstr description;
    info->GetDescription(description.Out());
    return std::u16string(description.View());
}

TEST_P(ConnectionPoints, AFailingOrThrowingSinkDoesNotStopTheOthers) {
    DWORD throwingCookie = 0, failingCookie = 0, cookie = 0;
    auto* throwing = Sink();
    auto* failing = Sink();
    auto* healthy = Sink();
    int thrown = 0;
    throwing->duringCall = [&thrown] {
        ++thrown;
        throw std::runtime_error("sink threw");
    };
    failing->failWith = E_FAIL;
    events->Advise(throwing, &throwingCookie);
    events->Advise(failing, &failingCookie);
    events->Advise(healthy, &cookie);
    if (Remote()) {
        // Events to another process are one-way: its sinks' failures stay
        // there, and what a sink throws is caught there (in this process).
        EXPECT_EQ(SystemError(u"x"), S_OK);
        EXPECT_EQ(SystemError(u"y"), S_OK);
        EXPECT_EQ(thrown, 2);
        EXPECT_EQ(failing->Calls().size(), 2u);
        EXPECT_EQ(healthy->Calls(), (std::vector<std::string>{"4:BSTR x", "4:BSTR y"}));
        return;
    }
    // The result and the error information are the last failure's.
    EXPECT_EQ(SystemError(u"x"), E_FAIL);
    EXPECT_EQ(ErrorDescription(), u"sink failed");
    ASSERT_EQ(events->Unadvise(failingCookie), S_OK);
    EXPECT_EQ(SystemError(u"y"), RPC_E_SERVERFAULT);
    EXPECT_EQ(ErrorDescription(), u"sink threw");
    EXPECT_EQ(thrown, 2);
    EXPECT_EQ(healthy->Calls(), (std::vector<std::string>{"4:BSTR x", "4:BSTR y"}));
}

TEST_P(ConnectionPoints, ClientInvokingTheObjectsEventInterfaceRaisesTheEvent) {
    DWORD cookie;
    auto* sink = Sink();
    events->Advise(sink, &cookie);
    platform::ComPtr<IDispatch> raise;
    ASSERT_EQ(object->QueryInterface(contract::DIID__ITarvikEvents, reinterpret_cast<void**>(raise.Out())), S_OK);
    const platform::Bstr fromClient(u"from a client");
    VARIANT text = VariantBstr(fromClient.Get());
    DISPPARAMS params{&text, nullptr, 1, 0};
    EXPECT_EQ(raise->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(sink->Calls(), (std::vector<std::string>{"4:BSTR from a client"}));
}

TEST_P(ConnectionPoints, SinksThatUnadviseOrAdviseDuringDelivery) {
    DWORD selfCookie = 0, victimCookie = 0, cookie = 0;
    auto* self = Sink();
    auto* victim = Sink();
    auto* late = Sink();
    // The first sink unadvises itself and the second, and advises a third.
    self->duringCall = [&] {
        events->Unadvise(selfCookie);
        events->Unadvise(victimCookie);
        events->Advise(late, &cookie);
    };
    events->Advise(self, &selfCookie);
    events->Advise(victim, &victimCookie);
    EXPECT_EQ(SystemError(u"one"), S_OK);
    EXPECT_EQ(self->Calls().size(), 1u);
    // Unadvised before its turn: not called. To another process the event
    // went one-way to both sinks at once, before the first ran.
    EXPECT_EQ(victim->Calls().size(), Remote() ? 1u : 0u);
    EXPECT_TRUE(late->Calls().empty());  // advised during the event: gets the next one
    self->duringCall = nullptr;
    EXPECT_EQ(SystemError(u"two"), S_OK);
    EXPECT_EQ(self->Calls().size(), 1u);
    EXPECT_EQ(late->Calls().size(), 1u);
}

// In process only: the raise on another thread and the release of the
// object are this process's own.
TEST_F(ConnectionPoints, DeliveryOnOneThreadWhileAnotherAdvises) {
    DWORD cookie;
    auto* steady = Sink();
    events->Advise(steady, &cookie);
    std::atomic<bool> done{false};
    std::thread raiser([&] {
        const platform::Bstr text(u"Read: '0x3f'");
        for (int i = 0; i < 3000; ++i) local->Fire_SystemError(text.Get());
        done = true;
    });
    // Slots come and go (and the list grows) while the other thread delivers.
    while (!done) {
        DWORD cookies[6];
        for (DWORD& cookie : cookies) {
            const auto churn =
                platform::ComPtr<RecordingSink>::Attach(new RecordingSink(contract::DIID__ITarvikEvents));
            events->Advise(churn.Get(), &cookie);
        }
        for (DWORD c : cookies) events->Unadvise(c);
    }
    raiser.join();
    EXPECT_EQ(steady->Calls().size(), 3000u);  // none lost, none twice
}

TEST_F(ConnectionPoints, ReleasingTheObjectReleasesItsSinks) {
    // The sink's count is what this test reads, so its references are counted by hand.
    auto* sink = new RecordingSink(contract::DIID__ITarvikEvents);
    DWORD cookie;
    events->Advise(sink, &cookie);
    EXPECT_EQ(sink->AddRef(), 3u);  // ours, the slot's, this one
    sink->Release();
    events.Reset();
    testEvents.Reset();
    container.Reset();
    object.Reset();
    local.Reset();
    EXPECT_EQ(sink->Release(), 0u);  // the object gave its reference back
}

// Enumerators of one state of the point share one copy of its sinks, a
// reference to each; a sink that comes or goes makes the next enumerator
// a copy of its own, and those before it keep what they saw. Before, each
// enumerator and clone copied every sink, which a client asking for many
// enumerators of many sinks multiplied.
TEST_F(ConnectionPoints, EnumeratorsOfOneStateShareOneCopyOfTheSinks) {
    // The sink's count is what this test reads, so its references are counted by hand.
    auto* sink = new RecordingSink(contract::DIID__ITarvikEvents);
    DWORD first = 0;
    ASSERT_EQ(events->Advise(sink, &first), S_OK);
    const auto count = [&] {
        sink->AddRef();
        return sink->Release();
    };
    const ULONG advised = count();  // ours and the slot's
    std::vector<platform::ComPtr<IEnumConnections>> before(10);
    for (auto& e : before) ASSERT_EQ(events->EnumConnections(e.Out()), S_OK);
    platform::ComPtr<IEnumConnections> clone;
    ASSERT_EQ(before[0]->Clone(clone.Out()), S_OK);
    EXPECT_EQ(count(), advised + 1);
    DWORD second = 0;
    ASSERT_EQ(events->Advise(Sink(), &second), S_OK);
    std::vector<platform::ComPtr<IEnumConnections>> after(10);
    for (auto& e : after) ASSERT_EQ(events->EnumConnections(e.Out()), S_OK);
    EXPECT_EQ(count(), advised + 2);
    CONNECTDATA data[3];
    ULONG fetched = 0;
    EXPECT_EQ(clone->Next(3, data, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 1u);
    for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();
    EXPECT_EQ(after[9]->Next(3, data, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 2u);
    for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();
    before.clear();
    clone.Reset();
    after.clear();
    EXPECT_EQ(count(), advised);
    ASSERT_EQ(events->Unadvise(first), S_OK);
    EXPECT_EQ(sink->Release(), 0u);
}

TRELVANE_BOTH_PLACEMENTS(ConnectionPoints);

}  // namespace
}  // namespace trelvane
