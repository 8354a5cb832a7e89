// Test servers, the upstream, clients and readers of what they report.
#include "e2e_support.h"

#include <curl/curl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <zlib.h>

#include <chrono>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>

#include "compression.h"
#include "net.h"
#include "platform/ascii_text.h"

extern char** environ;

namespace nexoral::testing {
namespace {

using namespace nexoral::server;

void Pause(size_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

size_t Append(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

// The upstream's answer to one request; false when the connection is to end.
bool Answer(tcp::socket& socket, const http::request<http::string_body>& request) {
  const std::string target(request.target());
  const auto has = [&](const char* what) { return target.find(what) != std::string::npos; };
  std::vector<size_t> numbers;  // those after the target's last letter: "/cl/50/80" -> 50, 80
  std::istringstream digits(target.substr(target.find_last_of("abcdefghijklmnopqrstuvwxyz") + 1));
  for (size_t number = 0; digits.ignore() >> number;) numbers.push_back(number);
  error_code ignored;
  const auto send = [&](const std::string& bytes) {
    asio::write(socket, asio::buffer(bytes), ignored);
  };
  const auto head = [&](const std::string& framing) {
    send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n" + framing + "\r\n\r\n");
  };
  const auto length = [](size_t bytes) { return "Content-Length: " + std::to_string(bytes); };
  if (has("/interim/") || request[http::field::expect] == "100-continue") {
    send("HTTP/1.1 " + (has("/interim/") ? std::to_string(numbers.at(0)) : "100") + " X\r\n\r\n");
    Pause(20);  // so that the interim response arrives alone
  }
  if (has("/page")) {  // a web-mail page naming its target, in two chunks for "/page-chunked"
    const std::string page = "<html><head data-x=\"a>b\"><title>" + target +
                             "</title></head><body>mail</body></html>";
    std::ostringstream chunks;
    chunks << "a\r\n" << page.substr(0, 10) << "\r\n" << std::hex << page.size() - 10 << "\r\n"
           << page.substr(10) << "\r\n0\r\n\r\n";
    const bool chunked = has("chunked");
    if (!chunked && request[http::field::accept_encoding].find("gzip") != std::string::npos) {
      http::response_header<> gzip;
      gzip.set(http::field::content_type, "text/html");
      MarkGzip(gzip);
      const CompressionSettings settings;
      ResponseCompressor packer(settings);
      std::string wire;
      const std::string_view body = page;
      packer.Begin(gzip) && packer.Add(BodyPieces(&body, 1), true, wire);
      send(wire);
      return request.keep_alive();
    }
    send("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n" +
         (chunked ? "Transfer-Encoding: chunked" : length(page.size())) + "\r\n\r\n" +
         (chunked ? chunks.str() : page));
  } else if (has("/chunked/")) {
    head("Transfer-Encoding: chunked");
    size_t sent = 0;
    for (const size_t size : numbers) {
      std::ostringstream chunk;
      chunk << std::hex << size << "\r\n" << UpstreamPattern(sent + size).substr(sent) << "\r\n";
      send(chunk.str());
      sent += size;
    }
    send("0\r\n\r\n");
  } else if (has("/broken")) {
    head(length(1000));
    send(UpstreamPattern(100));
    return false;
  } else if (has("/cl/")) {
    const std::string body = UpstreamPattern(numbers.at(0));
    const size_t ms = numbers.size() > 1 ? numbers[1] : 0, piece = ms ? 10 : body.size() + 1;
    Pause(ms);
    head(length(body.size()));
    for (size_t at = 0; at < body.size(); at += piece, Pause(ms)) send(body.substr(at, piece));
  } else {
    std::ostringstream echo;
    echo << request.method_string() << " " << target << "\n";
    for (const auto& field : request) echo << field.name_string() << ": " << field.value() << "\n";
    echo << "\n" << request.body();
    head(length(echo.str().size()));
    send(echo.str());
  }
  return request.keep_alive();
}

// One connection's requests, until the server or the upstream ends it.
void Serve(tcp::socket socket, std::atomic<int>& posts) {
  beast::flat_buffer buffer;
  error_code ec;
  for (bool answer = true, more = true; more;) {
    http::request<http::string_body> request;
    http::read(socket, buffer, request, ec);
    posts += !ec && request.method() == http::verb::post;
    more = !ec && answer && Answer(socket, request);
    answer = request.target().find("/close-next") == std::string::npos;
  }
}

}  // namespace

ServerProcess::ServerProcess(const ServerSetup& setup) {
  folder_.WriteFile("www/owa/index.html", "<html><body>inbox</body></html>\n");
  folder_.WriteFile("www/public/logo.txt", "public logo\n");
  for (const auto& [path, content] : setup.files) folder_.WriteFile(path, content);
  if (setup.files.count("users") == 0) {
    folder_.WriteFile("users",  // the password: "wonderland"
                      "alice:$6$salt$aYIgyX7fqH6ghwzyVAOL2sIqJqBdlT3dY0FxMfoqr0L.komU5a6cj5ZoT6kcJ7Ze"
                      "imiTDLJNlOOcsXrwSZjsv.:CONTOSO:S-1-5-21-1001:S-1-5-21-513,S-1-5-32-545\n");
  }
  std::string config = "[server]\nthreads = " + std::to_string(setup.threads) +
                       "\ndocument_root = www\naccess_log = access.log\n" +
                       (setup.module.empty() ? "" : "module = " + setup.module + "\n") +
                       "[listen]\nhttp = " + setup.httpAddress + ":0\n";
  const std::string certificate =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj "
      "/CN=localhost -addext subjectAltName=IP:" + setup.httpsAddress + " -keyout '" +
      folder_.Join("key.pem") + "' -out '" + CertificatePath() + "' >/dev/null 2>&1";
  if (!setup.httpsAddress.empty() && std::system(certificate.c_str()) == 0) {
    config += "https = " + setup.httpsAddress +
              ":0\n[tls]\ncertificate = cert.pem\nprivate_key = key.pem\n";
  }
  folder_.WriteFile("server.conf", config + "[auth]\nusers_file = users\nanonymous = /public/\n"
                                            "anonymous = /api/open/\n" + setup.config);
  // The recording filter reads its settings from the environment the server inherits.
  setenv("NEXORAL_TEST_FILTER_LOG", folder_.Join("filter.log").c_str(), 1);
  setenv("NEXORAL_TEST_FILTER_FLAGS", setup.filterFlags.c_str(), 1);
  const std::string command = "exec '" NEXORAL_SERVER_PATH "' --config '" +
                              folder_.Join("server.conf") + "' --ready-file '" +
                              folder_.Join("ready") + "' 2>'" + folder_.Join("stderr.log") + "'";
  const char* args[] = {"sh", "-c", command.c_str(), nullptr};
  if (posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, const_cast<char**>(args), environ)) pid_ = -1;
  // Ready when the server has written its listeners; an exit before that is a start failure.
  for (int waited = 0; pid_ > 0 && httpPort_ == 0 && waited < 20000; waited += 20) {
    Pause(20);
    std::istringstream lines(Read("ready"));
    std::string scheme, address;
    for (uint16_t port = 0; lines >> scheme >> address >> port;) {
      std::string& url = scheme == "https" ? httpsUrl_ : httpUrl_;
      url = scheme + "://" + address + ":" + std::to_string(port);
      httpPort_ = scheme == "http" ? port : httpPort_;
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
  }
}

int ServerProcess::Wait(int waitMs) {
  int status = -1;
  for (int waited = 0; pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0; waited += 10) {
    if (waited > waitMs) ::kill(pid_, SIGKILL);
    Pause(10);
  }
  pid_ = -1;
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

InstalledModule::InstalledModule(bool responseHeaders) {
  std::vector<WorkerEntry> workers = {install.Worker(1, "RequestWorker", "Requests", 1)};
  workers[0].rules = R"(<SUBSCRIBE FOLDER="api" FOLDERONLY="1" Type="10"/>)"
                     R"(<SUBSCRIBE FOLDER="owa" FOLDERONLY="1" Type="11"/>)"
                     R"(<EXCLUDE FOLDER="unwatched" FOLDERONLY="1" Type="12"/>)";
  // Items 14, 12 and 39: plain log lines, at the most detailed level, under <root>/logs.
  std::map<int, std::string> items = {{14, "1"}, {12, "3"}, {39, install.Path("logs")}};
  if (responseHeaders) {
    workers.push_back(install.Worker(2, "HeadersWorker", "Headers", 2));
    workers.push_back(install.Worker(3, "AuthWorker", "Answers", 3));
    const std::string sample = "Zephyrquill/Nexoral/workers/SampleWorker.so";
    install.CopyIn(NEXORAL_SAMPLE_WORKER_PATH, sample);
    workers.push_back({4, {{1, sample}, {2, "1"}, {3, "4"}, {4, "Sample"}}, "",
                       R"(<PROPERTY ID="2" NAME="ShowBanner" TYPE="3" GUID="{6C1E1F3A-3C5B-4B7E-9E1D-2A4F5B6C7D8E}" VALUE="1"/>)"});
    workers[1].rules = workers[2].rules = workers[3].rules =
        R"(<SUBSCRIBE FOLDER="owa" FOLDERONLY="1" Type="20"/>)";
    items.insert({{82, "X-Nexoral: on"}, {83, "1"}});
  }
  install.WriteCoreSettings(items, workers);
  install.WriteFile("Zephyrquill/Nexoral/Settings/ZQCriteria.xml",
                    "<SETTINGS><CRITERIA ID=\"7\" VALUE=\"Everyone\"/></SETTINGS>");
}

std::string EchoFault(const HttpResponse& response, const std::string& requestLine,
                      const std::string& prefix, const std::string& body) {
  const std::vector<std::string> prefixes = EchoedHeaders(response.body, "ZQ_CsmPrefix");
  const bool right = response.curlCode == 0 && response.status == 200 &&
                     response.body.starts_with(requestLine + "\n") &&
                     response.body.ends_with("\n\n" + body) &&
                     EchoedHeaders(response.body, "X-Remote-Client-IP") ==
                         std::vector<std::string>{response.localAddress} &&
                     prefixes == (prefix.empty() ? prefixes : std::vector<std::string>{prefix}) &&
                     prefixes.size() == (prefix.empty() ? 0u : 1u);
  return right ? "" : std::to_string(response.status) + " " + std::to_string(response.curlCode) +
                          " for " + requestLine + ":\n" + response.body;
}

void ExpectCleanEnd(ServerProcess& server, const InstalledModule& module, size_t taken) {
  EXPECT_EQ(server.Stop(30000), 0) << server.Read("stderr.log");
  EXPECT_EQ(CountContaining(module.install.LogLines(),
                            "TerminateFilter request contexts still alive 0"), 1u);
  const std::vector<std::string> calls = module.install.FileLines("calls.txt");
  EXPECT_EQ(CountContaining(calls, "RequestWorker HttpFilterProc 16384"), taken);  // preproc
  EXPECT_EQ(CountContaining(calls, "RequestWorker HttpFilterProc 128"), taken);  // end of request
  EXPECT_EQ(CountContaining(calls, "RequestWorker HttpFilterProc"), 2 * taken);
}

std::string UpstreamPattern(size_t length) {
  std::string pattern;
  while (pattern.size() < length) pattern += static_cast<char>('a' + pattern.size() % 26);
  return pattern;
}

struct TestUpstream::Listener {
  asio::io_context io;
  tcp::acceptor acceptor{io, {asio::ip::address_v4::loopback(), 0}};
};

TestUpstream::TestUpstream()
    : listener_(std::make_unique<Listener>()), port_(listener_->acceptor.local_endpoint().port()) {
  acceptor_ = std::thread([this] {
    error_code ec;
    for (tcp::socket socket(listener_->io); listener_->acceptor.accept(socket, ec), !ec;) {
      ++accepted_;
      threads_.emplace_back(Serve, std::move(socket), std::ref(posts_));
    }
  });
}

// The servers the tests start go first and end their connections; the threads end with them.
TestUpstream::~TestUpstream() {
  ::shutdown(listener_->acceptor.native_handle(), SHUT_RDWR);
  acceptor_.join();
  for (std::thread& thread : threads_) thread.join();
}

HttpResponse HttpClient::Send(const HttpRequest& request) {
  if (!curl) curl.reset(curl_easy_init(), curl_easy_cleanup);
  CURL* handle = static_cast<CURL*>(curl.get());
  HttpResponse response;
  curl_slist* list = nullptr;
  for (const std::string& line : request.headers) list = curl_slist_append(list, line.c_str());
  curl_easy_reset(handle);
  curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
  // A browser's kind of request: one without a user agent is matched to no criterion.
  curl_easy_setopt(handle, CURLOPT_USERAGENT, "Mozilla/5.0 (X11; Linux x86_64) nexoral-tests");
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, list);
  if (!request.body.empty()) curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body.c_str());
  if (!request.user.empty()) curl_easy_setopt(handle, CURLOPT_USERPWD, request.user.c_str());
  if (!request.caFile.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, request.caFile.c_str());
  if (request.head) curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, 10000L);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, Append);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response.body);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, Append);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &response.headers);
  response.curlCode = curl_easy_perform(handle);
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.status);
  curl_easy_getinfo(handle, CURLINFO_NUM_CONNECTS, &response.newConnections);
  char* localAddress = nullptr;
  curl_easy_getinfo(handle, CURLINFO_LOCAL_IP, &localAddress);
  response.localAddress = localAddress != nullptr ? localAddress : "";
  curl_slist_free_all(list);
  return response;
}

