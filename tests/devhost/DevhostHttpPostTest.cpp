#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "Probe.h"
#include "support/WebhookReceiver.h"

namespace veltrane::test {
namespace {

class DevhostHttpPost : public ::testing::Test {
 protected:
  std::unique_ptr<DevhostRunner> devhost_ = ProbeRunner();
};

TEST_F(DevhostHttpPost, PostReachesTheReceiverAsJsonAndItsStatusIsPrinted) {
  WebhookReceiver receiver(204);
  const std::string body =
      R"({"content":"Zo\u00eb linked \u20ac","username":"MyARK","avatar_url":null})";
  const DevhostResult result = devhost_->Run("join bob\nchat bob /probe post " +
                                             receiver.Url("/hook?wait=1") + " " + body + "\n");
  const std::optional<std::string> post = result.First("http-post ");
  ASSERT_TRUE(post);
  EXPECT_EQ(TextField(post, "url"), receiver.Url("/hook?wait=1"));
  EXPECT_EQ(TextField(post, "body"), body);
  EXPECT_EQ(result.WithPrefix("http-status "),
            std::vector<std::string>{"http-status url=\"" + receiver.Url("/hook?wait=1") +
                                     "\" status=204"});

  ASSERT_EQ(receiver.Requests().size(), 1u);
  const HttpRequest request = receiver.Requests().front();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/hook?wait=1");
  EXPECT_EQ(request.headers.at("content-type"), "application/json");
  EXPECT_EQ(request.body, body);
}

TEST_F(DevhostHttpPost, ErrorStatusOfTheReceiverIsPrinted) {
  WebhookReceiver receiver(500);
  const DevhostResult result =
      devhost_->Run("join bob\nchat bob /probe post " + receiver.Url() + " {}\n");
  EXPECT_EQ(Field(*result.First("http-status "), "status"), 500);
}

TEST_F(DevhostHttpPost, RefusedConnectionPrintsAnError) {
  const WebhookReceiver::RefusingPort nobody;
  const DevhostResult result =
      devhost_->Run("join bob\nchat bob /probe post " + nobody.Url() + " {}\n");
  const std::optional<std::string> status = result.First("http-status ");
  ASSERT_TRUE(status);
  EXPECT_EQ(TextField(status, "url"), nobody.Url());
  EXPECT_FALSE(TextField(status, "error").empty());
  EXPECT_FALSE(Field(*status, "status"));
}

TEST_F(DevhostHttpPost, OnlyHttpIsSpoken) {
  const DevhostResult result =
      devhost_->Run("join bob\nchat bob /probe post file:///etc/passwd {}\n");
  EXPECT_FALSE(TextField(result.First("http-status "), "error").empty());
}

TEST_F(DevhostHttpPost, PendingPostsFinishBeforeThePluginIsUnloaded) {
  WebhookReceiver receiver(204);
  const DevhostResult result =
      devhost_->Run("join bob\nchat bob /probe post " + receiver.Url("/1") +
                    " {}\nchat bob /probe post " + receiver.Url("/2") + " {}\n");
  std::vector<std::string> order;
  for (const std::string& line : result.lines)
    if (line.rfind("http-status ", 0) == 0 || line == "unload ok")
      order.push_back(line.substr(0, 11));
  EXPECT_EQ(order, (std::vector<std::string>{"http-status", "http-status", "unload ok"}));
  EXPECT_EQ(receiver.Requests().size(), 2u);
}

// n posts by bob, each to url.
std::string Posts(const std::string& url, int n) {
  std::string script = "join bob\n";
  for (int i = 0; i < n; ++i)
    script += "chat bob /probe post " + url + " {\"n\":" + std::to_string(i) + "}\n";
  return script;
}

std::vector<std::string> ErrorsOf(const std::vector<std::string>& statuses) {
  std::vector<std::string> errors;
  errors.reserve(statuses.size());
  for (const std::string& line : statuses) errors.push_back(TextField(line, "error"));
  return errors;
}

// A receiver that never answers: every post is still pending when the input ends.
TEST_F(DevhostHttpPost, ShutdownGivesUpOnUnansweredPostsWithinSecondsAndSaysSoForEach) {
  WebhookReceiver silent(204, std::chrono::hours(1));
  const DevhostResult result =
      devhost_->Run(Posts(silent.Url(), 100), {}, std::chrono::seconds(30));
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_code, 0);
  const std::vector<std::string> statuses = result.WithPrefix("http-status ");
  ASSERT_EQ(statuses.size(), 100u);
  for (const std::string& error : ErrorsOf(statuses))
    EXPECT_EQ(error, "dropped: still pending at shutdown");
  EXPECT_EQ(result.lines.back(), "unload ok");
}

TEST_F(DevhostHttpPost, SigtermGivesUpOnUnansweredPostsToo) {
  WebhookReceiver silent(204, std::chrono::hours(1));
  auto server = devhost_->Start(Posts(silent.Url(), 20), "pw");
  ASSERT_TRUE(server);
  ASSERT_TRUE(silent.WaitForRequests(20));
  const DevhostResult result = server->Stop(std::chrono::seconds(20));
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_code, 0);
  const std::vector<std::string> statuses = result.WithPrefix("http-status ");
  ASSERT_EQ(statuses.size(), 20u);
  for (const std::string& error : ErrorsOf(statuses))
    EXPECT_EQ(error, "dropped: still pending at shutdown");
}

