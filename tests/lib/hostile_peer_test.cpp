// What a hostile peer cannot do to the online client: steer the terminal
// through the trace or a diagnostic (its control bytes come out escaped,
// ordinary text unchanged), or hold a transfer open past its deadline.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "failing_new.h"
#include "online_client.h"
#include "qern_lib.h"

namespace {

using namespace qern_online;
using std::chrono::milliseconds;

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

// The scanner prints the service's message on its own lines, escaped; the
// failure keeps the message as it came, for report_failure to escape.
TEST(HostileAnswer, TheScannerPrintsAMessageEscaped) {
  char request_id[kRequestIdSize] = {0};
  submit_reply reply{0, request_id, nullptr};
  std::string answer = "{\"message\":\"no\x1b[2J\nBad API key\"}";
  testing::internal::CaptureStdout();
  scan_submission(answer.data(), answer.size(), &reply, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Got message no\\x1b[2J\\x0aBad API key\nno\\x1b[2J\\x0aBad API key\n");
  ASSERT_NE(reply.failure_text, nullptr);
  EXPECT_STREQ(reply.failure_text, "no\x1b[2J\nBad API key");
  free(reply.failure_text);
  reply = submit_reply{0, request_id, nullptr};
  answer = "\n{}";
  testing::internal::CaptureStdout();
  scan_submission(answer.data(), answer.size(), &reply, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "unexpected opening character to response \\x0a\n");
  free(reply.failure_text);
}

// A redirect whose body was cut is followed by its Location alone.
TEST(HostileAnswer, ALocationIsResolvedAsLibcurlWould) {
  const char *base = "https://svc.example:8443/v0/result?requestId=r-1";
  EXPECT_EQ(resolve_reference(base, "/v0/objects/r-1"), "https://svc.example:8443/v0/objects/r-1");
  EXPECT_EQ(resolve_reference(base, "objects/r-1?x=1"),
            "https://svc.example:8443/v0/objects/r-1?x=1");
  EXPECT_EQ(resolve_reference(base, "https://store.example/b/k"), "https://store.example/b/k");
  EXPECT_EQ(resolve_reference(base, "//store.example/k"), "https://store.example/k");
  EXPECT_EQ(resolve_reference(base, "http://store.example/k"), "http://store.example/k");
  EXPECT_EQ(resolve_reference(base, ""), "");
  EXPECT_EQ(resolve_reference(base, nullptr), "");
  EXPECT_EQ(resolve_reference("not a url", "/k"), "");
}

// ---- The trace --------------------------------------------------------------------

std::string traced(curl_infotype type, const std::string &text, const std::string &key) {
  char *buffer = nullptr;
  size_t size = 0;
  FILE *out = open_memstream(&buffer, &size);
  write_trace(out, type, text.data(), text.size(), key_hider(key));
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
            "< X: ***z\n");
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

// An ordinary line is traced without a copy; a line to escape is copied,
// and a memory failure there is an exception for the trace's callback to
// report, not a lost solve.
TEST(HostileTrace, OnlyALineToEscapeAllocates) {
  const std::string key(40, 'k');  // too long to live inside a string
  const std::string plain = "Server: x " + key + "\r\n";
  const std::string hostile = std::string(40, 'e') + "\x1b\r\n";
  char *buffer = nullptr;
  size_t size = 0;
  FILE *out = open_memstream(&buffer, &size);
  const key_hider hider(key);
  qern_test::allocations_before_failure = 0;
  write_trace(out, CURLINFO_HEADER_IN, plain.data(), plain.size(), hider);
  bool threw = false;
  try {
    write_trace(out, CURLINFO_HEADER_IN, hostile.data(), hostile.size(), hider);
  } catch (const std::bad_alloc &) {
    threw = true;
  }
  qern_test::allocations_before_failure = -1;
  fclose(out);
  EXPECT_EQ(std::string(buffer, size), "< Server: x ***\r\n< ");
  free(buffer);
  EXPECT_TRUE(threw);
}

// ---- The deadline -------------------------------------------------------------------

struct DeadlineCase {
  const char *text;
  long long milliseconds;
};

class DeadlineSetting : public testing::TestWithParam<DeadlineCase> {};

TEST_P(DeadlineSetting, ReadsSecondsOrFallsBackToTheDefault) {
  EXPECT_EQ(transfer_deadline(GetParam().text).count(), GetParam().milliseconds)
      << (GetParam().text != nullptr ? GetParam().text : "NULL");
}

INSTANTIATE_TEST_SUITE_P(Texts, DeadlineSetting,
                         testing::Values(DeadlineCase{nullptr, 60000}, DeadlineCase{"2", 2000},
                                         DeadlineCase{"2.5", 2500}, DeadlineCase{"0.125", 125},
                                         DeadlineCase{"0.0019", 1}, DeadlineCase{".5", 500},
                                         DeadlineCase{"5.", 5000}, DeadlineCase{" 3\t\n", 3000},
                                         DeadlineCase{"86400", 86400000}, DeadlineCase{"", 60000},
                                         DeadlineCase{"0", 60000}, DeadlineCase{"0.0009", 60000},
                                         DeadlineCase{"-1", 60000}, DeadlineCase{"+1", 60000},
                                         DeadlineCase{"86400.001", 60000},
                                         DeadlineCase{"99999999999", 60000},
                                         DeadlineCase{"1e3", 60000}, DeadlineCase{"5s", 60000},
                                         DeadlineCase{"1,5", 60000}, DeadlineCase{".", 60000},
                                         DeadlineCase{"1.2.3", 60000}));

// The setting is read with the others, into the block of settings a solve
// is given; NULL when unset.
TEST(DeadlineSetting, IsReadWithTheOtherSettings) {
  setenv("QERN_TRANSFER_DEADLINE", "2.5", 1);
  std::unique_ptr<qern_settings, decltype(&qern_settings_free)> read(
      qern_settings_from_environment(), &qern_settings_free);
  unsetenv("QERN_TRANSFER_DEADLINE");
  ASSERT_NE(read, nullptr);
  EXPECT_STREQ(read->transfer_deadline, "2.5");
  std::unique_ptr<qern_settings, decltype(&qern_settings_free)> unset(
      qern_settings_from_environment(), &qern_settings_free);
  ASSERT_NE(unset, nullptr);
  EXPECT_EQ(unset->transfer_deadline, nullptr);
}

TEST(DeadlineText, NamesSecondsWithoutTrailingZeros) {
  EXPECT_EQ(deadline_text(milliseconds(60000)), "60 s");
  EXPECT_EQ(deadline_text(milliseconds(2500)), "2.5 s");
  EXPECT_EQ(deadline_text(milliseconds(1050)), "1.05 s");
  EXPECT_EQ(deadline_text(milliseconds(125)), "0.125 s");
  EXPECT_EQ(deadline_text(milliseconds(86400000)), "86400 s");
}

// A plain TCP peer on 127.0.0.1 that accepts one connection, sends `head`,
// then (with `drip`) one byte every 50 ms until the client hangs up. It gives
// up after 5 s, so that a transfer without a deadline fails the test rather
// than hanging it.
class DrippingPeer {
 public:
  DrippingPeer(std::string head, bool drip) : head_(std::move(head)), drip_(drip) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
      ADD_FAILURE() << "no listening socket";
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~DrippingPeer() {
    done_ = true;
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  DrippingPeer(const DrippingPeer &) = delete;
  DrippingPeer &operator=(const DrippingPeer &) = delete;
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  void serve() {
    const int connection = accept(listener_, nullptr, nullptr);
    if (connection < 0) {
      return;
    }
    char request[4096];
    (void)!recv(connection, request, sizeof request, 0);
    bool open = send(connection, head_.data(), head_.size(), MSG_NOSIGNAL) >= 0;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (open && !done_ && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(milliseconds(50));
      open = !drip_ || send(connection, "x", 1, MSG_NOSIGNAL) == 1;
    }
    close(connection);
  }

  std::string head_;
  bool drip_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

struct easy_for {
  easy_handle handle;
  explicit easy_for(const std::string &url) : handle(curl_easy_init()) {
    init_curl_once();
    curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(
        handle.get(), CURLOPT_WRITEFUNCTION,
        +[](char *, size_t size, size_t count, void *) { return size * count; });
    curl_easy_setopt(handle.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_LOW_SPEED_TIME, 30L);
  }
};

struct PeerCase {
  const char *name;
  const char *head;
  bool drip;
};

class Deadline : public testing::TestWithParam<PeerCase> {};

// A peer that never finishes (a body that drips, headers that drip, silence
// after the request) is cut at the deadline: neither the low-speed rule nor
// anything else ends these sooner.
TEST_P(Deadline, CutsAPeerThatNeverFinishes) {
  const DrippingPeer peer(GetParam().head, GetParam().drip);
  easy_for transfer(peer.url());
  stop_watch no_stop(nullptr);
  const auto started = std::chrono::steady_clock::now();
  const transfer_end end = perform_transfer(transfer.handle.get(), &no_stop, milliseconds(700));
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(end.result, CURLE_OPERATION_TIMEDOUT);
  EXPECT_TRUE(end.past_deadline);
  EXPECT_GE(took, milliseconds(700));
  EXPECT_LT(took, milliseconds(700 + 1500));
}

INSTANTIATE_TEST_SUITE_P(
    Peers, Deadline,
    testing::Values(PeerCase{"dripping_body",
                             "HTTP/1.1 202 Accepted\r\nContent-Length: 100000\r\n\r\n", true},
                    PeerCase{"dripping_chunks",
                             "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1000\r\n", true},
                    PeerCase{"dripping_header", "HTTP/1.1 200 OK\r\nX-Endless: ", true},
                    PeerCase{"silent", "", false}),
    [](const testing::TestParamInfo<PeerCase> &info) { return std::string(info.param.name); });

TEST(Deadline, AnAnswerWithinItIsNotCut) {
  const DrippingPeer peer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false);
  easy_for transfer(peer.url());
  stop_watch no_stop(nullptr);
  const transfer_end end = perform_transfer(transfer.handle.get(), &no_stop, milliseconds(5000));
  EXPECT_EQ(end.result, CURLE_OK);
  EXPECT_FALSE(end.past_deadline);
}

int stop_now(void *) {
  return 1;
}

TEST(Deadline, TheStopCheckStillComesFirst) {
  const DrippingPeer peer("HTTP/1.1 202 Accepted\r\nContent-Length: 100000\r\n\r\n", true);
  easy_for transfer(peer.url());
  const qern_stop stop{stop_now, nullptr};
  stop_watch watch(&stop);
  const transfer_end end = perform_transfer(transfer.handle.get(), &watch, milliseconds(60000));
  EXPECT_EQ(end.result, CURLE_ABORTED_BY_CALLBACK);
  EXPECT_FALSE(end.past_deadline);
  EXPECT_TRUE(watch.stopped());
}

}  // namespace
