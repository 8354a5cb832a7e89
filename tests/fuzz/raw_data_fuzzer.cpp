// Fuzzes the gathering of a response from raw-data blocks and its rebuilding, the way the module
// drives them for one response: AppendBlock, CheckFullHeaders and CheckBody per block until the
// response is whole, then the landmarks and RebuildResponse with a worker's instructions.
//
// The input decides the response (head with Content-Length or chunked, body, chunk sizes, odd
// and invalid forms), its split into blocks and the instructions (inserts and deletions in the
// head and the body, overlapping, out of range). The oracle, built beside the module's code:
// - a well-formed response is gathered whole exactly at its last block, as head + decoded body;
//   no response is whole before its end, and one with a chunk format error is never (it goes
//   out as sent);
// - a refused rebuild leaves the buffer as it was;
// - a rebuilt response has no "Transfer-Encoding" and one "Content-Length:" equal to the body
//   that follows (none needed when the head announced neither);
// - with instructions that neither overlap nor leave the buffer, and a head without oddities,
//   the rebuilt response is exactly the head and the body with the edits applied, the
//   "Content-Length:" and "Transfer-Encoding:" lines aside.
// Longer runs: "Fuzzing" in README.md.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "nexoral/buffer_instruction.h"
#include "nexoral/common_pointers.h"
#include "nexoral/outbound_context.h"
#include "notifications/build_block.h"
#include "notifications/send_raw_data_notification.h"
#include "fuzz_check.h"

namespace {

using nexoral::CSendRawDataNotification;


struct Response {
  std::string head;  // status line, fields, blank line
  std::string body;  // decoded
  std::string wire;  // as the upstream sends it
  bool chunked = false;
  int32_t contentLength = 0;
  bool framed = true;      // the head announces a length or chunks
  bool wellFormed = true;  // must be gathered whole at its last block
  bool plainHead = true;   // the rebuilt head is predictable
  bool badChunks = false;  // must never be rebuilt
  size_t end = SIZE_MAX;   // where in wire the response ends (SIZE_MAX: it never does)
};

bool NameIs(const std::string& line, const char* name) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos || colon != std::char_traits<char>::length(name)) return false;
  return std::equal(line.begin(), line.begin() + colon, name,
                    [](char a, char b) { return (a | 0x20) == b; });
}
bool IsFraming(const std::string& line) {
  return NameIs(line, "content-length") || NameIs(line, "transfer-encoding");
}

template <size_t N>
const char* Pick(FuzzedDataProvider& in, const char* const (&choices)[N]) {
  return choices[in.ConsumeIntegralInRange<size_t>(0, N - 1)];
}

std::string Hex(size_t value, FuzzedDataProvider& in) {
  static const char kLower[] = "0123456789abcdef", kUpper[] = "0123456789ABCDEF";
  const char* digits = in.ConsumeBool() ? kLower : kUpper;
  std::string text;
  do text.insert(text.begin(), digits[value % 16]); while ((value /= 16) != 0);
  return std::string(in.ConsumeIntegralInRange<size_t>(0, 4 - std::min<size_t>(text.size(), 4)), '0') + text;
}

