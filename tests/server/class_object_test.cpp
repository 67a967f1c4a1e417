// The class object that hands every client the one shared object, the
// server lock that the clients of that object hold together, and the
// enumerators of the driver object, which hold a lock of their own.
#include <gtest/gtest.h>

#include <new>

#include "driver/tarvik.h"
#include "platform/windows.h"

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
IClassFactory* NewFactory() {
    return new CComClassFactorySingleton<T>;
}

class ClassObject : public ::testing::Test {
protected:
    void SetUp() override { Counted::made = Counted::unmade = 0; }
    CountingModule module;
};

TEST_F(ClassObject, HandsEveryActivationTheSameObjectAndTheClientsHoldOneLock) {
    IClassFactory* factory = NewFactory<CTarvik>();
    IUnknown* first = nullptr;
    ITarvik* second = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&first)), S_OK);
    EXPECT_EQ(module.GetLockCount(), 1);
    ASSERT_EQ(factory->CreateInstance(nullptr, contract::IID_ITarvik, reinterpret_cast<void**>(&second)), S_OK);
    IUnknown* identity = nullptr;
    second->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
    EXPECT_EQ(identity, first);
    identity->Release();
    EXPECT_EQ(module.GetLockCount(), 1);

    first->Release();
    EXPECT_EQ(module.GetLockCount(), 1);  // the second client still holds it
    second->Release();
    EXPECT_EQ(module.GetLockCount(), 0);
    factory->Release();  // the object goes with its class object
    EXPECT_EQ(module.GetLockCount(), 0);
}

TEST_F(ClassObject, RefusesAnOuterObjectAndAMissingOutPointerWithoutMakingAnything) {
    IClassFactory* factory = NewFactory<Counted>();
    IUnknown* object = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(factory->CreateInstance(factory, IID_IUnknown, reinterpret_cast<void**>(&object)),
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
    factory->Release();
    EXPECT_EQ(Counted::unmade, 1);
}

TEST_F(ClassObject, GivesAFailedCreationToEveryLaterActivationWithoutTryingAgain) {
    IClassFactory* factory = NewFactory<Unmakeable>();
    for (int i = 0; i < 3; ++i) {
        IUnknown* object = nullptr;
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), E_OUTOFMEMORY);
        EXPECT_EQ(object, nullptr);
    }
    EXPECT_EQ(Unmakeable::attempts, 1);
    EXPECT_EQ(module.GetLockCount(), 0);
    factory->Release();
}

TEST_F(ClassObject, LockServerTakesAndGivesBackALockWithoutAnObject) {
    IClassFactory* factory = NewFactory<Counted>();
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(module.GetLockCount(), 1);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(module.GetLockCount(), 0);
    EXPECT_EQ(Counted::made, 0);
    factory->Release();
}

TEST_F(ClassObject, TheDriversEnumeratorsHoldALockWhileTheyLive) {
    IClassFactory* factory = NewFactory<CTarvik>();
    IConnectionPointContainer* container = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)),
              S_OK);
    IConnectionPoint* point = nullptr;
    ASSERT_EQ(container->FindConnectionPoint(contract::DIID__ITarvikEvents, &point), S_OK);
    IEnumConnections* connections = nullptr;
    ASSERT_EQ(point->EnumConnections(&connections), S_OK);
    IEnumConnectionPoints* points = nullptr;
    ASSERT_EQ(container->EnumConnectionPoints(&points), S_OK);
    IEnumConnections* clone = nullptr;
    ASSERT_EQ(connections->Clone(&clone), S_OK);
    point->Release();
    container->Release();
    EXPECT_EQ(module.GetLockCount(), 4);  // the object (through the points) and three enumerators

    points->Release();
    EXPECT_EQ(module.GetLockCount(), 2);  // the points held the object
    connections->Release();
    EXPECT_EQ(module.GetLockCount(), 1);
    clone->Release();
    EXPECT_EQ(module.GetLockCount(), 0);
    factory->Release();
}

}  // namespace
