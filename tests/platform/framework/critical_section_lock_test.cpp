// CriticalSectionLock: the critical section is held for the scope and left
// however the scope ends, one level of a recursive entry at a time.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "platform/windows.h"

namespace trelvane {
namespace {

// Whether another thread could enter cs now (it leaves again at once).
bool FreeForOthers(CRITICAL_SECTION& cs) {
    bool free = false;
    std::thread([&] {
        free = cs.mutex.try_lock();
        if (free) cs.mutex.unlock();
    }).join();
    return free;
}

// The owner enters again for a scope of its own: clang's lock analysis
// counts no recursive entries.
void EnterAgainForAScope(CRITICAL_SECTION& cs) NO_THREAD_SAFETY_ANALYSIS { CriticalSectionLock inner(cs); }

class CriticalSectionLockTest : public ::testing::Test {
protected:
    CriticalSectionLockTest() { InitializeCriticalSection(&cs); }
    ~CriticalSectionLockTest() override { DeleteCriticalSection(&cs); }
    CRITICAL_SECTION cs;
};

TEST_F(CriticalSectionLockTest, HoldsTheSectionForItsScope) {
    {
        CriticalSectionLock outer(cs);
        EXPECT_FALSE(FreeForOthers(cs));
        EnterAgainForAScope(cs);  // the owner may enter again
        EXPECT_FALSE(FreeForOthers(cs)) << "the inner scope left the outer one's entry too";
    }
    EXPECT_TRUE(FreeForOthers(cs));
}

TEST_F(CriticalSectionLockTest, LeavesTheSectionWhenAnExceptionEndsTheScope) {
    EXPECT_THROW(
        {
            CriticalSectionLock lock(cs);
            throw std::runtime_error("the scope ends early");
        },
        std::runtime_error);
    EXPECT_TRUE(FreeForOthers(cs));
}

}  // namespace
}  // namespace trelvane
