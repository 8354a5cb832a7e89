// Starting and stopping a server process for a test.
#include "server_process.h"

#include <crypt.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace nexoral::testing {
namespace {

std::string HashPassword(const std::string& password) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn("$6$", 0, nullptr, 0, salt, sizeof(salt)) == nullptr) {
    throw std::runtime_error("crypt_gensalt failed");
  }
  crypt_data scratch{};
  const char* hash = crypt_rn(password.c_str(), salt, &scratch, sizeof(scratch));
  if (hash == nullptr) throw std::runtime_error("crypt failed");
  return hash;
}

void MakeCertificate(const std::string& folder, const std::string& address) {
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1"
      " -subj /CN=localhost -addext subjectAltName=IP:" + address + " -keyout '" + folder +
      "/key.pem' -out '" + folder + "/cert.pem' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl req failed");
}

// The address as a URL or a listener names it: an IPv6 one in brackets.
std::string HostPart(const std::string& address) {
  return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

}  // namespace

ServerProcess::ServerProcess(const ServerSetup& setup) : listenAddress_(setup.listenAddress) {
  WriteFiles(setup);
  Start(setup);
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) Stop(5000);
}

void ServerProcess::WriteFiles(const ServerSetup& setup) {
  folder_.WriteFile("www/owa/index.html", "<html><body>inbox</body></html>\n");
  folder_.WriteFile("www/public/logo.txt", "public logo\n");
  folder_.WriteFile("secret.txt", "outside the document root\n");
  for (const auto& [path, content] : setup.files) folder_.WriteFile(path, content);
  folder_.WriteFile("users",
                 "# test users\n"
                 "alice:" + HashPassword(kAlicePassword) +
                 ":CONTOSO:S-1-5-21-100-200-300-1001:S-1-5-21-100-200-300-513,S-1-5-32-545\n"
                 "bob:" + HashPassword("builder") + ":CONTOSO:S-1-5-21-100-200-300-1002:\n");
  std::string config =
      "[server]\nthreads = 2\ndocument_root = www\naccess_log = access.log\n";
  const std::string module = !setup.modulePath.empty() ? setup.modulePath
                             : setup.recordingFilter   ? NEXORAL_RECORDING_FILTER_PATH
                                                       : "";
  if (!module.empty()) config += "module = " + module + "\n";
  const std::string host = HostPart(listenAddress_);
  config += "[listen]\nhttp = " + host + ":0\n";
  if (setup.tls) {
    MakeCertificate(folder_.Path(), listenAddress_);
    config += "https = " + host +
              ":0\n[tls]\ncertificate = cert.pem\nprivate_key = key.pem\n";
  }
  config += "[auth]\nusers_file = users\nanonymous = /public/\nanonymous = /api/open/\n";
  if (setup.upstreamPort != 0) {
    config += "[proxy]\nroute = /api/ 127.0.0.1:" + std::to_string(setup.upstreamPort) + "\n";
  }
  config += setup.extraConfig;
  folder_.WriteFile("server.conf", config);
}

void ServerProcess::Start(const ServerSetup& setup) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    if (variable.rfind("NEXORAL_TEST_FILTER_", 0) != 0) environment.push_back(variable);
  }
  environment.push_back("NEXORAL_TEST_FILTER_LOG=" + folder_.Join("filter.log"));
  if (!setup.filterFlags.empty()) {
    environment.push_back("NEXORAL_TEST_FILTER_FLAGS=" + setup.filterFlags);
  }
  std::vector<char*> envp;
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);

  const std::string config = folder_.Join("server.conf");
  const std::string ready = folder_.Join("ready");
  const std::string errors = folder_.Join("stderr.log");
  std::vector<std::string> arguments = {NEXORAL_SERVER_PATH, "--config", config, "--ready-file",
                                        ready};
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start nexoral-server");
  }
  // Ready when the server has written its listeners; an exit before that is a start failure.
  for (int waited = 0; waited < 20000; waited += 20) {
    std::istringstream lines(ReadWholeFile(ready));
    std::string scheme, address;
    unsigned port = 0;
    while (lines >> scheme >> address >> port) {
      (scheme == "https" ? httpsPort_ : httpPort_) = static_cast<uint16_t>(port);
    }
    if (httpPort_ != 0) return;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string ServerProcess::Url(const std::string& path) const {
  return "http://" + HostPart(listenAddress_) + ":" + std::to_string(httpPort_) + path;
}

std::string ServerProcess::SecureUrl(const std::string& path) const {
  return "https://" + HostPart(listenAddress_) + ":" + std::to_string(httpsPort_) + path;
}

std::vector<std::string> ServerProcess::FilterRecord() const {
  std::vector<std::string> lines;
  std::istringstream text(ReadWholeFile(folder_.Join("filter.log")));
  std::string line;
  while (std::getline(text, line)) lines.push_back(line);
  return lines;
}

std::string ServerProcess::AccessLog() const { return ReadWholeFile(folder_.Join("access.log")); }
std::string ServerProcess::ErrorOutput() const { return ReadWholeFile(folder_.Join("stderr.log")); }

void ServerProcess::SignalStop() {
  if (pid_ > 0) ::kill(pid_, SIGTERM);
}

int ServerProcess::Wait(int waitMilliseconds) {
  for (int waited = 0; pid_ > 0 && waited <= waitMilliseconds; waited += 10) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  return -1;
}

int ServerProcess::Stop(int waitMilliseconds) {
  SignalStop();
  return Wait(waitMilliseconds);
}

}  // namespace nexoral::testing
