// Starting, stopping and querying the test's PostgreSQL server through demo/pg-cluster.sh.
#include "harness/postgres_cluster.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace nexoral::testing {
namespace {

int FreeLoopbackPort() {
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(probe);
  return port;
}

// The command's standard output, or "failed" when it did not exit with 0.
std::string Output(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "failed";
  std::string output;
  char buffer[4096];
  for (size_t read; (read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, read);
  return ::pclose(pipe) == 0 ? output : "failed";
}

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

const std::string kScript = NEXORAL_PG_CLUSTER_SCRIPT;

}  // namespace

PostgresCluster::PostgresCluster() {
  // The server runs as another user when the tests run as root: it must reach its folder.
  ::chmod(folder_.Path().c_str(), 0711);
  for (int attempt = 0; attempt < 3 && !Start(); ++attempt) port_ = 0;
}

bool PostgresCluster::Start() {
  if (port_ == 0) port_ = FreeLoopbackPort();
  std::string uri = Output(kScript + " start " + Quoted(folder_.Join("cluster")) + " " + std::to_string(port_) +
                           " 2>>" + Quoted(folder_.Join("start.log")));
  running_ = uri != "failed" && uri.starts_with("postgresql://");
  if (running_) uri_ = uri.substr(0, uri.find('\n'));
  return running_;
}

bool PostgresCluster::Stop() {
  if (!running_) return true;
  running_ = Output(kScript + " stop " + Quoted(folder_.Join("cluster"))) == "failed";
  return !running_;
}

std::string PostgresCluster::Sql(const std::string& statements) const {
  return Output(kScript + " psql " + Quoted(folder_.Join("cluster")) + " -qtAc " + Quoted(statements) + " 2>&1");
}

}  // namespace nexoral::testing
