// The instruction list: its order after insertions and merges, what it refuses, and that the
// instructions it shares outlive the list they came from.
#include <gmock/gmock.h>

#include <cstring>
#include <string>
#include <vector>

#include "nexoral/buffer_instruction.h"

namespace {

using Tags = std::vector<std::string>;
int destroyed = 0;
char page[8];

struct Counted : CBufferInstruction {
  ~Counted() override { ++destroyed; }
};

// "+tag@n" inserts tag at page+n, "-tag@n" deletes one byte there, "?@n" has command 2,
// "-tag@n!" a length of 0 and "+@n" no text. The tag rides in Text for both commands.
CBufferInstruction* Make(const std::string& spec) {
  auto* made = new Counted;
  const size_t at = spec.find('@');
  made->Command = spec[0] == '+' ? 0u : spec[0] == '-' ? 1u : 2u;
  made->Position = page + (spec[at + 1] - '0');
  if (at > 1) made->Text = strcpy(new char[at], spec.substr(1, at - 1).c_str());
  made->OwnsText = 1;
  made->Length = spec.back() == '!' ? 0 : 1;
  return made;
}
Tags TagsOf(const CBufferInstructionList& list) {
  Tags tags;
  for (const auto& item : list.Instructions) tags.push_back(item->Text);
  return tags;
}
CBufferInstructionList Built(const Tags& specs, std::vector<DWORD>* results = nullptr) {
  CBufferInstructionList list;
  for (const auto& spec : specs) {
    const DWORD result = list.AddInstruction(Make(spec));
    if (results != nullptr) results->push_back(result);
  }
  return list;
}

TEST(BufferInstructionList, AddKeepsPositionOrderAndRefusesInvalidOnes) {
  struct Row { Tags adds; Tags order; std::vector<DWORD> results; int destroyed; };
  for (const Row& row : std::vector<Row>{
           {{"+a@1", "-d@1", "+b@1"}, {"b", "a", "d"}, {0, 0, 0}, 0},
           {{"-d@3", "+a@2", "+b@3", "-e@1"}, {"e", "a", "b", "d"}, {0, 0, 0, 0}, 0},
           {{"?x@1", "-d@1!", "+@1", "+a@1"}, {"a"}, {13, 13, 13, 0}, 3}}) {
    destroyed = 0;
    std::vector<DWORD> results;
    CBufferInstructionList list = Built(row.adds, &results);
    EXPECT_EQ(TagsOf(list), row.order);
    EXPECT_EQ(results, row.results);
    EXPECT_EQ(destroyed, row.destroyed);
  }
}

TEST(BufferInstructionList, MergeInsertsWorkerInstructionsByTheDuplicateRule) {
  struct Row { Tags target, source; Tags order; };
  for (const Row& row : std::vector<Row>{
           {{"+a@1", "-d@1"}, {"-w@1"}, {"w", "a", "d"}},
           {{"+a@1", "-d@1", "+z@3"}, {"+b@1", "+c@2", "+e@5"}, {"a", "d", "b", "c", "z", "e"}},
           {{"+/s/X.ZQ_@1"}, {"+/s/x.zq_@1"}, {"/s/X.ZQ_"}},
           {{"+x@1"}, {"+x@1"}, {"x", "x"}},
           {{"+zq_@1", "+zq_@2"}, {"-w@1", "+zq_@1", "+zq_@2"}, {"w", "zq_", "zq_"}}}) {
    CBufferInstructionList target = Built(row.target), source = Built(row.source);
    EXPECT_EQ(target.MergeList(&source), 0u);
    EXPECT_EQ(TagsOf(target), row.order);
    EXPECT_EQ(source.Count(), row.source.size());
  }
}

TEST(BufferInstructionList, MergeRefusesBadListsAndSharesInstructions) {
  CBufferInstructionList target = Built({"+a@4"});
  EXPECT_EQ(target.MergeList(nullptr), 13u);
  EXPECT_EQ(target.MergeList(&target), 13u);
  destroyed = 0;
  {
    CBufferInstructionList source = Built({"+c@6", "+b@5"});
    source.Instructions.emplace_back();                 // filled past AddInstruction:
    source.Instructions.emplace_back(Make("+e@1"));     // a null entry and one out of order
    source.Instructions.emplace_back(Make("-f@2!"));    // and an invalid one
    EXPECT_EQ(target.MergeList(&source), 0u);
  }
  EXPECT_EQ(TagsOf(target), (Tags{"e", "a", "b", "c"}));
  EXPECT_EQ(destroyed, 1);
  target.Clear();
  EXPECT_EQ(destroyed, 5);
}

}  // namespace
