#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "module/argument_checks.hpp"

namespace {

using tulm::binding::kMaxLength;
using tulm::binding::kMaxLengthWithOneMore;
using tulm::binding::require_harmonic_entries;
using tulm::binding::require_length_at_most;
using tulm::binding::require_non_negative;
using tulm::binding::require_size_within;

TEST(ArgumentChecks, BoundariesOfThe32BitSizes) {
    EXPECT_NO_THROW(require_length_at_most(2147483647U, kMaxLength));
    EXPECT_THROW(require_length_at_most(2147483648U, kMaxLength), std::length_error);
    // Where m + 1 must fit as well, 2^31 - 1 entries are one too many.
    EXPECT_NO_THROW(require_length_at_most(2147483646U, kMaxLengthWithOneMore));
    EXPECT_THROW(require_length_at_most(2147483647U, kMaxLengthWithOneMore), std::length_error);
}

template <typename Check>
std::string message_of(Check check) {
    try {
        check();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no exception";
}

// Each refusal names the argument, the bound and the value it got.
TEST(ArgumentChecks, MessagesSayWhatIsWrong) {
    EXPECT_EQ(message_of([] { require_length_at_most(2147483648U, kMaxLength); }),
              "a sequence of 2147483648 values is too long: this function accepts at most "
              "2147483647 (its sizes are 32-bit)");
    EXPECT_EQ(message_of([] { require_non_negative("r", -1); }), "r must be non-negative, got -1");
    EXPECT_EQ(message_of([] { require_size_within("warm_s", 4, 3); }),
              "warm_s must lie in 0 ... m = 3, got 4");
    EXPECT_EQ(message_of([] { require_harmonic_entries(3, 3); }),
              "harmonic must hold at least m + 1 = 4 entries, got 3");
}

TEST(ArgumentChecks, RangesIncludeBothEnds) {
    EXPECT_NO_THROW(require_size_within("r", 0, 3));
    EXPECT_NO_THROW(require_size_within("r", 3, 3));
    EXPECT_THROW(require_size_within("r", -1, 3), std::invalid_argument);
    EXPECT_NO_THROW(require_non_negative("r", 0));
    EXPECT_NO_THROW(require_harmonic_entries(4, 3));
}

}  // namespace
