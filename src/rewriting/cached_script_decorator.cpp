// Decorating and recognising cached-script names.
#include "rewriting/cached_script_decorator.h"

namespace nexoral {

std::string CCachedScriptDecorator::GetHash() const { return hash_; }

std::string CCachedScriptDecorator::GetPrefix() const { return prefix_; }

std::string CCachedScriptDecorator::GetDecoration() const { return hash_ + prefix_; }

std::string CCachedScriptDecorator::Decorate(const std::string& name) const {
  return hash_ + prefix_ + name;
}

std::string CCachedScriptDecorator::Undecorate(const std::string& name) const {
  return name.size() > hash_.size() ? name.substr(hash_.size()) : name;
}

bool CCachedScriptDecorator::IsDecorated(const std::string& name) const {
  return name.size() > hash_.size() && name.compare(hash_.size(), prefix_.size(), prefix_) == 0;
}

}  // namespace nexoral
