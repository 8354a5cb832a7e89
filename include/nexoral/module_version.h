// Version texts of a module: the file version and the product version the filter module logs
// for itself and for each service worker it loads ("GetFilterVersion SW <name>, Version: ...").
// A module states them once, at namespace scope of one of its source files:
//
//   NEXORAL_MODULE_VERSION("1.4.0.12", "1.4");
//
// which exports the two texts as NexoralFileVersion and NexoralProductVersion. A module
// without them is loaded all the same; its version is then logged as empty. Keep each text
// below 256 characters; longer texts are cut there when read.
#ifndef NEXORAL_MODULE_VERSION_H
#define NEXORAL_MODULE_VERSION_H

#define NEXORAL_FILE_VERSION_SYMBOL "NexoralFileVersion"
#define NEXORAL_PRODUCT_VERSION_SYMBOL "NexoralProductVersion"

#define NEXORAL_MODULE_VERSION(fileVersion, productVersion)                        \
  extern "C" {                                                                     \
  __attribute__((visibility("default"))) extern const char NexoralFileVersion[];   \
  __attribute__((visibility("default"))) extern const char NexoralProductVersion[]; \
  }                                                                                \
  __attribute__((used)) const char NexoralFileVersion[] = fileVersion;             \
  __attribute__((used)) const char NexoralProductVersion[] = productVersion

#endif  // NEXORAL_MODULE_VERSION_H
