// A whole response out of raw blocks (held back, handed over or let through), its landmarks,
// and its rebuilding from buffer instructions: with the sizes always matching what is sent.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "notifications/build_block.h"
#include "notifications/send_raw_data_notification.h"

namespace nexoral::testing {
namespace {

using Raw = CSendRawDataNotification;

const std::string kChunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

// Each block through the accumulation steps: "held", "whole" or "through" after each.
std::string Accumulate(COutboundContext& out, const std::vector<std::string>& blocks,
                       std::string_view method) {
  std::string outcomes;
  for (const std::string& block : blocks) {
    if (out.AlreadySent != 0) {
      outcomes += "passes ";
      continue;
    }
    bool letThrough = false;
    if (!Raw::AppendBlock(out, block.data(), static_cast<uint32_t>(block.size()))) return outcomes + "failed";
    Raw::CheckFullHeaders(out, letThrough);
    letThrough = letThrough || (out.HeadersComplete != 0 && !Raw::BodyFollows(out, method));
    const bool whole = !letThrough && Raw::CheckBody(out, letThrough);
    outcomes += letThrough ? "through " : whole ? "whole " : "held ";
    if (letThrough) out.AlreadySent = 1;
  }
  return outcomes;
}

TEST(RawAccumulationTest, BlocksAreHeldUntilWholeAndDoubtfulDataPassesAsItCame) {
  const struct {
    const char* name;
    bool chunked;
    int32_t announced;  // the send-response step's length
    std::vector<std::string> blocks;
    std::string outcomes, body;  // body: what follows the header block once whole
    std::string_view method = "GET";
  } rows[] = {
      {"ThreeBlocks", false, 10, {"HTTP/1.1 200 OK\r\nContent-Length: 10", "\r\n\r\n", "0123456789"},
       "held held whole ", "0123456789"},
      {"Continue", false, 0, {"HTTP/1.1 100 Continue\r\n\r\n", "more"}, "through passes ", ""},
      {"ShortStatusLine", false, 0, {"HTTP/1.1 20\r\n\r\n", "x"}, "through passes ", ""},
      {"NotHttp", false, 0, {"HTTP/2.0 200 OK\r\n\r\n"}, "through ", ""},
      {"RawLengthWins", false, 99, {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", "abc"}, "held whole ", "abc"},
      {"RawLengthZero", false, 5, {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}, "through ", ""},
      // A zero length before the blank line: the head's rest is never left behind, and a length
      // whose digits are still to come is awaited.
      {"ZeroLengthHeadCut", false, 0, {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n", "X: y\r\n\r\n"},
       "through passes ", ""},
      {"LengthCutBeforeDigits", false, 5, {"HTTP/1.1 200 OK\r\nContent-Length: ", "5\r\n\r\nhello"},
       "held whole ", "hello"},
      // Framing text inside a body is not framing; a body without a length cannot be awaited.
      {"LengthOnlyInBody", false, 0, {"HTTP/1.1 200 OK\r\n\r\nContent-Length: 3\r\n"}, "through ", ""},
      {"NoLengthHeadAlone", false, 0, {"HTTP/1.1 200 OK\r\n\r\n", "body"}, "through passes ", ""},
      {"OneChunk", true, 0, {kChunkedHead, "5\r\nhello\r\n", "0\r\n\r\n"}, "held held whole ", "hello"},
      {"ChunksAndTrailer", true, 0, {kChunkedHead + "3\r\nabc\r\n1\r\nd\r\n0\r\nX: y\r\n", "\r\n"},
       "held whole ", "abcd"},
      {"CrLfSplitAcrossBlocks", true, 0, {kChunkedHead + "5\r\nhello\r", "\n0\r\n\r\n"}, "held whole ", "hello"},
      {"CutMidChunk", true, 0, {kChunkedHead + "a\r\nhel", "lo"}, "held held ", ""},
      {"FiveDigitSize", true, 0, {kChunkedHead + "00005\r\nhello\r\n0\r\n\r\n"}, "through ", ""},
      {"Extension", true, 0, {kChunkedHead + "5;x=1\r\nhello\r\n0\r\n\r\n"}, "through ", ""},
      {"DataNotEndedByCrLf", true, 0, {kChunkedHead + "2\r\nabc\r\n0\r\n\r\n"}, "through ", ""},
      // No body ever follows these heads, whatever their length says.
      {"HeadRequest", false, 10, {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n"}, "through ", "", "HEAD"},
      {"NotModified", false, 10, {"HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\n\r\n"}, "through ", ""},
      {"LargestChunk", true, 0, {kChunkedHead + "ffff\r\n" + std::string(0xFFFF, 'z') + "\r\n0\r\n\r\n"},
       "whole ", std::string(0xFFFF, 'z')},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    COutboundContext out;
    out.Chunked = row.chunked ? 1 : 0;
    out.ResponseContentLength = row.announced;
    std::string sent;
    for (const std::string& block : row.blocks) sent += block;
    EXPECT_EQ(Accumulate(out, row.blocks, row.method), row.outcomes);
    const std::string held(out.pszBigBuffer, out.BufferSize);
    if (row.outcomes.find("whole") != std::string::npos) {
      EXPECT_EQ(held.substr(out.HeaderSize), row.body);
      EXPECT_EQ(out.pszBigBuffer[out.BufferSize], '\0');
    } else {
      EXPECT_EQ(sent.substr(0, held.size()), held);  // what goes out is what came, unchanged
    }
  }
}

TEST(RawAccumulationTest, ChunkSizeLines) {
  const struct { std::string line; DWORD result; uint32_t value; } rows[] = {
      {"5\r", 0, 5}, {"ffFF\r", 0, 0xFFFF}, {"0\r", 0, 0}, {"10000\r", kHexInvalid, 0},
      {"5;e\r", kHexInvalid, 0}, {"\r", kHexInvalid, 0}, {"", kHexIncomplete, 0}, {"ab", kHexIncomplete, 0},
  };
  for (const auto& row : rows) {
    uint32_t value = 0;
    EXPECT_EQ(Raw::HexVerify(row.line.data(), row.line.data() + row.line.size(), value), row.result) << row.line;
    EXPECT_EQ(row.result == 0 ? value : row.value, row.value) << row.line;
  }
}

// Landmarks as offsets into the buffer (-1: null).
long Offset(const char* buffer, const char* at) { return at == nullptr ? -1 : at - buffer; }

TEST(PageLandmarksTest, SearchesStayInsideTheBufferAndTheirPart) {
  const std::string page = "HTTP/1.1 200 OK\r\nX-Content-Length: 1\r\n\r\n<html><Head></head>"
                           "<body onload=\"go()\">onload</BODY></html>";
  const struct {
    const char* name;
    std::string buffer;
    int result;
    long fieldsStart, headerEnd, lengthLine, htmlStart, headEnd, bodyStart, onload, bodyEnd;
  } rows[] = {
      {"Page", page, 1, 17, 40, 19, 40, 52, 59, 65, 85},
      {"EndsWithBlankLine", "HTTP/1.1 200 OK\r\nA: b\r\n\r\n", 0, -1, -1, -1, -1, -1, -1, -1, -1},
      {"Continuation", "abc\r\n\r\n<HTML>", 1, 0, 7, -1, 7, -1, -1, -1, -1},
      // The status line's break and the blank line are passed over together.
      {"NoBodyEnd", "HTTP/1.1 200 OK\r\n\r\n<html><head></head><body onload=x>", 1, 19, 19, -1, 19, 31, -1, -1, -1},
      {"OnloadOutsideTheTag", "HTTP/1.1 200 OK\r\n\r\n<html><head></head><body>onload</body>", 1, 19, 19, -1, 19, 31, 38, -1, 50},
      {"LengthInBodyOnly", "HTTP/1.1 200 OK\r\n\r\nContent-Length: 5 <html>", 1, 19, 19, -1, 37, -1, -1, -1, -1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string buffer = row.buffer;
    CCommonPointers marks;
    char* data = buffer.data();
    EXPECT_EQ(marks.GetCommonPointers(data, static_cast<uint32_t>(buffer.size())), row.result);
    EXPECT_EQ((std::vector<long>{Offset(data, marks.HeaderFieldsStart), Offset(data, marks.HeaderEnd),
                                 Offset(data, marks.ContentLengthStart), Offset(data, marks.HtmlStart),
                                 Offset(data, marks.HeadEnd), Offset(data, marks.BodyStart),
                                 Offset(data, marks.BodyOnload), Offset(data, marks.BodyEnd)}),
              (std::vector<long>{row.fieldsStart, row.headerEnd, row.lengthLine, row.htmlStart,
                                 row.headEnd, row.bodyStart, row.onload, row.bodyEnd}));
  }
}

// Every place of a needle against the 16-byte steps of the search: a match anywhere (either
// case), one cut by the limit, and a NUL before or after it.
TEST(PageLandmarksTest, FindTakesTheFirstMatchBeforeAnyNulAndWithinTheLimit) {
  for (const char* needle : {"</BODY>", ">", "<!-- OwaPage "}) {
    const long size = static_cast<long>(std::strlen(needle));
    for (long at = 0; at < 40; ++at) {
      for (long nul : {-1L, at - 1, at + size - 1, at + size}) {
        for (long limit : {at + size - 2, at + size - 1, 63L}) {
          if (limit < 0) continue;
          std::string buffer(64, 'b');
          for (long i = 0; i < size; ++i) buffer[at + i] = static_cast<char>(std::tolower(needle[i]));
          if (nul >= 0) buffer[nul] = '\0';
          const bool found = (nul < 0 || nul >= at + size) && limit >= at + size - 1;
          SCOPED_TRACE(std::string(needle) + " at " + std::to_string(at) + " nul " +
                       std::to_string(nul) + " limit " + std::to_string(limit));
          EXPECT_EQ(Offset(buffer.data(), CCommonPointers::Find(buffer.data(), buffer.data() + limit, needle)),
                    found ? at : -1);
        }
      }
    }
  }
}

struct Edit {
  const char* at;    // the text the edit applies at (first in the body, else in the head), "" for the end
  const char* text;  // inserted text, or null for a deletion
  uint32_t length;   // deleted bytes
};

TEST(RebuildTest, EditsApplyInOnePassAndTheAnnouncedLengthIsTheBodySent) {
  const std::string plain = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nX: y\r\n\r\n0123456789";
  const std::string decoded = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nX: y\r\n\r\nhello";
  const struct {
    const char* name;
    std::string response;
    bool chunked;
    std::vector<Edit> edits;
    DWORD result;
    std::string expected;  // "" : unchanged
  } rows[] = {
      {"NoEdits", plain, false, {}, 0, plain},
      {"DecodedChunked", decoded, true, {}, 0, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX: y\r\n\r\nhello"},
      {"PlusTenMinusFour", plain, false, {{"2", "abcdefghij", 0}, {"6", nullptr, 4}}, 0,
       "HTTP/1.1 200 OK\r\nContent-Length: 16\r\nX: y\r\n\r\n01abcdefghij2345"},
      {"HeaderInsertion", plain, false, {{"X: y", "Z: 1\r\n", 0}}, 0,
       "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nZ: 1\r\nX: y\r\n\r\n0123456789"},
      {"AppendAtTheEnd", plain, false, {{"", "!", 0}}, 0,
       "HTTP/1.1 200 OK\r\nContent-Length: 11\r\nX: y\r\n\r\n0123456789!"},
      {"DeleteTheLastBytes", plain, false, {{"89", nullptr, 2}}, 0,
       "HTTP/1.1 200 OK\r\nContent-Length: 8\r\nX: y\r\n\r\n01234567"},
      {"OverlappingDeletions", plain, false, {{"2", nullptr, 3}, {"3", nullptr, 3}}, 0,
       "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nX: y\r\n\r\n0189"},
      {"DeletionPastTheEnd", plain, false, {{"8", nullptr, 3}}, 13, ""},
      {"DeletionIntoTheBlankLine", plain, false, {{"X: y", nullptr, 7}}, 13, ""},
      {"InsertionInsideTheBlankLine", plain, false, {{"\n0", "Z", 0}}, 13, ""},
      // The new length line must stand alone: not glued to the line before, not beside another.
      {"LengthLineGlued", plain, false, {{"\r\nContent-Length", nullptr, 2}}, 13, ""},
      {"SecondLengthLine", plain, false, {{"X: y", "Content-Length: 3\r\n", 0}}, 13, ""},
      {"HeadEndedEarly", plain, false, {{"X: y", "Z: 1\r\n\r\n", 0}}, 13, ""},
      {"LastLineBreakDeleted", decoded, true, {{"y\r\n", nullptr, 3}}, 13, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    COutboundContext out;
    out.Chunked = row.chunked ? 1 : 0;
    ASSERT_TRUE(Raw::AppendBlock(out, row.response.data(), static_cast<uint32_t>(row.response.size())));
    out.HeaderSize = static_cast<uint32_t>(row.response.find("\r\n\r\n") + 4);
    CBufferInstructionList list;
    for (const Edit& edit : row.edits) {
      auto* instruction = new CBufferInstruction;
      size_t at = *edit.at == '\0' ? row.response.size() : row.response.find(edit.at, out.HeaderSize);
      if (at == std::string::npos) at = row.response.find(edit.at);
      instruction->Position = out.pszBigBuffer + at;
      instruction->Command = edit.text != nullptr ? CMD_ADD : CMD_DELETE;
      instruction->Text = const_cast<char*>(edit.text);
      instruction->Length = edit.length;
      ASSERT_EQ(list.AddInstruction(instruction), 0u);
    }
    CCommonPointers marks;
    EXPECT_EQ(RebuildResponse(out, list, marks, nullptr), row.result);
    const std::string result(out.pszBigBuffer, out.BufferSize);
    EXPECT_EQ(result, row.expected.empty() ? row.response : row.expected);
    EXPECT_EQ(out.pszBigBuffer[out.BufferSize], '\0');
  }
}

}  // namespace
}  // namespace nexoral::testing