// More posts than may be in flight and wait together: the rest are refused at once, each with
// its line, and nothing goes without one.
TEST_F(DevhostHttpPost, PostsBeyondTheQueueAreDroppedWithALineEach) {
  WebhookReceiver silent(204, std::chrono::hours(1));
  const int posts = 64 + 1024 + 40;
  const DevhostResult result =
      devhost_->Run(Posts(silent.Url(), posts), {}, std::chrono::seconds(60));
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.Count("http-post "), std::size_t(posts));
  const std::vector<std::string> errors = ErrorsOf(result.WithPrefix("http-status "));
  ASSERT_EQ(errors.size(), std::size_t(posts));
  const auto full = std::count(errors.begin(), errors.end(), "dropped: the HTTP queue is full");
  const auto pending =
      std::count(errors.begin(), errors.end(), "dropped: still pending at shutdown");
  EXPECT_GE(full, 40);
  EXPECT_EQ(full + pending, posts);
}

// A burst against a receiver that takes half a second for each answer: all are answered, and
// http-wait holds the script until they are.
TEST_F(DevhostHttpPost, BurstAgainstASlowReceiverIsAnsweredInFull) {
  WebhookReceiver slow(204, std::chrono::milliseconds(500));
  const DevhostResult result = devhost_->Run(
      Posts(slow.Url(), 200) + "http-wait 60000\necho answered\n", {}, std::chrono::seconds(90));
  EXPECT_FALSE(result.timed_out);
  std::vector<std::string> statuses;
  for (const std::string& line : result.lines) {
    if (line == "echo \"answered\"") break;
    if (line.rfind("http-status ", 0) == 0) statuses.push_back(line);
  }
  ASSERT_EQ(statuses.size(), 200u);
  for (const std::string& line : statuses) EXPECT_EQ(Field(line, "status"), 204) << line;
  EXPECT_EQ(slow.Requests().size(), 200u);
  EXPECT_TRUE(Errors(result).empty());
}

TEST_F(DevhostHttpPost, HttpWaitReturnsAtOnceWithNothingPendingAndReportsATimeout) {
  WebhookReceiver silent(204, std::chrono::hours(1));
  const DevhostResult result =
      devhost_->Run("http-wait\necho idle\njoin bob\nchat bob /probe post " + silent.Url() +
                    " {}\nhttp-wait 300\necho after\nhttp-wait x\n");
  EXPECT_EQ(Errors(result), (std::vector<std::string>{"http-wait: posts still pending after 300 ms",
                                                      "MS is not a 32-bit integer: x"}));
  EXPECT_TRUE(result.First("echo \"idle\""));
  EXPECT_EQ(result.Count("http-status "), 1u);  // dropped at shutdown
}

}  // namespace
}  // namespace veltrane::test
