// Request building: bodies, header lists, the CA search, transient codes and
// the error text copy.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "contract_names.h"
#include "qern_lib.h"

namespace {

std::string body_of(const std::vector<uint64_t> &items) {
  char *body = _generate_curl_data(items.data(), items.size());
  EXPECT_NE(body, nullptr);
  std::string text = body != nullptr ? body : "";
  free(body);
  return text;
}

TEST(RequestBody, CompactArrayOfUnsignedDecimals) {
  EXPECT_EQ(body_of({}), "[]");
  EXPECT_EQ(body_of({3, 5, 7}), "[3,5,7]");
  EXPECT_EQ(body_of({0}), "[0]");
  EXPECT_EQ(body_of({UINT64_MAX}), "[18446744073709551615]");
  EXPECT_EQ(body_of({UINT64_MAX, UINT64_MAX, 10}),
            "[18446744073709551615,18446744073709551615,10]");
}

TEST(RequestBody, AnEmptyListNeedsNoItems) {
  char *body = _generate_curl_data(nullptr, 0);
  ASSERT_NE(body, nullptr);
  EXPECT_STREQ(body, "[]");
  free(body);
}

std::vector<std::string> lines_of(curl_slist *list) {
  std::vector<std::string> lines;
  for (curl_slist *node = list; node != nullptr; node = node->next)
    lines.push_back(node->data);
  curl_slist_free_all(list);
  return lines;
}

TEST(HeaderLists, KeyLineFirstAndContentTypeOnlyForSubmission) {
  setenv("QERN_API_KEY", "secret-key", 1);
  EXPECT_EQ(lines_of(_generate_slist(1)),
            (std::vector<std::string>{"x-api-key: secret-key", "Content-Type: application/json"}));
  EXPECT_EQ(lines_of(_generate_slist(2)), (std::vector<std::string>{"x-api-key: secret-key"}));
  EXPECT_EQ(lines_of(_generate_slist(7)), (std::vector<std::string>{"x-api-key: secret-key"}));
  unsetenv("QERN_API_KEY");
  EXPECT_EQ(lines_of(_generate_slist(2)), (std::vector<std::string>{"x-api-key: "}));
}

TEST(HeaderLists, AKeyWithALineBreakOrAnotherControlMakesNoList) {
  for (const char *key : {"k3y\r\nX-Injected: yes", "k3y\n", "k3y\x7f", "\x01k3y"}) {
    EXPECT_EQ(qern_online::make_header_list(1, key), nullptr) << key;
  }
  EXPECT_EQ(lines_of(qern_online::make_header_list(2, "k3y\tSECRET")),
            (std::vector<std::string>{"x-api-key: k3y\tSECRET"}));
}

class CaSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qern-ca-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    for (const std::string &path : made_)
      remove(path.c_str());
    rmdir(root_.c_str());
  }
  std::string make_file(const char *name, mode_t mode) {
    std::string path = root_ + "/" + name;
    FILE *file = fopen(path.c_str(), "w");
    fclose(file);
    chmod(path.c_str(), mode);
    made_.insert(made_.begin(), path);
    return path;
  }
  std::string make_dir(const char *name) {
    std::string path = root_ + "/" + name;
    mkdir(path.c_str(), 0700);
    made_.insert(made_.begin(), path);
    return path;
  }
  std::string root_;
  std::vector<std::string> made_;
};

TEST_F(CaSearch, TheFirstPathThatExistsWinsAndEachCheckIsPrinted) {
  const std::string missing = root_ + "/missing.pem";
  const std::string unreadable = make_file("unreadable.pem", 0);  // existence is enough
  const std::string later = make_file("later.pem", 0644);
  const char *paths[] = {missing.c_str(), unreadable.c_str(), later.c_str()};
  testing::internal::CaptureStdout();
  EXPECT_EQ(qern_online::first_existing_path(paths, 3), paths[1]);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Checking curl cert location " + missing +
                                                        "\nChecking curl cert location " +
                                                        unreadable + "\nFound curl cert\n");
}

TEST_F(CaSearch, ADirectoryCountsAndNothingFoundIsNull) {
  const std::string directory = make_dir("certs");
  const std::string missing = root_ + "/none";
  const char *with_directory[] = {missing.c_str(), directory.c_str()};
  const char *nothing[] = {missing.c_str(), missing.c_str()};
  testing::internal::CaptureStdout();
  EXPECT_EQ(qern_online::first_existing_path(with_directory, 2), with_directory[1]);
  EXPECT_EQ(qern_online::first_existing_path(nothing, 2), nullptr);
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed.find("Found curl cert"), printed.rfind("Found curl cert"));
}

TEST(CaTable, IsSearchedInOrder) {
  testing::internal::CaptureStdout();
  const char *found = _curl_ca_location();
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed.rfind("Checking curl cert location /etc/ssl/certs/ca-certificates.crt\n", 0),
            0u);
  if (found != nullptr) {
    EXPECT_EQ(access(found, F_OK), 0);
  }
}

TEST(TransientCodes, OnlyTimeoutAndTlsConnect) {
  for (int code = 0; code < 100; ++code) {
    EXPECT_EQ(_curl_transient_err(code) != 0, code == 28 || code == 35) << code;
  }
}

TEST(ErrorText, CopiesAtMost127CharactersAndAlwaysPrintsTheWhole) {
  const std::string message(200, 'e');
  char buffer[QERN_ERR_BUF_SIZE];
  memset(buffer, 'x', sizeof buffer);
  testing::internal::CaptureStdout();
  _safe_copy_to_err_buff(message.c_str(), buffer);
  _safe_copy_to_err_buff("short", nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Failed with error: " + message + "\nFailed with error: short\n");
  EXPECT_EQ(std::string(buffer), message.substr(0, 127));

  memset(buffer, 'x', sizeof buffer);
  _safe_copy_to_err_buff("ab", buffer);
  for (size_t i = 2; i < sizeof buffer; ++i)
    ASSERT_EQ(buffer[i], '\0') << i;
}

}  // namespace
