// A fresh folder under the system's temporary folder, removed with everything in it when the
// object goes. For tests that lay out files: installations, settings, logs.
#ifndef NEXORAL_TESTS_HARNESS_TEMP_FOLDER_H
#define NEXORAL_TESTS_HARNESS_TEMP_FOLDER_H

#include <string>

namespace nexoral::testing {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder, without a trailing slash.
  const std::string& Path() const { return path_; }
  // Path() + "/" + relative.
  std::string Join(const std::string& relative) const { return path_ + "/" + relative; }

  // Writes content into the file at relative, making its folders.
  void WriteFile(const std::string& relative, const std::string& content) const;

 private:
  std::string path_;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);
// Replaces the file's content; throws when the file cannot be written.
void WriteWholeFile(const std::string& path, const std::string& content);

// A name no other test process uses at the same time: prefix, the process id and a counter.
std::string UniqueName(const std::string& prefix);

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_HARNESS_TEMP_FOLDER_H
