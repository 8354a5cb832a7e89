// CustomPropertyDef: one per-user custom property, as declared in the core settings file and as
// exchanged with a worker through CDLLContext::PropertyList.
#ifndef NEXORAL_CUSTOM_PROPERTY_H
#define NEXORAL_CUSTOM_PROPERTY_H

#include <cstdint>
#include <string>
#include <vector>

struct CustomPropertyDef {
  int32_t ServiceWorkerId = 0;  // the worker that declared the property
  int32_t Type = 0;             // the property's type code in the mailbox store
  int32_t ID = 0;               // the property id a worker asks for
  std::string Value;            // the value, as text
  std::string Guid;             // the property set's GUID in the mailbox store
  std::string Name;             // element name of the property in the stored text
  bool Loaded = false;          // the property is the one to fetch or to write
};

typedef std::vector<CustomPropertyDef> CustomPropertyList;

#endif  // NEXORAL_CUSTOM_PROPERTY_H