Response MakeResponse(FuzzedDataProvider& in) {
  Response r;
  const uint8_t odd = in.ConsumeIntegral<uint8_t>();  // bits 0-3: kinds of oddity
  r.chunked = in.ConsumeBool();
  r.body = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 4096));
  if (in.ConsumeBool()) r.body = "<html><head><title>t</title></head><body>" + r.body + "</body></html>";
  r.wellFormed = !r.body.empty();
  static const char* const kStatus[] = {"HTTP/1.1 200 OK", "HTTP/1.0 200 OK", "HTTP/1.1 100 Continue",
                                        "HTTP/1.1 204 No Content", "HTTP/1.1 404 Not Found", "HTTP/1.1 2000 OK",
                                        "HTTX/1.1 200 OK", "HTTP/1.1 200", ""};
  const std::string status = (odd & 1) ? Pick(in, kStatus) : kStatus[0];
  r.wellFormed = r.wellFormed && status == kStatus[0];
  std::vector<std::string> fields = {"Content-Type: text/html", "Cache-Control: no-cache",
                                     "X-Pad: " + std::string(in.ConsumeIntegralInRange(0, 300), 'p')};
  static const char* const kEncoding[] = {"Transfer-Encoding: chunked", "transfer-encoding: chunked",
                                          "Transfer-Encoding:chunked", "TRANSFER-ENCODING: Chunked"};
  static const char* const kLength[] = {"Content-Length: ", "content-length: ", "Content-Length:",
                                        "CONTENT-LENGTH:  "};
  r.contentLength = r.chunked ? 0 : static_cast<int32_t>(r.body.size());
  std::string framing = r.chunked ? Pick(in, kEncoding) : Pick(in, kLength) + std::to_string(r.contentLength);
  if (odd & 2) {
    switch (in.ConsumeIntegralInRange(0, 4)) {
      case 0:  // a well-formed head: another field's name ends in "Content-Length"
        fields.insert(fields.begin(), "X-Content-Length: 1");
        break;
      case 1:  // neither length nor chunks: the body ends with the connection
        r.framed = r.chunked = r.wellFormed = r.plainHead = false;
        framing = "X-Unframed: 1";
        r.contentLength = 0;
        break;
      case 2:  // the same length twice, or a length beside the chunks
        fields.push_back("Content-Length: " + std::to_string(r.body.size()));
        r.wellFormed = r.plainHead = false;
        break;
      case 3:  // a length that does not match the body
        if (r.chunked) break;
        r.contentLength += in.ConsumeIntegralInRange(-8, 8);
        framing = "Content-Length: " + std::to_string(r.contentLength);
        r.wellFormed = false;
        break;
      default:  // not a number
        if (r.chunked) break;
        framing = "Content-Length: " + std::to_string(r.contentLength) + Pick(in, {"x", " 1", ".5"});
        r.wellFormed = r.plainHead = false;
    }
  }
  fields.insert(fields.begin() + in.ConsumeIntegralInRange<size_t>(0, fields.size()), framing);
  r.head = status + "\r\n";
  for (const auto& field : fields) r.head += field + "\r\n";
  r.head += "\r\n";
  r.wire = r.head;
  if (!r.chunked) {
    r.wire += r.body;
    if (odd & 8) {  // trailing bytes, or the body cut short
      r.wellFormed = false;
      if (in.ConsumeBool()) r.wire += "HTTP/1.1 200 OK\r\n";
      else r.wire.resize(r.wire.size() - std::min(r.body.size(), in.ConsumeIntegralInRange<size_t>(1, 8)));
    }
    // Without a length the body ends with the connection.
    r.end = !r.framed ? r.wire.size() : r.contentLength >= 0 ? r.head.size() + r.contentLength : SIZE_MAX;
    return r;
  }
  // Chunks of the sizes the input gives; with bit 2 one of them malformed.
  size_t bad = (odd & 4) ? in.ConsumeIntegralInRange<size_t>(0, 15) : SIZE_MAX;
  for (size_t at = 0, index = 0; at < r.body.size(); ++index) {
    const size_t size = in.ConsumeIntegralInRange<size_t>(1, r.body.size() - at);
    std::string line = Hex(size, in) + "\r\n", end = "\r\n";
    if (index == bad || (bad != SIZE_MAX && at + size == r.body.size())) {
      static const char* const kBad[] = {"0", ";", " ", "g", "\n", "-"};
      const char* how = Pick(in, kBad);
      if (*how == '\n') end = "\n";
      else if (*how == '-') line = "\r\n";
      else line.insert(*how == '0' ? 0 : line.size() - 2, std::string(*how == '0' ? 5 : 1, *how));
      r.badChunks = true;
      r.wellFormed = false;
      bad = SIZE_MAX;
    }
    r.wire += line + r.body.substr(at, size) + end;
    at += size;
  }
  static const char* const kLast[] = {"0\r\n\r\n", "00\r\n\r\n", "0000\r\n\r\n"};
  static const char* const kOddLast[] = {"0\r\n", "0\r\nX-Trailer: 1\r\n\r\n", "0\r\n\r\nHTTP/1.1 200 OK\r\n"};
  const std::string last = (odd & 8) ? Pick(in, kOddLast) : Pick(in, kLast);
  if (last.find("\r\n\r\n") != std::string::npos) r.end = r.wire.size() + last.find("\r\n\r\n") + 4;
  r.wire += last;
  r.wellFormed = r.wellFormed && !(odd & 8);
  return r;
}

// The status line and fields of text's head (up to the first blank line), and the body after it.
bool Split(const std::string& text, std::vector<std::string>& lines, std::string& body) {
  const size_t end = text.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  for (size_t at = 0; at <= end; at = text.find("\r\n", at) + 2) lines.push_back(text.substr(at, text.find("\r\n", at) - at));
  body = text.substr(end + 4);
  return true;
}

struct Edit {
  size_t offset;  // in the gathered buffer; SIZE_MAX: outside it
  bool add;
  std::string text;
  uint32_t length;
};

