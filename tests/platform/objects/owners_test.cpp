#include <gtest/gtest.h>

#include "platform/windows.h"

namespace trelvane {
namespace {

using platform::Bstr;
using platform::ComPtr;

// Counts references; never freed by Release, so the count stays readable.
struct Counted : IUnknown {
    ULONG refs = 1;
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
};

TEST(ComPtr, AttachAdoptsAndRawPointerAddsAReference) {
    Counted object;
    {
        auto adopted = ComPtr<IUnknown>::Attach(&object);
        EXPECT_EQ(object.refs, 1u);
        ComPtr<IUnknown> shared(&object);
        EXPECT_EQ(object.refs, 2u);
        ComPtr<IUnknown> copy = shared;
        ComPtr<IUnknown> moved = std::move(copy);
        EXPECT_EQ(object.refs, 3u);
        object.AddRef();
        *moved.Out() = &object;  // releases what it held before taking the callee's reference
        EXPECT_EQ(object.refs, 3u);
    }
    EXPECT_EQ(object.refs, 0u);
}

TEST(Bstr, OwnsMovesAndFreesOnce) {
    Bstr text(platform::WStringView(TEXT("a\0b"), 3));
    ASSERT_TRUE(text);
    EXPECT_EQ(text.View(), platform::WStringView(TEXT("a\0b"), 3));
    Bstr moved = std::move(text);
    EXPECT_FALSE(text);  // NOLINT(bugprone-use-after-move): moved-from is empty
    EXPECT_EQ(SysStringLen(moved.Get()), 3u);
    moved = Bstr(TEXT("second"));  // the first string is freed (the sanitizer build sees a leak)
    EXPECT_EQ(moved.View(), TEXT("second"));
    *moved.Out() = SysAllocString(TEXT("from a callee"));
    EXPECT_EQ(moved.View(), TEXT("from a callee"));
    Bstr adopted = Bstr::Attach(moved.Detach());
    EXPECT_FALSE(moved);
    EXPECT_EQ(adopted.View(), TEXT("from a callee"));
    EXPECT_EQ(Bstr().View(), TEXT(""));
}

TEST(ExcepInfo, ClearFreesItsStringsAndZeroesIt) {
    EXCEPINFO info{};
    info.wCode = 7;
    info.bstrSource = SysAllocString(TEXT("source"));
    info.bstrDescription = SysAllocString(TEXT("description"));
    info.scode = E_FAIL;
    platform::ClearExcepInfo(&info);
    EXPECT_EQ(info.bstrSource, nullptr);
    EXPECT_EQ(info.bstrDescription, nullptr);
    EXPECT_EQ(info.wCode, 0);
    EXPECT_EQ(info.scode, S_OK);
    platform::ClearExcepInfo(&info);  // a cleared one clears again
}

}  // namespace
}  // namespace trelvane
