// A whole installation in a temporary folder, laid out as the module expects it:
//
//   <root>/Zephyrquill/Nexoral/Nexoral.so, Settings/CoreSettings.xml, Resource/CoreRes.so,
//                               workers/<name>.so
//   <root>/Zephyrquill/Common Files/bin/ZQCache.so, ZqExchangeAccess.so, LogModule.so
//   <root>/registry/            the registry root
//
// with the built module, components and test workers copied in, and a core settings file made
// from items and worker entries. Service-worker paths are relative to <root>.
#ifndef NEXORAL_TESTS_HARNESS_INSTALLATION_H
#define NEXORAL_TESTS_HARNESS_INSTALLATION_H

#include <map>
#include <string>
#include <vector>

#include "harness/scoped_environment.h"
#include "harness/temp_folder.h"

namespace nexoral::testing {

// One "SERVICEWORKER" element: its id and its items by number.
struct WorkerEntry {
  int id = 0;
  std::map<int, std::string> items;
  std::string rules;  // "SUBSCRIBE" and "EXCLUDE" elements of its "SUBSCRIBTIONS"
  std::string properties;  // "PROPERTY" elements of its "CUSTOMPROPERTIES"
};

// The built artifacts the installations are made of.
std::string BuiltModulePath();
std::string BuiltResourceModulePath();
std::string BuiltComponentsFolder();
std::string BuiltLogModulePath();
// A test worker variant by name: HeadersWorker, RequestWorker, AuthWorker, DecliningWorker,
// NoTerminateWorker.
std::string BuiltTestWorkerPath(const std::string& name);

// A "CoreSettings.xml" text with these core items, service workers and "EXCLUDE" elements of
// the core exclusions.
std::string CoreSettingsXml(const std::map<int, std::string>& coreItems,
                            const std::vector<WorkerEntry>& workers,
                            const std::string& exclusions = "");

// The text's lines, without their line ends.
std::vector<std::string> LinesOf(const std::string& text);
// How many lines contain text.
size_t CountContaining(const std::vector<std::string>& lines, const std::string& text);

class TestInstallation {
 public:
  // Lays out the module, the resource module and the components; no settings file yet.
  TestInstallation();

  const std::string& Root() const { return root_; }  // ends with "/"
  std::string ModuleFolder() const { return root_ + "Zephyrquill/Nexoral/"; }
  std::string ModulePath() const { return ModuleFolder() + "Nexoral.so"; }
  std::string SettingsFolder() const { return ModuleFolder() + "Settings/"; }
  std::string RegistryRoot() const { return root_ + "registry"; }
  std::string Path(const std::string& relative) const { return root_ + relative; }

  // Copies a test worker variant to Zephyrquill/Nexoral/workers/<fileName>; returns the path
  // relative to the root, as the core settings file names it.
  std::string InstallWorker(const std::string& variant, const std::string& fileName);
  // Installs the variant as <name>.so and describes it: load value 1, the order, the name and,
  // when given, the pools.
  WorkerEntry Worker(int id, const std::string& variant, const std::string& name, int order,
                     const std::string& pools = "");
  void WriteCoreSettings(const std::map<int, std::string>& coreItems,
                         const std::vector<WorkerEntry>& workers) const;
  void WriteFile(const std::string& relative, const std::string& content) const;
  // The lines of the file at relative (none when it cannot be read).
  std::vector<std::string> FileLines(const std::string& relative) const;
  // Every line of every file under <root>/logs, where the tests send the module's log.
  std::vector<std::string> LogLines() const;
  // Copies a file into the installation, making its folders.
  void CopyIn(const std::string& source, const std::string& relative) const;

 private:
  TempFolder folder_;
  std::string root_;
};

// The environment a process of the installation runs in: its registry root, its application
// pool, where components are found (empty: the installation's own Common Files/bin/) and the
// directory the mailbox property component checks delegates in (the installation's own).
class InstallationEnvironment {
 public:
  InstallationEnvironment(const TestInstallation& install, const std::string& componentsFolder,
                          const std::string& pool = "OwaPool")
      : registry_("NEXORAL_REGISTRY_ROOT", install.RegistryRoot()),
        components_("NEXORAL_COMPONENTS_DIR", componentsFolder),
        pool_("APP_POOL_ID", pool),
        directory_("NEXORAL_MAILBOX_DIRECTORY", install.SettingsFolder() + "Directory.conf") {}

 private:
  ScopedEnvironment registry_;
  ScopedEnvironment components_;
  ScopedEnvironment pool_;
  ScopedEnvironment directory_;
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_HARNESS_INSTALLATION_H
