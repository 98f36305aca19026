// A webhook receiver for the demo: listens on 127.0.0.1, answers every POST with 204 (400, as
// Discord would, to a body Discord refuses) and prints each request body on its own line, with
// the time it came after the first, until it is told to stop (SIGINT or SIGTERM).
//
//   webhook-receiver PORT_FILE     writes its port to PORT_FILE once it listens
//   webhook-receiver --help        prints the usage (also -h)

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

#include "WebhookReceiver.h"

namespace {
volatile std::sig_atomic_t stop_requested = 0;
void RequestStop(int) { stop_requested = 1; }

// "1.234s": when a request came, after the first one, to see the pace of the posts.
std::string SecondsAfter(std::chrono::steady_clock::time_point first,
                         std::chrono::steady_clock::time_point time) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time - first).count();
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%03llds", static_cast<long long>(ms / 1000),
                static_cast<long long>(ms % 1000));
  return text;
}

constexpr char kUsage[] =
    "usage: webhook-receiver PORT_FILE  (listens on 127.0.0.1 and writes its port to PORT_FILE)\n";
}  // namespace

int main(int argc, char** argv) {
  const std::string_view argument = argc == 2 ? argv[1] : "";
  if (argc == 2 && (argument == "--help" || argument == "-h")) {
    std::cout << kUsage;
    return 0;
  }
  // An option taken for a file name would start a server and leave a file named "--port"; a port
  // file whose name starts with "-" is written "./-name".
  if (argc == 2 && argument.starts_with('-'))
    std::cerr << "webhook-receiver: unknown option " << argument << '\n';
  if (argc != 2 || argument.starts_with('-')) {
    std::cerr << kUsage;
    return 2;
  }
  std::signal(SIGINT, RequestStop);
  std::signal(SIGTERM, RequestStop);

  veltrane::test::WebhookReceiver receiver(204);
  receiver.CheckDiscordRules();
  {
    std::ofstream port_file(argv[1]);
    port_file << receiver.Port() << '\n';
    // Whoever waits for the port would otherwise wait for a file that never comes.
    if (!port_file.flush()) {
      std::cerr << "webhook-receiver: cannot write the port file " << argv[1] << '\n';
      return 1;
    }
  }
  std::size_t printed = 0;
  while (!stop_requested) {
    if (!receiver.WaitForRequests(printed + 1, std::chrono::milliseconds(200))) continue;
    const auto requests = receiver.Requests();
    for (; printed < requests.size(); ++printed) {
      const auto& request = requests[printed];
      const auto content_type = request.headers.find("content-type");
      std::cout << "webhook-receiver " << request.method << ' ' << request.path << " content-type="
                << (content_type == request.headers.end() ? "" : content_type->second)
                << " at=" << SecondsAfter(requests.front().received, request.received)
                << " body=" << request.body
                << (request.discord_refusal.empty() ? "" : " refused=" + request.discord_refusal)
                << std::endl;
    }
  }
  return 0;
}
