#include <gtest/gtest.h>

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

}  // namespace
}  // namespace veltrane::test
