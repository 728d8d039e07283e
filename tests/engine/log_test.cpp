#include "engine/log.h"

#include <gtest/gtest.h>

namespace torvalen {
namespace {

TEST(LogQuote, EscapesControlsQuotesAndBrokenUtf8AndKeepsText) {
    EXPECT_EQ(log_quote("Studio A"), "\"Studio A\"");
    EXPECT_EQ(log_quote("Café €😀"), "\"Café €😀\"");
    EXPECT_EQ(log_quote(std::string_view("a\nb\r\x1b[31m\x7f\0", 11)), R"("a\x0Ab\x0D\x1B[31m\x7F\x00")");
    EXPECT_EQ(log_quote("say \"hi\" \\"), R"("say \"hi\" \\")");
    // U+009B is a terminal's CSI in UTF-8 too.
    EXPECT_EQ(log_quote("\xc2\x9b" "2J"), R"("\xC2\x9B2J")");
    // A stray byte, a cut sequence, an overlong form and a surrogate.
    EXPECT_EQ(log_quote("\xff\xc3(\xe2\x82\xc0\x80\xed\xa0\x80"), R"("\xFF\xC3(\xE2\x82\xC0\x80\xED\xA0\x80")");
    EXPECT_EQ(log_quote("end\xe2\x82"), R"("end\xE2\x82")");
}

}  // namespace
}  // namespace torvalen
