// The folders of an installation, derived from where the filter module was loaded:
//
//   <root>/Zephyrquill/Nexoral/Nexoral.so        the module; its folder is the module folder
//   <root>/Zephyrquill/Nexoral/Settings/         the settings files
//   <root>/Zephyrquill/Nexoral/Resource/         the resource module
//   <root>/Zephyrquill/Common Files/bin/         the log module and the components
//
// Folders end with "/". Service-worker paths in the core settings file are relative to <root>:
// the folder above the folder that holds the module folder.
#ifndef NEXORAL_SETTINGS_INSTALLATION_PATHS_H
#define NEXORAL_SETTINGS_INSTALLATION_PATHS_H

#include <string>

namespace nexoral {

inline constexpr size_t kMaxSettingsFolderChars = 260;

struct InstallationPaths {
  std::string moduleFolder;            // "/opt/Zephyrquill/Nexoral/"
  std::string installationFolderName;  // "Nexoral"
  std::string commonFolder;            // "/opt/Zephyrquill/Common Files/"
  std::string resourcePath;            // "/opt/Zephyrquill/Nexoral/Resource/CoreRes.so"
  std::string settingsFolder;          // "/opt/Zephyrquill/Nexoral/Settings/"
};

// The folder of a module file, with its trailing "/", and levelsUp more folders removed;
// empty when nothing is left.
std::string ModuleFolderOf(const std::string& modulePath, int levelsUp);

// Every folder of the installation whose module folder is given; the resource module's name
// ("CoreRes.dll") becomes its shared object's.
InstallationPaths DeriveInstallationPaths(const std::string& moduleFolder,
                                          const std::string& resourceModuleName);

// The folder the service-worker paths are relative to: cut after the separator before the
// last one (ignoring a final separator). A path with too few separators stays as it is.
std::string ServiceWorkerRoot(const std::string& modulePath);

}  // namespace nexoral

#endif  // NEXORAL_SETTINGS_INSTALLATION_PATHS_H
