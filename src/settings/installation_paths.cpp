// Folder derivation of an installation.
#include "settings/installation_paths.h"

#include "platform/module_names.h"

namespace nexoral {
namespace {

// The folder without its final "/": "/a/b/" -> "/a/b".
std::string WithoutFinalSeparator(const std::string& folder) {
  if (folder.size() > 1 && folder.back() == '/') return folder.substr(0, folder.size() - 1);
  return folder;
}

}  // namespace

std::string ModuleFolderOf(const std::string& modulePath, int levelsUp) {
  const size_t slash = modulePath.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  std::string folder = modulePath.substr(0, slash + 1);
  for (int level = 0; level < levelsUp; ++level) {
    const std::string inner = WithoutFinalSeparator(folder);
    const size_t above = inner.find_last_of('/');
    if (above == std::string::npos || inner == "/") return std::string();
    folder = inner.substr(0, above + 1);
  }
  return folder;
}

InstallationPaths DeriveInstallationPaths(const std::string& moduleFolder,
                                          const std::string& resourceModuleName) {
  InstallationPaths paths;
  paths.moduleFolder = moduleFolder;
  const std::string inner = WithoutFinalSeparator(moduleFolder);
  const size_t slash = inner.find_last_of('/');
  paths.installationFolderName = slash == std::string::npos ? inner : inner.substr(slash + 1);
  const std::string above = slash == std::string::npos ? std::string() : inner.substr(0, slash + 1);
  paths.commonFolder = above + "Common Files/";
  paths.resourcePath =
      moduleFolder + "Resource/" + platform::SharedObjectFileName(resourceModuleName);
  paths.settingsFolder = moduleFolder + "Settings/";
  return paths;
}

std::string ServiceWorkerRoot(const std::string& modulePath) {
  size_t last = modulePath.find_last_of('/');
  if (last == std::string::npos) return modulePath;
  if (last + 1 == modulePath.size()) {
    if (last == 0) return modulePath;
    last = modulePath.find_last_of('/', last - 1);
    if (last == std::string::npos) return modulePath;
  }
  if (last == 0) return modulePath;
  const size_t before = modulePath.find_last_of('/', last - 1);
  if (before == std::string::npos) return modulePath;
  return modulePath.substr(0, before + 1);
}

}  // namespace nexoral
