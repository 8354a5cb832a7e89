// CBufferInstruction and CBufferInstructionList: a worker's edits of the assembled response
// (insert text at an address, delete bytes from an address). A worker builds a list during
// SF_NOTIFY_SEND_RAW_DATA and submits it with the WorkerSubmitBufferCommands callback; the
// module keeps references to the worker's instructions until the response has been rebuilt.
#ifndef NEXORAL_BUFFER_INSTRUCTION_H
#define NEXORAL_BUFFER_INSTRUCTION_H

#include <cstdint>
#include <list>

#include "nexoral/ref_handle.h"

enum BufferCommand : uint32_t {
  CMD_ADD = 0,     // insert Text at Position
  CMD_DELETE = 1,  // remove Length bytes starting at Position
};

class CBufferInstruction {
 public:
  CBufferInstruction() = default;
  CBufferInstruction(const CBufferInstruction&) = delete;
  CBufferInstruction& operator=(const CBufferInstruction&) = delete;
  virtual ~CBufferInstruction() {
    if (OwnsText != 0) delete[] Text;
  }

  uint32_t Command = CMD_ADD;  // a BufferCommand; any other value makes the instruction invalid
  char* Position = nullptr;    // address inside the assembled response where the edit applies
  char* Text = nullptr;        // CMD_ADD: NUL-terminated bytes to insert
  int32_t OwnsText = 0;        // non-zero: the destructor releases Text with delete[]
  uint32_t Length = 0;         // CMD_DELETE: number of bytes to remove
};

// Ordered by Position (ascending, as unsigned addresses).
class CBufferInstructionList {
 public:
  virtual ~CBufferInstructionList() = default;

  // Releases every instruction reference and empties the list.
  void Clear() noexcept { Instructions.clear(); }

  size_t Count() const noexcept { return Instructions.size(); }

  std::list<CRefHandle<CBufferInstruction>> Instructions;
};

#endif  // NEXORAL_BUFFER_INSTRUCTION_H
