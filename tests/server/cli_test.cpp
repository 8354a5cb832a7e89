// The nexoral-server command line: help, version and the configuration check.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "server_process.h"

namespace nexoral::testing {
namespace {

struct CommandResult {
  int exitCode = -1;
  std::string output;  // standard output and error together
};

CommandResult RunServer(const std::string& arguments) {
  const std::string command = std::string(NEXORAL_SERVER_PATH) + " " + arguments + " 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  CommandResult result;
  char buffer[512];
  while (std::fgets(buffer, sizeof(buffer), pipe.get()) != nullptr) result.output += buffer;
  const int status = pclose(pipe.release());
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

class CommandLineTest : public ::testing::Test {
 protected:
  CommandResult Check(const std::string& config) {
    folder_.WriteFile("server.conf", config);
    return RunServer("--check-config --config " + folder_.Join("server.conf"));
  }

  TempFolder folder_;
};

TEST_F(CommandLineTest, HelpAndVersionExitCleanly) {
  const CommandResult help = RunServer("--help");
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.output.find("--check-config"), std::string::npos);
  const CommandResult version = RunServer("--version");
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.output.rfind("nexoral-server ", 0), 0u);
  EXPECT_EQ(RunServer("--no-such-option").exitCode, 2);
}

TEST_F(CommandLineTest, CheckConfigReportsTheFirstErrorWithFileAndLine) {
  const std::string file = folder_.Join("server.conf");
  EXPECT_EQ(Check("[listen]\nhttp = 127.0.0.1:8080\n").exitCode, 0);
  const CommandResult unknown = Check("[listen]\nhttp = 127.0.0.1:8080\ncolour = blue\n");
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_EQ(unknown.output, file + ":3: unknown key listen.colour\n");
  const CommandResult missing =
      Check("[listen]\nhttp = 127.0.0.1:8080\n[server]\n\ndocument_root = nowhere\n");
  EXPECT_EQ(missing.output,
            file + ":5: server.document_root: no such folder: " + folder_.Join("nowhere") + "\n");
}

TEST_F(CommandLineTest, CheckConfigReadsTheUsersFileToo) {
  folder_.WriteFile("users", "# users\nalice:$6$x$y:CONTOSO:S-1-5-21-1:\nbroken line\n");
  const CommandResult result =
      Check("[listen]\nhttp = 127.0.0.1:8080\n[auth]\nusers_file = users\n");
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.output, folder_.Join("users") + ":3: expected name:hash:domain:sid:group-sids\n");
}

}  // namespace
}  // namespace nexoral::testing
