// CCachedScriptDecorator: the decorated names of the script files service workers put in
// web-mail pages - a hash, the prefix "zq_", then the plain file name. Holds the hash and the
// prefix; not locked: its owner (the cached-script manager) guards it.
#ifndef NEXORAL_REWRITING_CACHED_SCRIPT_DECORATOR_H
#define NEXORAL_REWRITING_CACHED_SCRIPT_DECORATOR_H

#include <cstddef>
#include <string>
#include <utility>

namespace nexoral {

inline constexpr size_t kScriptHashLength = 5;
inline constexpr char kScriptPrefix[] = "zq_";

class CCachedScriptDecorator {
 public:
  // hash is kScriptHashLength characters.
  explicit CCachedScriptDecorator(std::string hash) : hash_(std::move(hash)) {}
  virtual ~CCachedScriptDecorator() = default;

  virtual std::string GetHash() const;
  virtual std::string GetPrefix() const;
  // The hash followed by the prefix: what every decorated name starts with.
  virtual std::string GetDecoration() const;
  // "app.js" -> "<hash>zq_app.js".
  virtual std::string Decorate(const std::string& name) const;
  // The name without its first hash-length characters when it is longer than the hash, else
  // the name unchanged: "<hash>zq_app.js" -> "zq_app.js"; the prefix stays. It does not check
  // that the name was decorated: callers ask IsDecorated first.
  virtual std::string Undecorate(const std::string& name) const;
  // True when the name is longer than the hash and the prefix stands right after the first
  // hash-length characters, whatever they are: a name decorated with an earlier hash still
  // counts, so pages cached before a hash change keep working.
  virtual bool IsDecorated(const std::string& name) const;

  void SetHash(std::string hash) { hash_ = std::move(hash); }

 private:
  std::string hash_;
  std::string prefix_ = kScriptPrefix;
};

}  // namespace nexoral

#endif  // NEXORAL_REWRITING_CACHED_SCRIPT_DECORATOR_H
