// The non-owning callable reference that proxies take their encoders as.
#include <gtest/gtest.h>

#include "platform/remoting/proxy_stub.h"

namespace {

using platform::remoting::FunctionRef;

// A copy must refer to what the original referred to, not to the original:
// a reference to a reference dangles once the original (often a parameter)
// is gone, and follows it when it is reassigned.
TEST(FunctionRef, ACopyRefersToTheCallableNotToTheOriginal) {
    auto seven = [] { return 7; };
    auto eight = [] { return 8; };
    FunctionRef<int()> original(seven);
    FunctionRef<int()> copy = original;
    original = FunctionRef<int()>(eight);
    EXPECT_EQ(copy(), 7);
    EXPECT_EQ(original(), 8);
}

}  // namespace