std::string SendRaw(uint16_t port, const std::string& bytes, int timeoutMs) {
  asio::io_context io;
  tcp::socket socket(io);
  error_code ec;
  socket.connect({asio::ip::address_v4::loopback(), port}, ec);
  asio::write(socket, asio::buffer(bytes), ec);
  std::string received;
  char buffer[4096];
  pollfd readable{socket.native_handle(), POLLIN, 0};
  for (ssize_t n = 0; !ec && ::poll(&readable, 1, timeoutMs) > 0 &&
                      (n = ::recv(readable.fd, buffer, sizeof(buffer), 0)) > 0;) {
    received.append(buffer, static_cast<size_t>(n));
  }
  return received;
}

std::string Gunzip(std::string_view data) {
  z_stream zlib{};
  inflateInit2(&zlib, 15 + 16);
  zlib.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zlib.avail_in = static_cast<uInt>(data.size());
  std::string out;
  int result = Z_OK;
  for (char block[16384]; result == Z_OK;) {
    zlib.next_out = reinterpret_cast<Bytef*>(block);
    zlib.avail_out = sizeof(block);
    result = inflate(&zlib, Z_NO_FLUSH);
    out.append(block, sizeof(block) - zlib.avail_out);
  }
  inflateEnd(&zlib);
  // The whole input is one gzip member, nothing after it.
  return result == Z_STREAM_END && zlib.avail_in == 0 ? out : "<not gzip>";
}

std::vector<std::string> EchoedHeaders(const std::string& echo, const std::string& name) {
  std::vector<std::string> values;
  for (const std::string& line : LinesOf(echo.substr(0, echo.find("\n\n")))) {
    if (platform::StartsWithIgnoreCase(line, name + ": ")) {
      values.push_back(line.substr(name.size() + 2));
    }
  }
  return values;
}

}  // namespace nexoral::testing
