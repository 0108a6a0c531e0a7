// Placeholder until the encoder and applier land: every call fails.
#include "delta/difference.h"

namespace setup::delta {

bool ReadDifferenceHeader(const uint8_t*, size_t, TDifferenceHeader&) { return false; }
bool IdentifyFile(const std::string&, TFileIdentity&, const std::function<void(uint64_t)>&) { return false; }

struct TDifferenceApplier::TState {};
TDifferenceApplier::TDifferenceApplier(TOldFileReader&, TNewFileWriter&, std::function<void(uint64_t)>)
    : state_(new TState) {}
TDifferenceApplier::~TDifferenceApplier() { delete state_; }
bool TDifferenceApplier::Feed(const uint8_t*, size_t) { return false; }
TApplyResult TDifferenceApplier::Finish() { return {TApplyStatus::Damaged, "not built yet", 0}; }
const TDifferenceHeader* TDifferenceApplier::Header() const { return nullptr; }

TApplyResult ApplyDifference(const uint8_t*, size_t, TOldFileReader&, TNewFileWriter&) {
  return {TApplyStatus::Damaged, "not built yet", 0};
}

TEncodeResult EncodeDifference(const std::string&, const std::string&, TNewFileWriter&) { return {}; }

}  // namespace setup::delta
