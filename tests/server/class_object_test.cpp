// The class object that hands every client the one shared object, the
// server lock that the clients of that object hold together, and the
// enumerators of the driver object, which hold a lock of their own.
#include <gtest/gtest.h>

#include <new>

#include "driver/tarvik.h"
#include "platform/windows.h"

namespace trelvane {
namespace {

// A module that only counts its locks.
class CountingModule final : public CAtlModuleT<CountingModule> {
public:
    static REFGUID LibId() { return GUID_NULL; }
    HRESULT AddCommonRGSReplacements(IRegistrarBase*) override { return S_OK; }
};

// An object that counts how often it is made and unmade.
class Counted : public IUnknown {
public:
    static inline int made = 0;
    static inline int unmade = 0;
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid != IID_IUnknown) return *ppv = nullptr, E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }

protected:
    Counted() { ++made; }
    virtual ~Counted() { ++unmade; }
};

// An object that cannot be made.
class Unmakeable : public IUnknown {
public:
    static inline int attempts = 0;
    HRESULT QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }

protected:
    Unmakeable() {
        ++attempts;
        throw std::bad_alloc();
    }
    virtual ~Unmakeable() = default;
};

template <class T>
platform::ComPtr<IClassFactory> NewFactory() {
    return platform::ComPtr<IClassFactory>::Attach(new CComClassFactorySingleton<T>);
}

class ClassObject : public ::testing::Test {
protected:
    void SetUp() override { Counted::made = Counted::unmade = 0; }
    CountingModule module;
};

TEST_F(ClassObject, HandsEveryActivationTheSameObjectAndTheClientsHoldOneLock) {
    auto factory = NewFactory<CTarvik>();
    platform::ComPtr<IUnknown> first;
    platform::ComPtr<ITarvik> second;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(first.Out())), S_OK);
    EXPECT_EQ(module.GetLockCount(), 1);
    ASSERT_EQ(factory->CreateInstance(nullptr, contract::IID_ITarvik, reinterpret_cast<void**>(second.Out())), S_OK);
    platform::ComPtr<IUnknown> identity;
    second->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(identity.Out()));
    EXPECT_EQ(identity.Get(), first.Get());
    identity.Reset();
    EXPECT_EQ(module.GetLockCount(), 1);

    first.Reset();
    EXPECT_EQ(module.GetLockCount(), 1);  // the second client still holds it
    second.Reset();
    EXPECT_EQ(module.GetLockCount(), 0);
    factory.Reset();  // the object goes with its class object
    EXPECT_EQ(module.GetLockCount(), 0);
}

TEST_F(ClassObject, RefusesAnOuterObjectAndAMissingOutPointerWithoutMakingAnything) {
    auto factory = NewFactory<Counted>();
    IUnknown* object = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(factory->CreateInstance(factory.Get(), IID_IUnknown, reinterpret_cast<void**>(&object)),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(Counted::made, 0);
    EXPECT_EQ(module.GetLockCount(), 0);

    // A wrong interface makes the object all the same, and holds no lock.
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, reinterpret_cast<void**>(&object)), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(Counted::made, 1);
    EXPECT_EQ(module.GetLockCount(), 0);
    factory.Reset();
    EXPECT_EQ(Counted::unmade, 1);
}

TEST_F(ClassObject, GivesAFailedCreationToEveryLaterActivationWithoutTryingAgain) {
    const auto factory = NewFactory<Unmakeable>();
    for (int i = 0; i < 3; ++i) {
        IUnknown* object = nullptr;
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), E_OUTOFMEMORY);
        EXPECT_EQ(object, nullptr);
    }
    EXPECT_EQ(Unmakeable::attempts, 1);
    EXPECT_EQ(module.GetLockCount(), 0);
}

TEST_F(ClassObject, LockServerTakesAndGivesBackALockWithoutAnObject) {
    const auto factory = NewFactory<Counted>();
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(module.GetLockCount(), 1);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(module.GetLockCount(), 0);
    EXPECT_EQ(Counted::made, 0);
}

TEST_F(ClassObject, TheDriversEnumeratorsHoldALockWhileTheyLive) {
    const auto factory = NewFactory<CTarvik>();
    platform::ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(
        factory->CreateInstance(nullptr, IID_IConnectionPointContainer, reinterpret_cast<void**>(container.Out())),
        S_OK);
    platform::ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(contract::DIID__ITarvikEvents, point.Out()), S_OK);
    platform::ComPtr<IEnumConnections> connections;
    ASSERT_EQ(point->EnumConnections(connections.Out()), S_OK);
    platform::ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container->EnumConnectionPoints(points.Out()), S_OK);
    platform::ComPtr<IEnumConnections> clone;
    ASSERT_EQ(connections->Clone(clone.Out()), S_OK);
    point.Reset();
    container.Reset();
    EXPECT_EQ(module.GetLockCount(), 4);  // the object (through the points) and three enumerators

    points.Reset();
    EXPECT_EQ(module.GetLockCount(), 2);  // the points held the object
    connections.Reset();
    EXPECT_EQ(module.GetLockCount(), 1);
    clone.Reset();
    EXPECT_EQ(module.GetLockCount(), 0);
}

}  // namespace
}  // namespace trelvane
