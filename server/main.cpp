// nexoral-server: the command line. Reads the configuration, starts the server and serves until
// SIGTERM or SIGINT.
#include <fstream>
#include <iostream>
#include <string>

#include "server.h"
#include "server_config.h"
#include "users_file.h"

namespace {

constexpr const char* kDefaultConfig = "/etc/nexoral/server.conf";

void PrintHelp() {
  std::cout <<
      "Usage: nexoral-server [--config FILE] [--check-config] [--ready-file FILE]\n"
      "       nexoral-server --help | --version\n"
      "\n"
      "The HTTP/1.1 and HTTPS front end that loads the Nexoral filter module.\n"
      "\n"
      "  --config FILE      the configuration file (default " << kDefaultConfig << ")\n"
      "  --check-config     check the configuration and the users file, report the first\n"
      "                     error as FILE:LINE: message, and exit (0 when all is well)\n"
      "  --ready-file FILE  once listening, write one line per listener to FILE:\n"
      "                     \"<scheme> <address> <port>\" (for supervisors and tests)\n"
      "  --help             this text\n"
      "  --version          the version\n"
      "\n"
      "SIGTERM or SIGINT stop the server gracefully: requests in flight finish, then the\n"
      "filter module is terminated. The configuration format is described in server/README.md.\n";
}

struct Options {
  std::string configPath = kDefaultConfig;
  std::string readyFile;
  bool checkOnly = false;
};

// 0 to go on, otherwise the exit code.
int ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const bool hasValue = i + 1 < argc;
    if (argument == "--help" || argument == "-h") {
      PrintHelp();
      return -1;
    }
    if (argument == "--version") {
      std::cout << "nexoral-server " << NEXORAL_VERSION << "\n";
      return -1;
    }
    if (argument == "--check-config") {
      options->checkOnly = true;
    } else if ((argument == "--config" || argument == "-c") && hasValue) {
      options->configPath = argv[++i];
    } else if (argument == "--ready-file" && hasValue) {
      options->readyFile = argv[++i];
    } else {
      std::cerr << "nexoral-server: unknown or incomplete option " << argument
                << " (see --help)\n";
      return 2;
    }
  }
  return 0;
}

bool CheckUsersFile(const nexoral::server::ServerConfig& config) {
  if (config.usersFile.empty()) return true;
  nexoral::server::UsersFileError error;
  if (nexoral::server::UsersFile::Load(config.usersFile, &error)) return true;
  std::cerr << config.usersFile << ":" << error.line << ": " << error.message << "\n";
  return false;
}

bool WriteReadyFile(const std::string& path, const nexoral::server::Server& server) {
  if (path.empty()) return true;
  const std::string temporary = path + ".partial";
  {
    std::ofstream file(temporary, std::ios::trunc);
    for (const auto& listener : server.Listeners()) {
      file << listener.scheme << " " << listener.endpoint.address().to_string() << " "
           << listener.endpoint.port() << "\n";
    }
    if (!file) return false;
  }
  // Renamed into place so a reader never sees half of it.
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int optionResult = ParseOptions(argc, argv, &options);
  if (optionResult != 0) return optionResult < 0 ? 0 : optionResult;

  nexoral::server::ConfigResult loaded = nexoral::server::LoadServerConfig(options.configPath);
  if (loaded.error) {
    std::cerr << loaded.error->ToString() << "\n";
    return 1;
  }
  if (options.checkOnly) {
    if (!CheckUsersFile(loaded.config)) return 1;
    std::cout << options.configPath << ": configuration OK\n";
    return 0;
  }

  nexoral::server::Server server(std::move(loaded.config));
  std::string reason;
  if (!server.Start(&reason)) {
    std::cerr << "nexoral-server: " << reason << "\n";
    return 1;
  }
  for (const auto& listener : server.Listeners()) {
    std::cerr << "nexoral-server: listening on " << listener.scheme << "://"
              << listener.endpoint << "/\n";
  }
  if (!WriteReadyFile(options.readyFile, server)) {
    std::cerr << "nexoral-server: cannot write " << options.readyFile << "\n";
    return 1;
  }
  server.Run();
  std::cerr << "nexoral-server: stopped\n";
  return 0;
}
