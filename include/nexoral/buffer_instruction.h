// CBufferInstruction and CBufferInstructionList: a worker's edits of the assembled response
// (insert text at an address, delete bytes from an address).
//
// Building a list, for a worker during SF_NOTIFY_SEND_RAW_DATA:
//
//   CBufferInstructionList list;
//   auto* add = new CBufferInstruction;          // always on the heap: the list takes it over
//   add->Command = CMD_ADD;
//   add->Position = place;                       // an address inside the assembled response
//   add->Text = text;                            // NUL-terminated; OwnsText = 1 hands it over too
//   if (list.AddInstruction(add) != 0) { ... }   // add is gone either way: never touch it again
//   context->Callbacks->WorkerSubmitBufferCommands(context, &list);
//
// Fill a list through AddInstruction only, so that it stays ordered. Submitting does not change
// the worker's list: the module shares the worker's instructions (each handle adds a reference)
// and keeps them until the response has been rebuilt, so the worker may clear or destroy its
// list whenever it likes; an instruction is destroyed when its last list lets go of it.
#ifndef NEXORAL_BUFFER_INSTRUCTION_H
#define NEXORAL_BUFFER_INSTRUCTION_H

#include <cstdint>
#include <cstring>
#include <iterator>
#include <list>
#include <new>

#include "nexoral/ref_handle.h"
#include "nexoral/win_types.h"

enum BufferCommand : uint32_t {
  CMD_ADD = 0,     // insert Text at Position
  CMD_DELETE = 1,  // remove Length bytes starting at Position
};

// Results of AddInstruction and MergeList besides 0.
inline constexpr DWORD kInstructionNoMemory = 8;   // ERROR_NOT_ENOUGH_MEMORY: nothing was added
inline constexpr DWORD kInstructionInvalid = 13;   // ERROR_INVALID_DATA

class CBufferInstruction {
 public:
  CBufferInstruction() = default;
  CBufferInstruction(const CBufferInstruction&) = delete;
  CBufferInstruction& operator=(const CBufferInstruction&) = delete;
  virtual ~CBufferInstruction() {
    if (OwnsText != 0) delete[] Text;
  }

  // A CMD_ADD with a text, or a CMD_DELETE of at least one byte.
  bool IsValid() const noexcept {
    return (Command == CMD_ADD && Text != nullptr) || (Command == CMD_DELETE && Length != 0);
  }

  uint32_t Command = CMD_ADD;  // a BufferCommand; any other value makes the instruction invalid
  char* Position = nullptr;    // address inside the assembled response where the edit applies
  char* Text = nullptr;        // CMD_ADD: NUL-terminated bytes to insert
  int32_t OwnsText = 0;        // non-zero: the destructor releases Text with delete[]
  uint32_t Length = 0;         // CMD_DELETE: number of bytes to remove
};

// Ordered by Position (ascending, as unsigned addresses). At one position AddInstruction keeps
// every CMD_ADD before every CMD_DELETE, the latest of equal ones first; MergeList places a
// worker's deletion before what is already at its position and its insertion after it.
class CBufferInstructionList {
 public:
  using Handle = CRefHandle<CBufferInstruction>;

  virtual ~CBufferInstructionList() = default;

  // Takes ownership of instruction in every case: when it is invalid (or null) the result is
  // kInstructionInvalid, when memory is short kInstructionNoMemory, and it is destroyed before
  // the call returns. 0 when it is in the list.
  DWORD AddInstruction(CBufferInstruction* instruction) noexcept {
    if (instruction == nullptr) return kInstructionInvalid;
    if (!instruction->IsValid()) {
      delete instruction;
      return kInstructionInvalid;
    }
    try {
      Handle handle(instruction);  // destroys the instruction itself when it throws
      auto place = Instructions.begin();
      while (place != Instructions.end() && !GoesBefore(*handle, **place)) ++place;
      Instructions.insert(place, std::move(handle));
      return 0;
    } catch (...) {
      return kInstructionNoMemory;
    }
  }

  // Adds references to the instructions of a worker's list, which stays as it is. Null, invalid
  // and out-of-order entries (a list filled past AddInstruction) cannot break this list: the
  // former are left out, the latter still land in position order. A text ending in "zq_" that
  // is already inserted at the same position (ignoring case) is not inserted again.
  // 0; kInstructionInvalid for a null list or the list itself; kInstructionNoMemory when memory
  // ran short (what was merged until then stays).
  DWORD MergeList(const CBufferInstructionList* source) noexcept {
    if (source == nullptr || source == this) return kInstructionInvalid;
    try {
      auto target = Instructions.begin();
      const char* previous = nullptr;
      for (const Handle& item : source->Instructions) {
        if (!item || !item->IsValid()) continue;
        const char* position = item->Position;
        if (previous != nullptr && Address(position) < Address(previous)) target = Instructions.begin();
        previous = position;
        while (target != Instructions.end() && PassesOver(*item, **target)) ++target;
        if (target != Instructions.end() && IsDuplicate(*item, **target)) continue;
        Instructions.insert(target, item);
      }
      return 0;
    } catch (...) {
      return kInstructionNoMemory;
    }
  }

  // Releases every instruction reference and empties the list.
  void Clear() noexcept { Instructions.clear(); }

  size_t Count() const noexcept { return Instructions.size(); }

  std::list<Handle> Instructions;

 private:
  static uintptr_t Address(const char* position) noexcept {
    return reinterpret_cast<uintptr_t>(position);
  }

  // Insertion order: before a later position, or at the same position before a command that is
  // not lower (so additions first, the latest of equal ones first).
  static bool GoesBefore(const CBufferInstruction& added, const CBufferInstruction& present) noexcept {
    if (Address(present.Position) != Address(added.Position)) {
      return Address(present.Position) > Address(added.Position);
    }
    return present.Command >= added.Command;
  }

  // Merge cursor: a worker's instruction moves past lower positions, and an insertion also past
  // everything at its own position except an equal "zq_" text, where it stops to be dropped.
  static bool PassesOver(const CBufferInstruction& incoming, const CBufferInstruction& present) noexcept {
    if (Address(incoming.Position) != Address(present.Position)) {
      return Address(incoming.Position) > Address(present.Position);
    }
    return incoming.Command == CMD_ADD && !IsDuplicate(incoming, present);
  }

  static bool IsDuplicate(const CBufferInstruction& incoming, const CBufferInstruction& present) noexcept {
    if (incoming.Command != CMD_ADD || present.Command != CMD_ADD) return false;
    if (Address(incoming.Position) != Address(present.Position)) return false;
    if (incoming.Text == nullptr || present.Text == nullptr) return false;
    const size_t length = std::strlen(incoming.Text);
    if (length < 3 || !EqualIgnoringCase(incoming.Text + length - 3, "zq_")) return false;
    return EqualIgnoringCase(incoming.Text, present.Text);
  }

  static bool EqualIgnoringCase(const char* left, const char* right) noexcept {
    for (;; ++left, ++right) {
      if (Lower(*left) != Lower(*right)) return false;
      if (*left == '\0') return true;
    }
  }

  static char Lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
};

#endif  // NEXORAL_BUFFER_INSTRUCTION_H
