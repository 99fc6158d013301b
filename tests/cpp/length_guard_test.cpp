#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "module/length_guard.hpp"

namespace {

using tulm::binding::Guarded;
using tulm::binding::kMaxLength;
using tulm::binding::kMaxLengthPlusOne;
using tulm::binding::require_length_fits;

TEST(LengthGuard, BoundariesOfThe32BitSizes) {
    EXPECT_NO_THROW(require_length_fits(2147483647U, kMaxLength));
    EXPECT_THROW(require_length_fits(2147483648U, kMaxLength), std::length_error);
    // Where m + 1 must fit as well, 2^31 - 1 entries are one too many.
    EXPECT_NO_THROW(require_length_fits(2147483646U, kMaxLengthPlusOne));
    EXPECT_THROW(require_length_fits(2147483647U, kMaxLengthPlusOne), std::length_error);
}

TEST(LengthGuard, MessageSaysWhatIsWrong) {
    try {
        require_length_fits(2147483648U, kMaxLength);
        FAIL() << "no exception";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(),
                     "a sequence of 2147483648 values is too long: this function accepts at "
                     "most 2147483647 (its sizes are 32-bit)");
    }
}

int calls = 0;
int count_calls(const std::vector<double>& a, double /*alpha*/, const std::vector<int>& b) {
    ++calls;
    return static_cast<int>(a.size() + b.size());
}

TEST(LengthGuard, ChecksEveryVectorBeforeTheKernelRuns) {
    calls = 0;
    const auto call = &Guarded<2, count_calls>::call;
    EXPECT_EQ(call({1.0, 2.0}, 0.5, {3}), 3);
    EXPECT_EQ(calls, 1);
    EXPECT_THROW(call({1.0, 2.0, 3.0}, 0.5, {}), std::length_error);
    EXPECT_THROW(call({}, 0.5, {1, 2, 3}), std::length_error);
    EXPECT_EQ(calls, 1);
}

}  // namespace
