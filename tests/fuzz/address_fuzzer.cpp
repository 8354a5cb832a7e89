// Fuzzes the client address reader and the range test of the criteria: three texts from the
// input (an address and the two ends of a range), each read with ParseIPAddress, then the range
// test over every arrangement of them. The oracle is made of properties of an order, not a
// second reader:
// - a refused text leaves the address all zero; a read one holds no NUL before its zone, has
//   bytes (IPv4) or 16-bit groups (IPv6), and its groups written back as text read the same;
// - "::ffff:" before an IPv4 text reads as that IPv4 address, and a zone "%..." after an IPv6
//   text changes nothing;
// - the range test is an order within one family: an address lies in [a, a]; of [a, b] and
//   [b, a] at least one holds a, both only when a and b are equal, and b lies in [a, b]
//   exactly when a does; x lies in [a, b] exactly when a <= x and x <= b, read as [a, x] and
//   [x, b]; a <= b <= c gives a <= c; addresses of two families never meet.
// Longer runs: "Fuzzing" in README.md.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "criteria/criteria_settings.h"
#include "fuzz_check.h"

namespace {

using nexoral::CIPAddress;
using nexoral::CIPRange;

const std::string* shown[3];

}  // namespace

namespace fuzz_check {
void Fail(const char* condition, int line) {
  for (const std::string* text : shown) {
    if (text == nullptr) continue;
    Show("text   ", *text);
  }
  Report(condition, line);
}
}  // namespace fuzz_check

namespace {

bool Same(const CIPAddress& a, const CIPAddress& b) { return a.isIPv4 == b.isIPv4 && a.groups == b.groups; }

bool In(const CIPAddress& x, const CIPAddress& first, const CIPAddress& last) {
  return nexoral::IsAddressInRange(x, CIPRange{first, last});
}
bool AtMost(const CIPAddress& a, const CIPAddress& b) { return In(a, a, b); }

// The address as text again: dotted bytes, or eight hexadecimal groups.
std::string Written(const CIPAddress& address) {
  char text[64];
  const auto& g = address.groups;
  if (address.isIPv4) {
    std::snprintf(text, sizeof(text), "%d.%d.%d.%d", g[0], g[1], g[2], g[3]);
  } else {
    std::snprintf(text, sizeof(text), "%x:%x:%x:%x:%x:%x:%x:%x", g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7]);
  }
  return text;
}

// Reads text and checks what the reader promises of one address; false when it was refused.
bool Read(const std::string& text, CIPAddress& address) {
  address.groups.fill(-1);
  address.isIPv4 = true;
  if (!nexoral::ParseIPAddress(text, address)) {
    EXPECT_OR_ABORT(!address.isIPv4);
    for (int32_t group : address.groups) EXPECT_OR_ABORT(group == 0);
    return false;
  }
  // Nothing but the address itself before a zone: a NUL ends no text early.
  EXPECT_OR_ABORT(text.substr(0, text.find('%')).find('\0') == std::string::npos);
  const int32_t top = address.isIPv4 ? 0xff : 0xffff;
  for (size_t i = 0; i < address.groups.size(); ++i) {
    EXPECT_OR_ABORT(address.groups[i] >= 0 && address.groups[i] <= top);
    EXPECT_OR_ABORT(!address.isIPv4 || i < 4 || address.groups[i] == 0);
  }
  CIPAddress again;
  EXPECT_OR_ABORT(nexoral::ParseIPAddress(Written(address), again) && Same(address, again));
  EXPECT_OR_ABORT(In(address, address, address));
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  std::string texts[3];
  CIPAddress addresses[3];
  bool read[3];
  for (int i = 0; i < 3; ++i) {
    texts[i] = i == 2 ? in.ConsumeRemainingBytesAsString() : in.ConsumeRandomLengthString(64);
    shown[i] = &texts[i];
    read[i] = Read(texts[i], addresses[i]);
  }
  for (int i = 0; i < 3; ++i) {
    if (!read[i]) continue;
    CIPAddress other;
    if (addresses[i].isIPv4 && texts[i].find_first_of("%:") == std::string::npos) {
      EXPECT_OR_ABORT(nexoral::ParseIPAddress("::ffff:" + texts[i], other) && Same(addresses[i], other));
    }
    if (!addresses[i].isIPv4 && texts[i].find('%') == std::string::npos) {
      EXPECT_OR_ABORT(nexoral::ParseIPAddress(texts[i] + "%" + texts[(i + 1) % 3], other) &&
                      Same(addresses[i], other));
    }
  }
  const CIPAddress &a = addresses[0], &b = addresses[1], &c = addresses[2];
  if (!read[0] || !read[1]) return 0;
  if (a.isIPv4 != b.isIPv4) {
    EXPECT_OR_ABORT(!In(a, a, b) && !In(a, b, a) && !In(b, a, b) && !In(a, b, b));
    return 0;
  }
  EXPECT_OR_ABORT(AtMost(a, b) || AtMost(b, a));
  EXPECT_OR_ABORT((AtMost(a, b) && AtMost(b, a)) == Same(a, b));
  EXPECT_OR_ABORT(In(b, a, b) == In(a, a, b));
  if (!read[2] || c.isIPv4 != a.isIPv4) return 0;
  EXPECT_OR_ABORT(In(c, a, b) == (AtMost(a, c) && AtMost(c, b)));
  EXPECT_OR_ABORT(In(c, a, b) == (In(c, a, c) && In(c, c, b)));
  EXPECT_OR_ABORT(!(AtMost(a, b) && AtMost(b, c)) || AtMost(a, c));
  return 0;
}
