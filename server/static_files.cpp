// Serving files from the document root.
#include "static_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// Reads an open file block by block into a buffer of its own, exactly the length its response
// announced (a file cut short meanwhile breaks the response off); the descriptor closes with
// the body.
class FileBody final : public BodySource {
 public:
  FileBody(int fd, uint64_t size) : fd_(fd), remaining_(size) {}
  ~FileBody() override { ::close(fd_); }
  FileBody(const FileBody&) = delete;
  FileBody& operator=(const FileBody&) = delete;

  Task<BodyPieces> Next(error_code& ec) override {
    if (!block_) block_ = std::make_unique_for_overwrite<char[]>(kBodyReadBytes);
    if (remaining_ == 0) co_return BodyPieces();
    const ssize_t got = ::read(fd_, block_.get(), std::min<uint64_t>(kBodyReadBytes, remaining_));
    if (got <= 0) {
      ec = got < 0 ? error_code(errno, boost::system::generic_category())
                   : error_code(asio::error::eof);
      co_return BodyPieces();
    }
    remaining_ -= static_cast<uint64_t>(got);
    piece_ = std::string_view(block_.get(), static_cast<size_t>(got));
    co_return BodyPieces(&piece_, 1);
  }

 private:
  int fd_;
  uint64_t remaining_;
  std::unique_ptr<char[]> block_;
  std::string_view piece_;
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
                                    std::string_view query, bool precompressed) const {
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
  int fd = ::open(file->c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fstat(fd, &status) != 0) {
    if (fd >= 0) ::close(fd);
    return MakeTextResponse(http::status::not_found);
  }
  OutgoingResponse response;
  response.head.result(http::status::ok);
  response.head.set(http::field::content_type, ContentTypeFor(*file));
  // The copy must lie inside the root as well, and be at least as new as the file.
  struct stat packed {};
  const std::string copy = precompressed ? Canonical(*file + ".gz") : std::string();
  const int packedFd = copy.compare(0, root_.size() + 1, root_ + "/") == 0
                           ? ::open(copy.c_str(), O_RDONLY | O_CLOEXEC)
                           : -1;
  if (packedFd >= 0 && fstat(packedFd, &packed) == 0 && S_ISREG(packed.st_mode) &&
      packed.st_mtime >= status.st_mtime) {
    ::close(fd);
    fd = packedFd;
    status = packed;
    response.head.set(http::field::content_encoding, "gzip");
    response.head.set(http::field::vary, "Accept-Encoding");
  } else if (packedFd >= 0) {
    ::close(packedFd);
  }
  response.head.content_length(static_cast<uint64_t>(status.st_size));
  response.body = std::make_unique<FileBody>(fd, static_cast<uint64_t>(status.st_size));
  return response;
}

}  // namespace nexoral::server
