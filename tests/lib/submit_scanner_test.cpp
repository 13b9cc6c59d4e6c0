// The submission answer scanner, byte by byte: what it returns, what it
// records and exactly what it prints.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "contract_names.h"
#include "qern_lib.h"

namespace {

struct Scan {
  size_t returned;
  int status;
  std::string request_id;
  std::string failure_text;
  std::string printed;
};

class Scanner {
 public:
  Scanner() { request_id_[0] = '\0'; }
  ~Scanner() { free(reply_.failure_text); }

  Scan deliver(const std::string &body) {
    std::string bytes = body;  // the scanner may only read these
    testing::internal::CaptureStdout();
    const size_t returned = make_request_write_callback(bytes.data(), 1, bytes.size(), &reply_);
    const std::string printed = testing::internal::GetCapturedStdout();
    return {returned, reply_.status, request_id_,
            reply_.failure_text != nullptr ? reply_.failure_text : "", printed};
  }

 private:
  char request_id_[qern_online::kRequestIdSize];
  qern_online::submit_reply reply_{0, request_id_, nullptr};
};

struct Case {
  const char *name;
  std::string body;
  size_t returned;  // SIZE_MAX: all of the body
  int status;
  std::string request_id;
  std::string failure_text;
  std::string printed;
};

class ScannerCases : public ::testing::TestWithParam<Case> {};

TEST_P(ScannerCases, ReturnsRecordsAndPrints) {
  const Case &c = GetParam();
  Scanner scanner;
  const Scan scan = scanner.deliver(c.body);
  EXPECT_EQ(scan.returned, c.returned == SIZE_MAX ? c.body.size() : c.returned);
  EXPECT_EQ(scan.status, c.status);
  EXPECT_EQ(scan.request_id, c.request_id);
  EXPECT_EQ(scan.failure_text, c.failure_text);
  EXPECT_EQ(scan.printed, c.printed);
}

const std::string kAbc = "{\"requestId\":\"abc\"}";

INSTANTIATE_TEST_SUITE_P(
    SubmitScanner, ScannerCases,
    ::testing::Values(
        Case{"identifier", kAbc, SIZE_MAX, 0, "abc", "", ""},
        Case{"spaced_with_other_key", "{\"requestId\": \"abc\", \"queue\": 5}", SIZE_MAX, 0, "abc",
             "", ""},
        Case{"line_end_after_brace", kAbc + "\n", SIZE_MAX, 0, "abc", "", ""},
        Case{"blanks_after_brace", kAbc + " \t\r\n", SIZE_MAX, 0, "abc", "", ""},
        Case{"blanks_between_tokens", "{ \"requestId\" :\t\"abc\" ,\r\n \"queue\" : 5 }\n",
             SIZE_MAX, 0, "abc", "", ""},
        Case{"blanks_around_refusal", "{\n  \"message\" : \"Forbidden\"\n}\n", 0, -1, "",
             "Forbidden", "Got message Forbidden\nBad API key\nForbidden\n"},
        Case{"other_byte_after_brace", kAbc + "\nx", kAbc.size() + 1, 0, "abc", "", ""},
        Case{"blank_then_other_byte_after_key", "{\"ab\" x:1}", 6, 0, "", "",
             "Unexpected character after key+1 0x78\n"},
        Case{"cut_after_key_in_blanks", "{\"requestId\"    ", SIZE_MAX, 0, "", "",
             "Ran out of buffer during transition to val\n"},
        Case{"forbidden", "{\"message\":\"Forbidden\"}", 0, -1, "", "Forbidden",
             "Got message Forbidden\nBad API key\nForbidden\n"},
        Case{"other_refusal", "{\"message\": \"Too big\"}", 0, -1, "", "Too big",
             "Got message Too big\nToo big\n"},
        Case{"not_an_object", "[1]", 0, -1, "", "unexpected opening character to response [",
             "unexpected opening character to response [\n"},
        Case{"space_before_key", "{ \"requestId\":\"abc\"}", SIZE_MAX, 0, "abc", "", ""},
        Case{"space_before_colon", "{\"requestId\" :\"abc\"}", SIZE_MAX, 0, "abc", "", ""},
        Case{"other_byte_before_key", "{x\"requestId\":\"abc\"}", 1, 0, "", "",
             "Unexpected ending character x\n"},
        Case{"high_byte_after_key", "{\"ab\"\xc3:1}", 5, 0, "", "",
             "Unexpected character after key+1 0xffffffc3\n"},
        Case{"empty_object", "{}", SIZE_MAX, 0, "", "", ""},
        Case{"cut_in_key", "{\"requestId", SIZE_MAX, 0, "", "",
             "Ran out of buffer during transition to val\n"},
        Case{"no_value", "{\"a\":}", 3, 0, "", "", "Ran out of buffer during transition to val\n"},
        Case{"cut_in_identifier", "{\"requestId\":\"ab", SIZE_MAX, 0, "ab", "",
             "Ran out of buffer during val scraping"},
        Case{"cut_in_message", "{\"message\":\"Forbid", SIZE_MAX, 0, "", "",
             "Ran out of buffer during val scraping"},
        Case{"cut_between_members", "{\"requestId\":\"abc\", ", SIZE_MAX, 0, "abc", "", ""},
        Case{"bytes_after_brace", kAbc + "xy", kAbc.size(), 0, "abc", "", ""},
        Case{"unquoted_values", "{\"requestId\":abc,\"n\":1}", SIZE_MAX, 0, "abc", "", ""}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SubmitScanner, AKeyOf51CharactersIsRefusedAtIts51stCharacter) {
  Scanner scanner;
  const std::string key(50, 'k');
  const Scan scan = scanner.deliver("{\"" + key + "Z\":\"v\"}");
  EXPECT_EQ(scan.printed, "Unexpected character after key 0x5a\n");
  EXPECT_EQ(scan.returned, 2 + key.size());
}

TEST(SubmitScanner, IdentifiersUpTo1999CharactersAreTakenWhole) {
  Scanner scanner;
  const std::string id(1999, 'i');
  const std::string body = "{\"requestId\":\"" + id + "\"}";
  const Scan scan = scanner.deliver(body);
  EXPECT_EQ(scan.request_id, id);
  EXPECT_EQ(scan.returned, body.size());
  EXPECT_EQ(scan.printed, "");
}

TEST(SubmitScanner, AnIdentifierOf2000CharactersEndsTheScanAtIts2000thCharacter) {
  Scanner scanner;
  const std::string id = std::string(1999, 'i') + "J";
  const Scan scan = scanner.deliver("{\"requestId\":\"" + id + "\"}");
  EXPECT_EQ(scan.request_id, std::string(1999, 'i'));
  EXPECT_EQ(scan.printed, "Unexpected ending character J\n");
  EXPECT_EQ(scan.returned, 14 + 1999u);
}

TEST(SubmitScanner, ARefusalKeepsIts511FirstCharacters) {
  Scanner scanner;
  const std::string text(600, 'm');
  const Scan scan = scanner.deliver("{\"message\":\"" + text + "\"}");
  EXPECT_EQ(scan.status, -1);
  EXPECT_EQ(scan.failure_text, text.substr(0, 511));
}

// A service may quote the key it was sent: the message it prints and keeps
// holds none of it, nor its beginning where the 511 characters end within it.
struct QuotedKey {
  const char *name;
  std::string message;  // as the answer's JSON holds it
  std::string failure_text;
  const char *key = "k3y-SECRET";
};

class QuotedKeyCases : public ::testing::TestWithParam<QuotedKey> {};

TEST_P(QuotedKeyCases, NeitherPrintedNorKept) {
  const QuotedKey &c = GetParam();
  char request_id[qern_online::kRequestIdSize] = {0};
  qern_online::submit_reply reply{0, request_id, nullptr};
  std::string answer = "{\"message\":\"" + c.message + "\"}";
  testing::internal::CaptureStdout();
  qern_online::scan_submission(answer.data(), answer.size(), &reply, c.key);
  const std::string printed = testing::internal::GetCapturedStdout();
  const std::string kept = reply.failure_text != nullptr ? reply.failure_text : "";
  free(reply.failure_text);
  EXPECT_EQ(reply.status, -1);
  EXPECT_EQ(kept, c.failure_text);
  EXPECT_EQ(printed, "Got message " + kept + "\n" + kept + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    , QuotedKeyCases,
    ::testing::Values(
        QuotedKey{"quoted", "key k3y-SECRET is not valid", "key *** is not valid"},
        QuotedKey{"cut_within_it", std::string(506, 'm') + "k3y-SECRET, go away",
                  std::string(506, 'm') + "***"},
        QuotedKey{"ending_at_the_cut", std::string(501, 'm') + "k3y-SECRET, go away",
                  std::string(501, 'm') + "***"},
        QuotedKey{"whole_answer_ending_in_its_beginning", "try again: k3y", "try again: k3y"},
        // A comma ends the key only where the key holds one.
        QuotedKey{"at_a_comma_the_key_lacks", "try k3y, then", "try k3y"},
        // The scanner's value ends at a comma or an escaped quote within the key.
        QuotedKey{"with_a_comma", "API key k3y-SEC,RET is not valid", "API key ***", "k3y-SEC,RET"},
        QuotedKey{"with_a_quote", "API key k3y-SEC\\\"RET is not valid", "API key ***",
                  "k3y-SEC\"RET"},
        QuotedKey{"with_a_backslash", "API key k3y-SEC\\\\RET is not valid",
                  "API key *** is not valid", "k3y-SEC\\RET"}),
    [](const auto &info) { return std::string(info.param.name); });

// Each call scans a whole answer (the driver collects the deliveries first):
// the status is reset, and a piece that is not a whole answer fails.
TEST(SubmitScanner, EveryDeliveryIsAWholeAnswer) {
  Scanner scanner;
  EXPECT_EQ(scanner.deliver("{\"requestId\":\"ab").status, 0);
  const Scan second = scanner.deliver("c\"}");
  EXPECT_EQ(second.returned, 0u);
  EXPECT_EQ(second.status, -1);
  EXPECT_EQ(second.failure_text, "unexpected opening character to response c");
  const Scan third = scanner.deliver(kAbc);
  EXPECT_EQ(third.status, 0);
  EXPECT_EQ(third.request_id, "abc");
}

}  // namespace
