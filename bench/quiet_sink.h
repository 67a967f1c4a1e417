// An event sink that takes every test event and does nothing with it: the
// cost of delivery itself, for the acknowledge benchmarks.
#pragma once

#include "contract/contract.h"
#include "tests/support/dispatch_sink.h"

namespace trelvane::bench {

class QuietSink final : public trelvane::testing::DispatchSink {
public:
    QuietSink() : DispatchSink(contract::DIID__ITarvikTestEvents) {}
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return S_OK; }
};

}  // namespace trelvane::bench