// The edits in the list's order: by position, insertions first, the later of equal ones first.
std::vector<Edit> InListOrder(std::vector<Edit> edits) {
  std::reverse(edits.begin(), edits.end());
  std::stable_sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) {
    return a.offset != b.offset ? a.offset < b.offset : a.add > b.add;
  });
  return edits;
}

// text with the ordered edits applied in one pass; false when one starts inside what an earlier
// one removed or reaches past the end.
bool Apply(const std::string& text, const std::vector<Edit>& edits, std::string& result) {
  size_t cursor = 0;
  for (const Edit& edit : edits) {
    if (edit.offset < cursor || edit.offset > text.size()) return false;
    result.append(text, cursor, edit.offset - cursor);
    cursor = edit.offset;
    if (edit.add) result += edit.text;
    else if ((cursor += edit.length) > text.size()) return false;
  }
  result.append(text, cursor);
  return true;
}

std::vector<Edit> MakeEdits(FuzzedDataProvider& in, const std::string& buffer, size_t headSize) {
  std::vector<Edit> edits;
  std::vector<std::string> lines;
  std::string body;
  Split(buffer, lines, body);
  for (size_t count = in.ConsumeIntegralInRange(0, 8); count > 0; --count) {
    Edit edit{0, in.ConsumeBool(), "", 0};
    const int where = in.ConsumeIntegralInRange(0, 9);
    size_t first = headSize, last = buffer.size() - 1;  // the bytes the edit stays within
    if (where >= 8) {
      first = last = where == 8 ? buffer.size() : SIZE_MAX;  // just past the end, another object
    } else if (where >= 6 && lines.size() > 1) {  // inside a field other than the framing ones
      const size_t line = in.ConsumeIntegralInRange<size_t>(1, lines.size() - 1);
      std::string lower = lines[line];
      for (char& c : lower) c |= 0x20;
      if (lines[line].size() < 2 || lower.find("length") != std::string::npos ||
          lower.find("encoding") != std::string::npos || lower.find("chunked") != std::string::npos) continue;
      first = 0;
      for (size_t i = 0; i < line; ++i) first += lines[i].size() + 2;
      last = first + lines[line].size() - 1;
      first += 1;
    }
    if (first > last) continue;
    edit.offset = in.ConsumeIntegralInRange(first, last);
    if (edit.add && where >= 6 && where < 8) {
      for (size_t n = in.ConsumeIntegralInRange(0, 12); n > 0; --n) edit.text += static_cast<char>('a' + in.ConsumeIntegralInRange(0, 25));
      edit.offset += in.ConsumeBool();  // also just before the line's end
    } else if (edit.add) {
      edit.text = in.ConsumeRandomLengthString(32);
      edit.text.erase(std::remove(edit.text.begin(), edit.text.end(), '\0'), edit.text.end());
    } else {
      const size_t room = (where >= 6 && where < 8) ? last - edit.offset + 1 : in.ConsumeBool() ? 16 : buffer.size() + 16;
      edit.length = static_cast<uint32_t>(in.ConsumeIntegralInRange<size_t>(1, std::max<size_t>(room, 1)));
    }
    edits.push_back(edit);
  }
  return edits;
}

void CheckFraming(const std::string& output, const Response& r) {
  std::vector<std::string> lines;
  std::string body;
  EXPECT_OR_ABORT(Split(output, lines, body));
  size_t lengths = 0;
  for (const auto& line : lines) {
    EXPECT_OR_ABORT(!NameIs(line, "transfer-encoding"));
    if (!NameIs(line, "content-length")) continue;
    ++lengths;
    std::string value = line.substr(15);
    value.erase(0, value.find_first_not_of(' '));
    EXPECT_OR_ABORT(value == std::to_string(body.size()));
  }
  EXPECT_OR_ABORT(r.plainHead ? lengths == 1 : r.framed ? lengths >= 1 : lengths <= 1);
}

char foreign[64];  // an object that is not the response buffer

// What a failure report shows, set as the run gets there.
const std::vector<std::string>* shownBlocks;
const std::vector<Edit>* shownEdits;
const std::string *shownBefore, *shownAfter;

}  // namespace

namespace fuzz_check {
void Fail(const char* condition, int line) {
  for (size_t i = 0; shownBlocks != nullptr && i < shownBlocks->size(); ++i) Show("block  ", (*shownBlocks)[i]);
  for (size_t i = 0; shownEdits != nullptr && i < shownEdits->size(); ++i) {
    const Edit& edit = (*shownEdits)[i];
    std::fprintf(stderr, "%s at %zd, length %u: ", edit.add ? "insert" : "delete",
                 static_cast<ssize_t>(edit.offset), edit.length);
    Show("", edit.text);
  }
  if (shownBefore != nullptr) Show("before ", *shownBefore);
  if (shownAfter != nullptr) Show("after  ", *shownAfter);
  Report(condition, line);
}
}  // namespace fuzz_check

