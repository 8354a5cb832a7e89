// Rebuilding a whole response from the workers' buffer instructions.
#include "notifications/build_block.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string_view>

#include "diagnostics/log.h"
#include "host/base_notification.h"
#include "notifications/send_raw_data_notification.h"

namespace nexoral {
namespace {

constexpr DWORD kInvalidData = 13;
constexpr DWORD kOutOfMemory = 14;

uintptr_t Address(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The first line of the header block [from, to) that starts with name (ignoring case for a to
// z): its start, and its length with its CRLF in *length. Null when there is none.
char* FindHeaderLine(char* from, char* to, std::string_view name, uint32_t* length) {
  for (char* line = from; line < to;) {
    char* lineEnd = line;
    while (lineEnd + 1 < to && !(lineEnd[0] == '\r' && lineEnd[1] == '\n')) ++lineEnd;
    if (lineEnd + 1 >= to) return nullptr;
    const size_t size = static_cast<size_t>(lineEnd - line);
    bool match = size >= name.size();
    for (size_t i = 0; match && i < name.size(); ++i) match = Upper(line[i]) == Upper(name[i]);
    if (match) {
      *length = static_cast<uint32_t>(size + 2);
      return line;
    }
    line = lineEnd + 2;
  }
  return nullptr;
}

// The first byte after the status line's CRLF, inside the header block.
char* FieldsStart(char* buffer, char* headerEnd) {
  for (char* at = buffer; at + 1 < headerEnd; ++at) {
    if (at[0] == '\r' && at[1] == '\n') return at + 2;
  }
  return headerEnd;
}

// Whether the rebuilt header block [head, headEnd) frames its body as written: it ends at its
// first blank line, the length line made for it stands alone at a line start (no edit glued it
// to another line or left a second length), and a decoded body has no transfer-coding line left.
bool FramesBodyAsWritten(char* head, char* headEnd, std::string_view lengthLine, bool decoded) {
  const std::string_view block(head, static_cast<size_t>(headEnd - head));
  if (block.size() < 4 || block.find("\r\n\r\n") != block.size() - 4) return false;
  char* const fields = FieldsStart(head, headEnd);
  uint32_t size = 0, other = 0;
  char* const line = FindHeaderLine(fields, headEnd, "Content-Length:", &size);
  return line != nullptr && std::string_view(line, size) == lengthLine &&
         FindHeaderLine(line + size, headEnd, "Content-Length:", &other) == nullptr &&
         !(decoded && FindHeaderLine(fields, headEnd, "Transfer-Encoding:", &other) != nullptr);
}

// What applying the instructions does, counted before anything is written.
struct Effect {
  int64_t header = 0;  // bytes added to (or removed from, negative) the header block
  int64_t body = 0;    // bytes added to (or removed from) the body
  bool fits = true;    // every deletion stays inside the source
};

bool Applies(const CBufferInstruction& instruction, const char* source, const char* sourceEnd) {
  return instruction.IsValid() && Address(instruction.Position) >= Address(source) &&
         Address(instruction.Position) <= Address(sourceEnd);
}

// One forward pass as the rebuilding makes it: an edit at or before the cursor applies at the
// cursor, a deletion removes bytes from there on.
Effect Simulate(const CBufferInstructionList& list, char* source, char* sourceEnd, char* headerEnd,
                const CFilterContext* context) {
  Effect effect;
  const char* cursor = source;
  for (const CBufferInstructionList::Handle& item : list.Instructions) {
    if (!item) continue;
    const CBufferInstruction& instruction = *item;
    if (!Applies(instruction, source, sourceEnd)) {
      CBaseNotification::LogWithRequestInfo(
          false, true, context,
          instruction.Command == CMD_DELETE ? "BuildBlock wrong Deletion pointer %p Header Start %p"
                                            : "BuildBlock wrong insertion pointer %p Header Start %p",
          static_cast<void*>(instruction.Position), static_cast<void*>(source));
      continue;
    }
    const char* at = std::max(cursor, static_cast<const char*>(instruction.Position));
    // The blank line that ends the header block stays whole: an edit that would split it, or a
    // deletion reaching from the headers into it or past it, would leave no response at all.
    const char* const blankLine = headerEnd - 2;
    const bool splitsBlankLine =
        instruction.Command == CMD_DELETE
            ? at < headerEnd && static_cast<size_t>(sourceEnd - at) >= instruction.Length &&
                  at + instruction.Length > blankLine
            : at > blankLine && at < headerEnd;
    if (splitsBlankLine) {
      CBaseNotification::LogWithRequestInfo(
          true, true, context,
          "SendRawData BuildBlock got an boundary condition failure for %s pszTgtInsert: %p "
          "pszTgtInsertEnd: %p Bytes: %u",
          instruction.Command == CMD_DELETE ? "DELETE" : "ADD", static_cast<const void*>(at),
          static_cast<const void*>(headerEnd), instruction.Length);
      effect.fits = false;
      return effect;
    }
    if (instruction.Command == CMD_DELETE) {
      if (instruction.Length > static_cast<size_t>(sourceEnd - at)) {
        CBaseNotification::LogWithRequestInfo(
            true, true, context,
            "SendRawData BuildBlock exceeded pointer boundary CMD_DELETE pszSrcInsert: %p "
            "pszSrcInsertEnd: %p Bytes: %u",
            static_cast<const void*>(at), static_cast<void*>(sourceEnd), instruction.Length);
        effect.fits = false;
        return effect;
      }
      const int64_t inHeader =
          std::clamp<int64_t>(headerEnd - at, 0, static_cast<int64_t>(instruction.Length));
      effect.header -= inHeader;
      effect.body -= static_cast<int64_t>(instruction.Length) - inHeader;
      cursor = at + instruction.Length;
    } else {
      const int64_t length = static_cast<int64_t>(std::strlen(instruction.Text));
      (at < headerEnd ? effect.header : effect.body) += length;
      cursor = at;
    }
  }
  return effect;
}

// Writes the source with the instructions applied into target, which holds exactly total bytes.
bool Apply(const CBufferInstructionList& list, char* source, char* sourceEnd, char* target,
           uint64_t total) {
  const char* cursor = source;
  char* out = target;
  char* const targetEnd = target + total;
  for (const CBufferInstructionList::Handle& item : list.Instructions) {
    if (!item || !Applies(*item, source, sourceEnd)) continue;
    const CBufferInstruction& instruction = *item;
    const char* at = std::max(cursor, static_cast<const char*>(instruction.Position));
    const size_t copied = static_cast<size_t>(at - cursor);
    if (copied > static_cast<size_t>(targetEnd - out)) return false;
    std::memcpy(out, cursor, copied);
    out += copied;
    cursor = at;
    if (instruction.Command == CMD_DELETE) {
      Log("Processing Delete instruction size=%u string=<%20.20s...> pszSrcInsert: %p",
          instruction.Length, cursor, static_cast<const void*>(cursor));
      cursor += instruction.Length;
    } else {
      const size_t length = std::strlen(instruction.Text);
      Log("Processing Add instruction size=%zu string=<%50.50s...> pszTgtInsert: %p", length,
          instruction.Text, static_cast<void*>(out));
      if (length > static_cast<size_t>(targetEnd - out)) return false;
      std::memcpy(out, instruction.Text, length);
      out += length;
    }
  }
  const size_t rest = static_cast<size_t>(sourceEnd - cursor);
  if (rest != static_cast<size_t>(targetEnd - out)) return false;  // never padded
  std::memcpy(out, cursor, rest);
  return true;
}

// A CMD_DELETE of length bytes at position, or a CMD_ADD of an owned copy of text.
CBufferInstruction* NewEdit(uint32_t command, char* position, uint32_t length, const char* text) {
  auto* edit = new (std::nothrow) CBufferInstruction;
  if (edit == nullptr) return nullptr;
  edit->Command = command;
  edit->Position = position;
  edit->Length = length;
  if (text != nullptr) {
    const size_t size = std::strlen(text);
    edit->Text = new (std::nothrow) char[size + 1];
    if (edit->Text == nullptr) {
      delete edit;
      return nullptr;
    }
    std::memcpy(edit->Text, text, size + 1);
    edit->OwnsText = 1;
  }
  return edit;
}

}  // namespace

DWORD RebuildResponse(COutboundContext& outbound, CBufferInstructionList& instructions,
                      CCommonPointers& landmarks, const CFilterContext* context) {
  const char* step = " Get Common Pointers";
  try {
    if (outbound.pszBigBuffer == nullptr || outbound.HeaderSize == 0 ||
        outbound.HeaderSize > outbound.BufferSize) {
      return kInvalidData;
    }
    char* const source = outbound.pszBigBuffer;
    char* const sourceEnd = source + outbound.BufferSize;
    // The workers placed their instructions by the landmarks found when the response became
    // whole, over this same buffer; the page is not searched again. The header block is the one
    // the accumulation found; its lines are found at line starts, so that a longer name ending
    // in "Content-Length" is never taken for the length.
    char* const headerEnd = source + outbound.HeaderSize;
    char* const fieldsStart = FieldsStart(source, headerEnd);
    step = " Before For loop Calculate the insertion and deletion sizes";
    uint32_t lengthLineSize = 0;
    char* const lengthLine = FindHeaderLine(fieldsStart, headerEnd, "Content-Length:", &lengthLineSize);
    uint32_t chunkedLineSize = 0;
    char* const chunkedLine =
        FindHeaderLine(fieldsStart, headerEnd, "Transfer-Encoding:", &chunkedLineSize);

    step = " Before Add delete old Content Length ";
    // Every length line goes (the new one takes the first one's place), and every
    // transfer-coding line of a decoded body: a second one would contradict the new framing.
    for (char* line = lengthLine; line != nullptr;) {
      if (instructions.AddInstruction(NewEdit(CMD_DELETE, line, lengthLineSize, nullptr)) != 0) {
        return kOutOfMemory;
      }
      line = FindHeaderLine(line + lengthLineSize, headerEnd, "Content-Length:", &lengthLineSize);
    }
    step = " Before Transfer-Encoding: chunked ";
    for (char* line = outbound.Chunked != 0 ? chunkedLine : nullptr; line != nullptr;) {
      if (instructions.AddInstruction(NewEdit(CMD_DELETE, line, chunkedLineSize, nullptr)) != 0) {
        return kOutOfMemory;
      }
      line = FindHeaderLine(line + chunkedLineSize, headerEnd, "Transfer-Encoding:", &chunkedLineSize);
    }
    step = " Before Content-Length calculation ";
    const Effect effect = Simulate(instructions, source, sourceEnd, headerEnd, context);
    if (!effect.fits) return kInvalidData;
    const int64_t body = static_cast<int64_t>(outbound.BufferSize - outbound.HeaderSize) + effect.body;
    const int64_t headerWithout = static_cast<int64_t>(outbound.HeaderSize) + effect.header;
    if (body < 0 || headerWithout < 0) return kInvalidData;
    char lengthText[64];
    std::snprintf(lengthText, sizeof(lengthText), "Content-Length: %lld\r\n", static_cast<long long>(body));
    Log("Prepared new content-length header: <%s>", lengthText);
    step = " Before Add new Content Length ";
    char* const lengthPlace = lengthLine != nullptr ? lengthLine : fieldsStart;
    CBufferInstruction* lengthEdit = NewEdit(CMD_ADD, lengthPlace, 0, lengthText);
    if (instructions.AddInstruction(lengthEdit) != 0) return kOutOfMemory;
    // The new line lands inside the header block, or the instructions left no place for it.
    const Effect withLength = Simulate(instructions, source, sourceEnd, headerEnd, context);
    if (!withLength.fits || withLength.body != effect.body) return kInvalidData;
    const uint64_t total = static_cast<uint64_t>(headerWithout) + std::strlen(lengthText) +
                           static_cast<uint64_t>(body);
    if (total > UINT32_MAX - 1) return kInvalidData;
    Log("BuildBlock Bytes InsertHeader: %lld DeleteHeader: %d InsertHTML: %lld DeleteHTML: %d. "
        "Total size: %u, Header size: %u, C-L Send Resp: %d, C-L Raw: %u pFltContext=<%p>",
        static_cast<long long>(withLength.header), 0, static_cast<long long>(withLength.body), 0,
        outbound.BufferSize, outbound.HeaderSize, outbound.ResponseContentLength,
        outbound.RawContentLength, static_cast<const void*>(context));

    step = " Before insert all elements ";
    char* const target = new (std::nothrow) char[total + 1];
    if (target == nullptr) {
      step = " Out of memory for new block ";
      return kOutOfMemory;
    }
    Log("BuildBlock Total number of instructions %zu pszTgtInsert: %p Length %llu, pszSrcInsert: "
        "%p Length: %u",
        instructions.Count(), static_cast<void*>(target), static_cast<unsigned long long>(total),
        static_cast<void*>(source), outbound.BufferSize);
    const bool applied = Apply(instructions, source, sourceEnd, target, total);
    if (applied && !FramesBodyAsWritten(target, target + (total - static_cast<uint64_t>(body)),
                                        lengthText, outbound.Chunked != 0)) {
      CBaseNotification::LogWithRequestInfo(
          true, true, context,
          "SendRawData BuildBlock: the edits leave the header block without its one length line; "
          "the response is not rebuilt");
      delete[] target;
      return kInvalidData;
    }
    if (!applied) {
      CBaseNotification::LogWithRequestInfo(
          true, true, context,
          "SendRawData BuildBlock got an boundary condition failure for CMD_ADD pszTgtInsert: %p "
          "pszTgtInsertEnd: %p Bytes: %llu",
          static_cast<void*>(target), static_cast<void*>(target + total),
          static_cast<unsigned long long>(total));
      delete[] target;
      return kInvalidData;
    }
    step = " Zero terminate the buffer ";
    target[total] = '\0';  // beyond the counted bytes
    step = " Delete big buffer ";
    delete[] outbound.pszBigBuffer;
    step = " Set new buffer pointer and size ";
    outbound.pszBigBuffer = target;
    outbound.BufferSize = static_cast<uint32_t>(total);
    outbound.BufferCapacity = static_cast<uint32_t>(total);
    outbound.HeaderSize = static_cast<uint32_t>(total - static_cast<uint64_t>(body));
    outbound.ResponseContentLength = static_cast<int32_t>(std::min<int64_t>(body, INT32_MAX));
    instructions.Clear();  // their positions were inside the old buffer
    landmarks = CCommonPointers();  // they pointed into the released buffer
    return 0;
  } catch (const std::bad_exception& error) {
    CBaseNotification::LogWithRequestInfo(true, true, context, "BuildBlock  failed  STD BAD %s %s",
                                          error.what(), step);
  } catch (const std::exception& error) {
    CBaseNotification::LogWithRequestInfo(true, true, context, "BuildBlock  failed  STD %s %s",
                                          error.what(), step);
  } catch (...) {
    CBaseNotification::LogWithRequestInfo(true, true, context, "BuildBlock  failed  GE %s ERR: %d",
                                          step, static_cast<int>(GetLastError()));
  }
  return kInvalidData;
}

DWORD BuildBlock(CFilterContext* context, HTTP_FILTER_CONTEXT*) {
  if (context == nullptr || !context->Outbound) return kInvalidData;
  COutboundContext& outbound = *context->Outbound;
  if (outbound.pszBigBuffer == nullptr || !context->Instructions) {
    Log("BuildBlock Bytes InsertHeader: %d DeleteHeader: %d InsertHTML: %d DeleteHTML: %d. Total "
        "size: %u, Header size: %u, C-L Send Resp: %d, C-L Raw: %u pFltContext=<%p>",
        0, 0, 0, 0, outbound.BufferSize, outbound.HeaderSize, outbound.ResponseContentLength,
        outbound.RawContentLength, static_cast<void*>(context));
    return kInvalidData;
  }
  CCommonPointers local;
  CCommonPointers& landmarks = context->CommonPointers ? *context->CommonPointers : local;
  const DWORD result = RebuildResponse(outbound, *context->Instructions, landmarks, context);
  if (outbound.CommonPointers.get() != &landmarks && context->CommonPointers) {
    outbound.CommonPointers = context->CommonPointers;
  }
  return result;
}

}  // namespace nexoral
