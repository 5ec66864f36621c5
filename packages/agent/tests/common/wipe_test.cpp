#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "common/wipe.h"

namespace quillon {
namespace {

// A PIN buffer that once held a longer secret keeps its bytes beyond the
// current text: the wipe reaches them too.
TEST(WipeString, ClearsTheWholeBufferUpToItsCapacity) {
    const std::string secret(64, 'S');  // too long for the in-object buffer
    std::string s = secret;
    s.assign("1234");
    const char* buffer = s.data();
    const std::size_t capacity = s.capacity();
    ASSERT_GE(capacity, secret.size());
    ASSERT_GT(std::count(buffer, buffer + capacity, 'S'), 0) << "the secret's tail should still be in the buffer";

    wipeString(s);

    EXPECT_TRUE(s.empty());
    ASSERT_EQ(s.data(), buffer) << "the wipe should not reallocate";
    EXPECT_EQ(s.capacity(), capacity);
    EXPECT_EQ(std::count(buffer, buffer + capacity, 'S'), 0);
    EXPECT_NE(std::string_view(buffer, 4), "1234");
}

}  // namespace
}  // namespace quillon
