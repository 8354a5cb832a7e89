// What the end-to-end tests drive nexoral-server with: the one way to start a test server, the
// real module in a whole installation, a scriptable upstream, libcurl and raw-socket clients,
// and readers of what the recording filter and the upstream report.
#ifndef NEXORAL_TESTS_SERVER_E2E_SUPPORT_H
#define NEXORAL_TESTS_SERVER_E2E_SUPPORT_H

#include <signal.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "harness/installation.h"

namespace nexoral::testing {

// The one user every test server knows (CONTOSO\alice, two groups), as curl takes it.
inline const std::string kAlice = "alice:wonderland";

struct ServerSetup {
  std::string module = NEXORAL_RECORDING_FILTER_PATH;  // "" for none
  // The recording filter's notifications (hexadecimal): all six.
  std::string filterFlags = "40045c0";
  std::string httpAddress = "127.0.0.1";
  std::string httpsAddress;  // "" for no HTTPS listener
  unsigned threads = 2;      // with one, connections run without strands
  std::string config;        // more lines ("[limits]\nbody_bytes = 10\n")
  std::map<std::string, std::string> files;  // more files for the server's folder ("users" replaces alice's)
};

// A server in a scratch folder: its configuration, users file, document root (www/owa/index.html,
// www/public/logo.txt; /public/ and /api/open/ anonymous) and, with HTTPS, a certificate made
// with the openssl command; listening on ephemeral ports; stopped when the object goes.
class ServerProcess {
 public:
  explicit ServerProcess(const ServerSetup& setup);
  ~ServerProcess() { Stop(5000); }

  bool Running() const { return pid_ > 0; }
  uint16_t HttpPort() const { return httpPort_; }
  std::string Url(const std::string& path, bool secure = false) const {
    return (secure ? httpsUrl_ : httpUrl_) + path;
  }
  std::string CertificatePath() const { return folder_.Join("cert.pem"); }
  // A file of the server's folder: "filter.log" (the recording filter's lines), "access.log",
  // "stderr.log".
  std::string Read(const std::string& name) const { return ReadWholeFile(folder_.Join(name)); }

  void SignalStop() const { if (pid_ > 0) ::kill(pid_, SIGTERM); }
  // Waits for the process to end (killing it after waitMs); its exit status, or -1.
  int Wait(int waitMs);
  int Stop(int waitMs = 10000) {
    SignalStop();
    return Wait(waitMs);
  }

 private:
  TempFolder folder_;
  pid_t pid_ = -1;
  uint16_t httpPort_ = 0;
  std::string httpUrl_, httpsUrl_;
};

// The real module in a whole test installation, with the environment for this process and the
// servers it starts: one recording worker (RequestWorker) takes what lies under /api/ and /owa/,
// except URLs with an "unwatched" folder; the module logs plain lines under <root>/logs. With
// responseHeaders, a second one (HeadersWorker) takes the responses of /owa/, core items 82
// and 83 add "X-Nexoral: on" to the responses taken where it is missing, a third one
// (AuthWorker) answers an authenticated request for /owa/.../answer itself, and the sample
// worker (workers/sample) rewrites the web-mail pages of /owa/, with its "ShowBanner" property.
// One criterion ("7") applies to every authenticated request; user properties are kept in the
// installation's own store.
struct InstalledModule {
  explicit InstalledModule(bool responseHeaders = false);
  TestInstallation install;
  InstallationEnvironment environment{install, ""};
  ScopedEnvironment store{"NEXORAL_MAILBOX_STORE", install.Path("mailbox-properties.db")};
  ScopedEnvironment events{"NEXORAL_EVENT_LOG_FILE", install.Path("events.log")};
  ScopedEnvironment calls{"NEXORAL_TEST_WORKER_RECORD", install.Path("calls.txt")};
};

// A scriptable upstream on 127.0.0.1, one thread per connection. What the target contains says
// what it answers: "/cl/<n>" n bytes with Content-Length, "/cl/<n>/<ms>" the same with the head
// after ms and the body in pieces of 10 bytes, one every ms; "/chunked/<a>,<b>,..." chunks of
// those sizes; "/page" a small web-mail page with Content-Length (gzip when the request's
// Accept-Encoding names it, as a compressing web-mail server sends it), "/page-chunked" the same in
// two chunks; "/broken" 100 of the 1000 bytes it announces, then it closes; else an echo of the
// request: "METHOD target", one "Name: value" line per header, an empty line and the body.
// Before that: "100 Continue" to a request with Expect: 100-continue, and for "/interim/<n>" an
// interim response with status n, each a moment before the rest. After "/close-next" it reads
// the next request on that connection and closes it unanswered.
// Declared before the servers that use it: they end the connections its end waits for.
class TestUpstream {
 public:
  TestUpstream();
  ~TestUpstream();
  uint16_t Port() const { return port_; }
  int ConnectionsAccepted() const { return accepted_; }
  int PostsArrived() const { return posts_; }

 private:
  struct Listener;
  std::unique_ptr<Listener> listener_;
  uint16_t port_ = 0;
  std::atomic<int> accepted_{0};
  std::atomic<int> posts_{0};
  std::vector<std::thread> threads_;  // one per connection
  std::thread acceptor_;
};

// The body /cl/<n> and the chunks carry: a repeating alphabet, so truncation shows.
std::string UpstreamPattern(size_t length);

struct HttpRequest {
  std::string url;
  std::vector<std::string> headers;  // "Name: value"
  std::string body;  // POSTed when not empty
  std::string user;    // "name:password" for Basic
  std::string caFile;  // trusted certificate for https
  bool head = false;   // HEAD instead of GET
};

struct HttpResponse {
  int curlCode = 0;  // 0 when the exchange completed
  long status = 0;
  std::string headers;  // the raw header block
  std::string body;
  long newConnections = 0;   // connections opened for this request
  std::string localAddress;  // the client's own address on the connection it used
};

// A libcurl handle: its kept-alive connections are reused from one request to the next.
struct HttpClient {
  HttpResponse Send(const HttpRequest& request);
  std::shared_ptr<void> curl;
};

// Sends bytes on a new connection to 127.0.0.1:port; all that came back until the server
// closed or timeoutMs passed without data.
std::string SendRaw(uint16_t port, const std::string& bytes, int timeoutMs = 3000);

// What is wrong with the test upstream's echo of a request ("GET /path") with that body from
// this client, through the module: "" when nothing. The client's address must come once, and
// the cached-script prefix once for a request the worker takes (prefix not empty), else never.
std::string EchoFault(const HttpResponse& response, const std::string& requestLine,
                      const std::string& prefix, const std::string& body = "");
// Stops the server. It must exit with 0, the module must have destroyed every request context,
// and the worker must have seen `taken` requests begin and end, and nothing else.
void ExpectCleanEnd(ServerProcess& server, const InstalledModule& module, size_t taken);

// A gzip body decompressed by zlib ("<not gzip>" for anything else).
std::string Gunzip(std::string_view data);

// The values of the headers named name (ignoring case) in an echo of the test upstream.
std::vector<std::string> EchoedHeaders(const std::string& echo, const std::string& name);

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_SERVER_E2E_SUPPORT_H
