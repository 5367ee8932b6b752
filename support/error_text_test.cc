#include "support/error_text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

TEST(ErrorText, PlatformTextOrTheFallback)
{
    EXPECT_STREQ(error_text(ENOENT), strerror(ENOENT));
    EXPECT_STREQ(error_text(EBADF), strerror(EBADF));
    // Numbers the platform has no entry for: its own "unknown" text, or ours.
    for (int number : {12345, -7, INT_MIN}) {
        SCOPED_TRACE(number);
        const char *text = error_text(number);
        ASSERT_NE(text, nullptr);
        std::string expected_fallback = "undocumented error #" + std::to_string(number);
        if (text == error_text_buffer && strncmp(text, "undocumented", 12) == 0)
            EXPECT_EQ(text, expected_fallback);
        else
            EXPECT_NE(strstr(text, std::to_string(number).c_str()), nullptr) << text;
    }
}
