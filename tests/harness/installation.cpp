// Test installations.
#include "harness/installation.h"

#include <filesystem>
#include <sstream>

namespace nexoral::testing {
namespace {

std::string Escaped(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string ItemsXml(const std::map<int, std::string>& items, const char* indent) {
  std::string xml;
  for (const auto& [id, value] : items) {
    xml += std::string(indent) + "<ITEM ID=\"" + std::to_string(id) + "\" DESCR=\"\" VALUE=\"" +
           Escaped(value) + "\"/>\n";
  }
  return xml;
}

}  // namespace

std::string BuiltModulePath() { return NEXORAL_BUILT_MODULE; }
std::string BuiltResourceModulePath() { return NEXORAL_BUILT_RESOURCE_MODULE; }
std::string BuiltComponentsFolder() { return NEXORAL_BUILT_COMPONENTS_DIR; }
std::string BuiltLogModulePath() { return NEXORAL_BUILT_LOG_MODULE; }
std::string BuiltTestWorkerPath(const std::string& name) {
  return std::string(NEXORAL_BUILT_TEST_WORKERS_DIR) + "/" + name + ".so";
}

std::string CoreSettingsXml(const std::map<int, std::string>& coreItems,
                            const std::vector<WorkerEntry>& workers,
                            const std::string& exclusions) {
  std::string xml = "<SETTINGS>\n  <CORESETTINGS>\n" + ItemsXml(coreItems, "    ") +
                    "  </CORESETTINGS>\n  <EXCLUSIONS>" + exclusions +
                    "</EXCLUSIONS>\n  <SERVICEWORKERS>\n";
  for (const WorkerEntry& worker : workers) {
    xml += "    <SERVICEWORKER ID=\"" + std::to_string(worker.id) + "\" DESCR=\"\">\n" +
           ItemsXml(worker.items, "      ") + "      <CUSTOMPROPERTIES>" + worker.properties +
           "</CUSTOMPROPERTIES><SUBSCRIBTIONS>" + worker.rules +
           "</SUBSCRIBTIONS>\n    </SERVICEWORKER>\n";
  }
  return xml + "  </SERVICEWORKERS>\n</SETTINGS>\n";
}

TestInstallation::TestInstallation() : root_(folder_.Path() + "/") {
  CopyIn(BuiltModulePath(), "Zephyrquill/Nexoral/Nexoral.so");
  CopyIn(BuiltResourceModulePath(), "Zephyrquill/Nexoral/Resource/CoreRes.so");
  CopyIn(BuiltComponentsFolder() + "/ZQCache.so", "Zephyrquill/Common Files/bin/ZQCache.so");
  CopyIn(BuiltComponentsFolder() + "/ZqExchangeAccess.so",
         "Zephyrquill/Common Files/bin/ZqExchangeAccess.so");
  CopyIn(BuiltLogModulePath(), "Zephyrquill/Common Files/bin/LogModule.so");
  std::filesystem::create_directories(RegistryRoot());
}

std::string TestInstallation::InstallWorker(const std::string& variant,
                                            const std::string& fileName) {
  const std::string relative = "Zephyrquill/Nexoral/workers/" + fileName;
  CopyIn(BuiltTestWorkerPath(variant), relative);
  return relative;
}

WorkerEntry TestInstallation::Worker(int id, const std::string& variant, const std::string& name,
                                     int order, const std::string& pools) {
  WorkerEntry entry{id, {{1, InstallWorker(variant, name + ".so")},
                         {2, "1"},
                         {3, std::to_string(order)},
                         {4, name}}};
  if (!pools.empty()) entry.items[6] = pools;
  return entry;
}

void TestInstallation::WriteCoreSettings(const std::map<int, std::string>& coreItems,
                                         const std::vector<WorkerEntry>& workers) const {
  WriteFile("Zephyrquill/Nexoral/Settings/CoreSettings.xml", CoreSettingsXml(coreItems, workers));
}

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t CountContaining(const std::vector<std::string>& lines, const std::string& text) {
  size_t count = 0;
  for (const std::string& line : lines) count += line.find(text) != std::string::npos ? 1 : 0;
  return count;
}

std::vector<std::string> TestInstallation::FileLines(const std::string& relative) const {
  return LinesOf(ReadWholeFile(Path(relative)));
}

std::vector<std::string> TestInstallation::LogLines() const {
  std::string text;
  const std::filesystem::path logs = Path("logs");
  if (!std::filesystem::exists(logs)) return {};
  for (const auto& entry : std::filesystem::recursive_directory_iterator(logs)) {
    if (entry.is_regular_file()) text += ReadWholeFile(entry.path().string());
  }
  return LinesOf(text);
}

void TestInstallation::WriteFile(const std::string& relative, const std::string& content) const {
  folder_.WriteFile(relative, content);
}

void TestInstallation::CopyIn(const std::string& source, const std::string& relative) const {
  const std::filesystem::path target = root_ + relative;
  std::filesystem::create_directories(target.parent_path());
  std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing);
}

}  // namespace nexoral::testing
