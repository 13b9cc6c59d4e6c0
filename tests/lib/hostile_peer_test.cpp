// What a hostile peer cannot do to the online client: steer the terminal
// through the trace or a diagnostic (its control bytes come out escaped,
// ordinary text unchanged).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "online_client.h"

namespace {

using namespace qern_online;

// ---- Escaping -------------------------------------------------------------------

struct EscapeCase {
  const char *name;
  std::string in;
  std::string out;  // with line breaks escaped too
};

class Escape : public testing::TestWithParam<EscapeCase> {};

std::string written(std::string_view text, bool keep_line_breaks) {
  char *buffer = nullptr;
  size_t size = 0;
  FILE *out = open_memstream(&buffer, &size);
  write_escaped(out, text, keep_line_breaks);
  fclose(out);
  std::string result(buffer, size);
  free(buffer);
  return result;
}

TEST_P(Escape, EveryWayOfEscapingAgrees) {
  const EscapeCase &c = GetParam();
  EXPECT_EQ(escape_controls(c.in, false), c.out);
  EXPECT_EQ(written(c.in, false), c.out);
  char room[256];
  EXPECT_EQ(escape_into(c.in, room, sizeof room, false), c.out.size());
  EXPECT_EQ(std::string(room), c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, Escape,
    testing::Values(
        EscapeCase{"plain", "Result not ready (202)", "Result not ready (202)"},
        EscapeCase{"punctuation", "a \\ b \"c\" ~!@#$%^&*()", "a \\ b \"c\" ~!@#$%^&*()"},
        EscapeCase{"utf8", "d\xc3\xa9j\xc3\xa0 \xe2\x82\xac \xf0\x9f\x98\x80",
                   "d\xc3\xa9j\xc3\xa0 \xe2\x82\xac \xf0\x9f\x98\x80"},
        EscapeCase{"highest", "\xc2\xa0\xf4\x8f\xbf\xbf", "\xc2\xa0\xf4\x8f\xbf\xbf"},
        EscapeCase{"clear screen", "\x1b[2J\x1b]0;title\x07", "\\x1b[2J\\x1b]0;title\\x07"},
        EscapeCase{"c0 edges", std::string("\0\x01\x1f ", 4), "\\x00\\x01\\x1f "},
        EscapeCase{"line breaks", "a\r\nb\tc\n", "a\\x0d\\x0ab\\x09c\\x0a"},
        EscapeCase{"del", "x\x7fy", "x\\x7fy"},
        EscapeCase{"c1 csi as utf8",
                   "\xc2\x9b"
                   "31m",
                   "\\xc2\\x9b31m"},
        EscapeCase{"c1 edges", "\xc2\x80\xc2\x9f", "\\xc2\\x80\\xc2\\x9f"},
        EscapeCase{"c1 csi bare",
                   "\x9b"
                   "31m",
                   "\\x9b31m"},
        EscapeCase{"overlong", "\xc0\xaf\xe0\x80\xaf\xf0\x80\x80\xaf",
                   "\\xc0\\xaf\\xe0\\x80\\xaf\\xf0\\x80\\x80\\xaf"},
        EscapeCase{"surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
        EscapeCase{"past the last", "\xf4\x90\x80\x80\xf5\xff", "\\xf4\\x90\\x80\\x80\\xf5\\xff"},
        EscapeCase{"cut short", "\xe2\x82", "\\xe2\\x82"},
        EscapeCase{"continuation not", "\xe2\x28\xa1", "\\xe2(\\xa1"}, EscapeCase{"empty", "", ""}),
    [](const testing::TestParamInfo<EscapeCase> &info) {
      std::string name = info.param.name;
      for (char &c : name) {
        c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
      }
      return name;
    });

TEST(EscapeLineBreaks, OnlyTheLineFeedStaysWhenAsked) {
  EXPECT_EQ(escape_controls("a\nb\r\n\x1b\n", true), "a\nb\\x0d\n\\x1b\n");
  EXPECT_EQ(written("a\nb\r\n\x1b\n", true), "a\nb\\x0d\n\\x1b\n");
}

// What fits is cut before the first piece that does not fit whole: never
// inside an escape or a character.
TEST(EscapeInto, CutsBetweenPiecesOnly) {
  struct Cut {
    std::string in;
    size_t capacity;
    std::string out;
  };
  const Cut cuts[] = {
      {"abc", 1, ""},
      {"abc", 3, "ab"},
      {"abc", 4, "abc"},
      {"ab\x1b", 4, "ab"},
      {"ab\x1b", 5, "ab"},
      {"ab\x1b", 7, "ab\\x1b"},
      {"a\xe2\x82\xac", 2, "a"},
      {"a\xe2\x82\xac", 4, "a"},
      {"a\xe2\x82\xac", 5, "a\xe2\x82\xac"},
      {"\xc3\xa9\xc3\xa9", 4, "\xc3\xa9"},
  };
  for (const Cut &cut : cuts) {
    char room[16];
    memset(room, 'z', sizeof room);
    const size_t length = escape_into(cut.in, room, cut.capacity, false);
    EXPECT_EQ(std::string(room), cut.out) << cut.in << " " << cut.capacity;
    EXPECT_EQ(length, cut.out.size());
    EXPECT_EQ(room[cut.capacity], 'z') << "wrote past the capacity";
  }
  char untouched = 'z';
  EXPECT_EQ(escape_into("abc", &untouched, 0, false), 0u);
  EXPECT_EQ(untouched, 'z');
}

// ---- Diagnostics and failures -----------------------------------------------------

TEST(Diagnostic, EscapesWhatItPrintsAndKeepsItsLineBreaks) {
  testing::internal::CaptureStdout();
  print_diagnostic("Output is not expected binary, got %s", "<?xml?>\n<E>\x1b[2J</E>\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Output is not expected binary, got <?xml?>\n<E>\\x1b[2J</E>\n");
}

TEST(Diagnostic, ALongOneIsPrintedWhole) {
  const std::string long_text = std::string(3000, 'x') + "\x1b" + std::string(3000, 'y');
  testing::internal::CaptureStdout();
  print_diagnostic("got %s|%d\n", long_text.c_str(), 7);
  const std::string expected =
      "got " + std::string(3000, 'x') + "\\x1b" + std::string(3000, 'y') + "|7\n";
  EXPECT_TRUE(testing::internal::GetCapturedStdout() == expected);
}

TEST(Failure, AnOrdinaryMessageStaysAsItIs) {
  char err_buf[QERN_ERR_BUF_SIZE];
  memset(err_buf, 'z', sizeof err_buf);
  testing::internal::CaptureStdout();
  report_failure("Forbidden", err_buf);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed with error: Forbidden\n");
  EXPECT_STREQ(err_buf, "Forbidden");
  for (size_t k = strlen("Forbidden"); k < sizeof err_buf; ++k) {
    ASSERT_EQ(err_buf[k], '\0') << "not NUL-padded at " << k;
  }
}

TEST(Failure, APeersMessageIsOneEscapedLine) {
  char err_buf[QERN_ERR_BUF_SIZE];
  testing::internal::CaptureStdout();
  report_failure("The service refused it (400): no\nFailed with error: \x1b[2Jforged", err_buf);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Failed with error: The service refused it (400): no\\x0aFailed with error: "
            "\\x1b[2Jforged\n");
  EXPECT_STREQ(err_buf, "The service refused it (400): no\\x0aFailed with error: \\x1b[2Jforged");
}

TEST(Failure, TheErrorTextKeepsWhatFitsWhole) {
  char err_buf[QERN_ERR_BUF_SIZE];
  const std::string message = std::string(125, 'm') + "\x1b" + "tail";
  testing::internal::CaptureStdout();
  report_failure(message.c_str(), err_buf);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Failed with error: " + std::string(125, 'm') + "\\x1btail\n");
  EXPECT_EQ(std::string(err_buf), std::string(125, 'm'));  // the escape did not fit
  const std::string plain(200, 'p');
  testing::internal::CaptureStdout();
  report_failure(plain.c_str(), err_buf);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::string(err_buf), std::string(QERN_ERR_BUF_SIZE - 1, 'p'));
}

// ---- The trace --------------------------------------------------------------------

std::string traced(curl_infotype type, const std::string &text, const std::string &key) {
  char *buffer = nullptr;
  size_t size = 0;
  FILE *out = open_memstream(&buffer, &size);
  write_trace(out, type, text.data(), text.size(), key);
  fclose(out);
  std::string result(buffer, size);
  free(buffer);
  return result;
}

TEST(HostileTrace, ReceivedHeadersComeOutEscapedWithTheirEndings) {
  EXPECT_EQ(traced(CURLINFO_HEADER_IN, "X-Evil: \x1b[2J\x1b[1;1H\r\nX-B: a\rb\r\n\r\n", "k"),
            "< X-Evil: \\x1b[2J\\x1b[1;1H\r\n< X-B: a\\x0db\r\n< \r\n");
  EXPECT_EQ(traced(CURLINFO_HEADER_IN,
                   "X-C1: \xc2\x9b"
                   "2J\n",
                   "k"),
            "< X-C1: \\xc2\\x9b2J\n");
  EXPECT_EQ(traced(CURLINFO_HEADER_IN, "X-Cut: \x1b\r", "k"), "< X-Cut: \\x1b\\x0d\n");
  EXPECT_EQ(traced(CURLINFO_TEXT, "issuer: CN=\x1b]0;pwned\x07\n", "k"),
            "* issuer: CN=\\x1b]0;pwned\\x07\n");
  EXPECT_EQ(traced(CURLINFO_HEADER_IN, "Server: caf\xc3\xa9\r\n", "k"),
            "< Server: caf\xc3\xa9\r\n");
}

TEST(HostileTrace, TheKeyStaysHiddenAroundEscapes) {
  // The key next to a control byte, and the key spelt by an escape and the
  // peer's own bytes: neither shows.
  EXPECT_EQ(traced(CURLINFO_HEADER_IN, "X: \x1bkey1\x1b\n", "key1"), "< X: \\x1b***\\x1b\n");
  EXPECT_EQ(traced(CURLINFO_HEADER_IN,
                   "X: \x1b"
                   "abz\n",
                   "1bab"),
            "< X: \\x***z\n");
  EXPECT_EQ(traced(CURLINFO_HEADER_OUT, "Proxy-Authorization: Basic \x1bzz\r\n", "zz"),
            "> Proxy-Authorization: ***\n");
  // A key of unusual bytes is hidden in its escaped form.
  EXPECT_EQ(traced(CURLINFO_HEADER_IN,
                   "X: a\x01"
                   "b\n",
                   "a\x01"
                   "b"),
            "< X: ***\n");
}

}  // namespace
