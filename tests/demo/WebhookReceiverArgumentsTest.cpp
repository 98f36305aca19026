// The demo's webhook receiver and its arguments: help and options are answered at once, and only
// a port file is ever written, into the folder it is called from.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace veltrane::test {
namespace {

namespace fs = std::filesystem;

constexpr char kUsage[] =
    "usage: webhook-receiver PORT_FILE  (listens on 127.0.0.1 and writes its port to PORT_FILE)\n";

// A fresh folder, removed again at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "veltrane-receiver-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> Entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  return names;
}

struct Call {
  std::vector<std::string> arguments;
  int exit_code;
  std::string out;
  std::string err;
};

TEST(WebhookReceiverArguments, HelpAndOptionsAreAnsweredWithoutStartingAServerOrWritingAFile) {
  // "--help" started a server and wrote its port into a file named "--help".
  const std::vector<Call> calls = {
      {{"--help"}, 0, kUsage, ""},
      {{"-h"}, 0, kUsage, ""},
      {{"-x"}, 2, "", std::string("webhook-receiver: unknown option -x\n") + kUsage},
      {{"--port=8080"},
       2,
       "",
       std::string("webhook-receiver: unknown option --port=8080\n") + kUsage},
      {{"-"}, 2, "", std::string("webhook-receiver: unknown option -\n") + kUsage},
      {{}, 2, "", kUsage},
      {{"--help", "port"}, 2, "", kUsage},
      {{"port", "--help"}, 2, "", kUsage},
      // A port file that cannot be written ends the receiver instead of leaving its caller waiting.
      {{"missing/port"}, 1, "", "webhook-receiver: cannot write the port file missing/port\n"},
  };
  for (const Call& call : calls) {
    const ScratchFolder caller;
    const ScratchFolder output;
    std::string command = "cd " + Quoted(caller.Path().string()) + " && timeout -k 5 20 " +
                          Quoted(VELTRANE_BIN_DIR "/webhook-receiver");
    // Appended piece by piece: GCC 12 at -O3 takes " " + ... for overlapping copies (-Wrestrict).
    for (const std::string& argument : call.arguments) command.append(" ").append(Quoted(argument));
    command += " </dev/null >" + Quoted((output.Path() / "out").string()) + " 2>" +
               Quoted((output.Path() / "err").string());
    const int status = std::system(command.c_str());
    const std::string shown = command.substr(command.find("&& ") + 3);
    ASSERT_TRUE(WIFEXITED(status)) << shown;
    EXPECT_EQ(WEXITSTATUS(status), call.exit_code) << shown;
    EXPECT_EQ(ReadFile(output.Path() / "out"), call.out) << shown;
    EXPECT_EQ(ReadFile(output.Path() / "err"), call.err) << shown;
    EXPECT_EQ(Entries(caller.Path()), std::vector<std::string>{}) << shown;
  }
}

}  // namespace
}  // namespace veltrane::test
