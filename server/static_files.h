// Static content from the document root: the web-mail's pages, scripts and images. A decoded
// request path maps to a file under the root; nothing outside the root (through "..", escapes
// or symbolic links) is ever served. Read-only after start-up; any thread.
#ifndef NEXORAL_SERVER_STATIC_FILES_H
#define NEXORAL_SERVER_STATIC_FILES_H

#include <optional>
#include <string>
#include <string_view>

#include "body_source.h"

namespace nexoral::server {

class StaticFiles {
 public:
  // root: the document root folder; index: the file served for a folder ("index.html").
  StaticFiles(std::string root, std::string index);

  // The response for a GET or HEAD of decodedPath (already checked by DecodeRequestPath);
  // query is kept on a redirect to the folder's slash form. With precompressed, a file's
  // "<name>.gz" beside it, when not older, is served instead as its gzip coding.
  OutgoingResponse Serve(http::verb method, std::string_view decodedPath, std::string_view query,
                         bool precompressed = false) const;

  // The file a path names, when it is a regular file inside the root.
  std::optional<std::string> Resolve(std::string_view decodedPath) const;

 private:
  std::string root_;  // canonical, without trailing slash
  std::string index_;
};

// The Content-Type for a file name, by its extension.
std::string ContentTypeFor(std::string_view fileName);

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_STATIC_FILES_H
