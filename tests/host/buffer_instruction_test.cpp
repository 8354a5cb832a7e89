// The instruction list: its order after insertions and merges, what it refuses, and that the
// instructions it shares outlive the list they came from.
#include <gmock/gmock.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "nexoral/buffer_instruction.h"

namespace {

using Codes = std::vector<std::string>;
int destroyed = 0;
char page[8];
// Owns its text and counts its destruction.
struct Counted : CBufferInstruction { Counted() { OwnsText = 1; } ~Counted() override { ++destroyed; } };

// "+tag@n" inserts tag at page+n, "-tag@n" deletes one byte there, "?@n" has command 2,
// "-tag@n!" a length of 0 and "+@n" no text. The tag rides in Text for both commands.
CBufferInstruction* Make(const std::string& code) {
  auto* made = new Counted;
  const size_t at = code.find('@');
  made->Command = code[0] == '+' ? 0u : code[0] == '-' ? 1u : 2u;
  made->Position = page + (code[at + 1] - '0');
  if (at > 1) made->Text = strcpy(new char[at], code.substr(1, at - 1).c_str());
  made->Length = code.back() == '!' ? 0 : 1;
  return made;
}
// Adds each code ("'>' code" is pushed past AddInstruction, '>' alone as a null entry); the
// results of AddInstruction, then "=" and the list's tags in order.
std::string Add(CBufferInstructionList& list, const Codes& codes) {
  std::string text;
  for (const auto& code : codes)
    if (code[0] == '>') list.Instructions.emplace_back(code.size() > 1 ? Make(code.substr(1)) : nullptr);
    else text += std::to_string(list.AddInstruction(Make(code))) + " ";
  text += "=";
  for (const auto& item : list.Instructions) text += std::string(" ") + (item ? item->Text : "null");
  return text;
}

// Each row: the results of AddInstruction, the list, and how many instructions were destroyed.
TEST(BufferInstructionList, AddKeepsPositionOrderAndDestroysRefusedOnes) {
  for (const auto& [adds, outcome] : std::vector<std::pair<Codes, std::string>>{
           {{"+a@1", "-d@1", "+b@1"}, "0 0 0 = b a d 0"}, {{"-d@3", "+a@2", "+b@3", "-e@1"}, "0 0 0 0 = e a b d 0"},
           {{"?x@1", "-d@1!", "+@1", "+a@1"}, "13 13 13 0 = a 3"}}) {
    destroyed = 0;
    CBufferInstructionList list;
    const std::string added = Add(list, adds);
    EXPECT_EQ(added + " " + std::to_string(destroyed), outcome);
    EXPECT_EQ(list.MergeList(nullptr) + list.MergeList(&list), 26u);
  }
}

// The worker's list is gone before the request's list is read, so the merged instructions
// must live on. The last row's worker list was filled past AddInstruction: out of order, with
// a null and an invalid entry (destroyed with the worker's list).
TEST(BufferInstructionList, MergeSharesWorkerInstructionsByTheDuplicateRule) {
  struct Row { Codes target, source; std::string order; };
  for (const Row& row : std::vector<Row>{
           {{"+a@1", "-d@1"}, {"-w@1"}, "= w a d 0"}, {{"+x@1"}, {"+x@1"}, "= x x 0"},
           {{"+a@1", "-d@1", "+z@3"}, {"+b@1", "+c@2", "+e@5"}, "= a d b c z e 0"},
           {{"+/s/X.ZQ_@1"}, {"+/s/x.zq_@1"}, "= /s/X.ZQ_ 1"},
           {{"+zq_@1", "+zq_@2"}, {"-w@1", "+zq_@1", "+zq_@2"}, "= w zq_ zq_ 2"},
           {{"+a@4"}, {"+c@6", "+b@5", ">", ">+e@1", ">-f@2!"}, "= e a b c 1"}}) {
    CBufferInstructionList target;
    auto source = std::make_unique<CBufferInstructionList>();
    Add(target, row.target);
    Add(*source, row.source);
    destroyed = 0;
    EXPECT_EQ(target.MergeList(source.get()), 0u);
    source.reset();
    EXPECT_EQ(Add(target, {}) + " " + std::to_string(destroyed), row.order);  // Add destroys nothing
  }
}

}  // namespace