namespace {

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  shownBlocks = nullptr;
  shownEdits = nullptr;
  shownBefore = shownAfter = nullptr;
  const Response r = MakeResponse(in);

  // The server hands the head over as one block (the split of the smallest inputs); any split
  // is allowed.
  std::vector<std::string> blocks;
  if (!in.ConsumeBool()) blocks.push_back(r.wire.substr(0, r.head.size()));
  for (size_t at = blocks.empty() ? 0 : r.head.size(); at < r.wire.size();) {
    const size_t left = r.wire.size() - at;
    const size_t length = blocks.size() < 63 ? in.ConsumeIntegralInRange<size_t>(1, left) : left;
    blocks.push_back(r.wire.substr(at, length));
    at += length;
  }
  shownBlocks = &blocks;
  COutboundContext out;
  out.Chunked = r.chunked ? 1 : 0;
  out.ResponseContentLength = r.contentLength;
  size_t used = 0, consumed = 0;
  bool whole = false, letThrough = false;
  while (used < blocks.size() && !whole && !letThrough) {
    const std::string& block = blocks[used++];
    consumed += block.size();
    if (!CSendRawDataNotification::AppendBlock(out, block.data(), static_cast<uint32_t>(block.size()))) break;
    CSendRawDataNotification::CheckFullHeaders(out, letThrough);
    if (!letThrough) whole = CSendRawDataNotification::CheckBody(out, letThrough);
  }
  EXPECT_OR_ABORT(!r.wellFormed || (whole && used == blocks.size()));
  EXPECT_OR_ABORT(!(whole && r.badChunks));
  EXPECT_OR_ABORT(!whole || consumed >= r.end);
  if (!whole) return 0;  // the response goes out as sent
  const std::string before(out.pszBigBuffer, out.BufferSize);
  shownBefore = &before;
  EXPECT_OR_ABORT(!r.wellFormed || before == r.head + r.body);
  const size_t headSize = before.find("\r\n\r\n") == std::string::npos ? before.size() : before.find("\r\n\r\n") + 4;

  const std::vector<Edit> edits = MakeEdits(in, before, headSize);
  shownEdits = &edits;
  CBufferInstructionList list;
  for (const Edit& edit : edits) {
    auto* instruction = new CBufferInstruction;
    instruction->Command = edit.add ? CMD_ADD : CMD_DELETE;
    instruction->Position = edit.offset == SIZE_MAX ? foreign + 8 : out.pszBigBuffer + edit.offset;
    instruction->Text = edit.add ? const_cast<char*>(edit.text.c_str()) : nullptr;
    instruction->Length = edit.length;
    EXPECT_OR_ABORT(list.AddInstruction(instruction) == 0);
  }
  std::string expected;
  const bool clean = Apply(before, InListOrder(edits), expected) &&
                     std::none_of(edits.begin(), edits.end(), [&](const Edit& e) { return e.offset >= before.size(); });

  CCommonPointers landmarks;
  landmarks.GetCommonPointers(out.pszBigBuffer, out.BufferSize);
  const DWORD result = nexoral::RebuildResponse(out, list, landmarks, nullptr);
  const std::string output(out.pszBigBuffer, out.BufferSize);
  shownAfter = &output;
  if (result != 0) {
    EXPECT_OR_ABORT(output == before);
    EXPECT_OR_ABORT(!(clean && r.wellFormed));
    // A decoded body cannot go out as sent: the module rebuilds it without the edits, or fails
    // the request.
    CBufferInstructionList none;
    if (r.chunked && nexoral::RebuildResponse(out, none, landmarks, nullptr) == 0) {
      CheckFraming(std::string(out.pszBigBuffer, out.BufferSize), r);
    }
    return 0;
  }
  CheckFraming(output, r);
  if (!clean || !r.plainHead) return 0;
  std::vector<std::string> wanted, got;
  std::string wantedBody, gotBody;
  EXPECT_OR_ABORT(Split(expected, wanted, wantedBody) && Split(output, got, gotBody));
  wanted.erase(std::remove_if(wanted.begin(), wanted.end(), IsFraming), wanted.end());
  got.erase(std::remove_if(got.begin(), got.end(), IsFraming), got.end());
  EXPECT_OR_ABORT(wanted == got);
  EXPECT_OR_ABORT(wantedBody == gotBody);
  return 0;
}
