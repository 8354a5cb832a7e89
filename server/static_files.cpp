// Serving files from the document root.
#include "static_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <map>

#include "text_util.h"

namespace nexoral::server {
namespace {

std::string Canonical(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return {};
  return resolved;
}

// Reads an open file block by block; the descriptor closes with the body.
class FileBody final : public BodySource {
 public:
  explicit FileBody(int fd) : fd_(fd) {}
  ~FileBody() override { ::close(fd_); }
  FileBody(const FileBody&) = delete;
  FileBody& operator=(const FileBody&) = delete;

  Task<std::string> Next(error_code& ec) override {
    std::string block(kBodyBlockBytes, '\0');
    const ssize_t got = ::read(fd_, block.data(), block.size());
    if (got < 0) {
      ec = error_code(errno, boost::system::generic_category());
      co_return std::string();
    }
    block.resize(static_cast<size_t>(got));
    co_return block;
  }

 private:
  int fd_;
};

}  // namespace

std::string ContentTypeFor(std::string_view fileName) {
  static const std::map<std::string, std::string, std::less<>> types = {
      {".html", "text/html; charset=utf-8"}, {".htm", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},   {".js", "text/javascript; charset=utf-8"},
      {".json", "application/json"},         {".txt", "text/plain; charset=utf-8"},
      {".xml", "text/xml; charset=utf-8"},   {".svg", "image/svg+xml"},
      {".png", "image/png"},                 {".gif", "image/gif"},
      {".jpg", "image/jpeg"},                {".jpeg", "image/jpeg"},
      {".ico", "image/x-icon"},              {".woff2", "font/woff2"},
  };
  const size_t slash = fileName.rfind('/');
  const size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
    return "application/octet-stream";
  }
  const auto found = types.find(AsciiLower(fileName.substr(dot)));
  return found != types.end() ? found->second : "application/octet-stream";
}

StaticFiles::StaticFiles(std::string root, std::string index)
    : root_(Canonical(root)), index_(std::move(index)) {}

std::optional<std::string> StaticFiles::Resolve(std::string_view decodedPath) const {
  if (root_.empty() || decodedPath.empty() || decodedPath.front() != '/') return std::nullopt;
  std::string candidate = root_ + std::string(decodedPath);
  if (candidate.back() == '/') candidate += index_;
  const std::string real = Canonical(candidate);
  // Symbolic links may point anywhere; only what ends up inside the root is served.
  if (real.empty() || real.compare(0, root_.size() + 1, root_ + "/") != 0) return std::nullopt;
  struct stat status {};
  if (stat(real.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return real;
}

OutgoingResponse StaticFiles::Serve(http::verb method, std::string_view decodedPath,
                                    std::string_view query) const {
  if (method != http::verb::get && method != http::verb::head) {
    OutgoingResponse response = MakeTextResponse(http::status::method_not_allowed);
    response.head.set(http::field::allow, "GET, HEAD");
    return response;
  }
  // A folder named without its slash: send the client to the slash form, as browsers expect.
  const std::string folder = root_ + std::string(decodedPath);
  struct stat status {};
  if (!decodedPath.ends_with("/") && stat(folder.c_str(), &status) == 0 &&
      S_ISDIR(status.st_mode) && Resolve(std::string(decodedPath) + "/")) {
    OutgoingResponse response = MakeTextResponse(http::status::moved_permanently);
    std::string location = std::string(decodedPath) + "/";
    if (!query.empty()) location.append("?").append(query);
    if (IsSafeHeaderValue(location)) response.head.set(http::field::location, location);
    return response;
  }
  const std::optional<std::string> file = Resolve(decodedPath);
  if (!file) return MakeTextResponse(http::status::not_found);
  const int fd = ::open(file->c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fstat(fd, &status) != 0) {
    if (fd >= 0) ::close(fd);
    return MakeTextResponse(http::status::not_found);
  }
  OutgoingResponse response;
  response.head.result(http::status::ok);
  response.head.set(http::field::content_type, ContentTypeFor(*file));
  response.head.content_length(static_cast<uint64_t>(status.st_size));
  response.body = std::make_unique<FileBody>(fd);
  return response;
}

}  // namespace nexoral::server
