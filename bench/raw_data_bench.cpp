// Gathering and rebuilding one 100 KB HTML response as the module does it per response: the
// blocks appended and checked one by one (AppendBlock, CheckFullHeaders, CheckBody, which
// decodes a chunked body), the landmarks, two inserts a worker places with them (a script tag
// after "<head>", a banner before "</body>"), then RebuildResponse. The page comes with a
// Content-Length or in 8 KiB chunks, split into 1, 10 or 100 blocks. One iteration is one page:
// the time column is the time per 100 KB. Run: build/bench/raw_data_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nexoral/buffer_instruction.h"
#include "nexoral/common_pointers.h"
#include "nexoral/outbound_context.h"
#include "notifications/build_block.h"
#include "notifications/send_raw_data_notification.h"

namespace {

using nexoral::CSendRawDataNotification;

constexpr size_t kBodyBytes = 102400;
constexpr size_t kChunkBytes = 8192;
char script[] = "<script src=\"/zq/inject.js\"></script>";
char banner[] = "<div class=\"zq-banner\">Scanned by Nexoral</div>";

// marked: the page opens with a web-mail page's "<!-- OwaPage " comment and a meta tag, as the
// pages a worker rewrites do; without them the landmark search walks the whole page for them.
std::string Body(bool marked = false) {
  const std::string head = marked ? "<!-- OwaPage = ASP.inbox -->\n<!DOCTYPE html>\n<html><head>"
                                    "<meta charset=\"utf-8\"><title>bench</title></head><body>\n"
                                  : "<!DOCTYPE html>\n<html><head><title>bench</title></head><body>\n";
  const std::string tail = "</body></html>\n";
  const std::string line = "<p>Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod.</p>\n";
  std::string body = head;
  while (body.size() + tail.size() < kBodyBytes) body += line;
  body.resize(kBodyBytes - tail.size());
  return body + tail;
}

// The response as the upstream sends it.
std::string Wire(bool chunked, bool marked = false) {
  const std::string body = Body(marked);
  std::string wire = "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-cache\r\n";
  if (!chunked) return wire + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  wire += "Transfer-Encoding: chunked\r\n\r\n";
  char size[16];
  for (size_t at = 0; at < body.size(); at += kChunkBytes) {
    const size_t length = std::min(kChunkBytes, body.size() - at);
    std::snprintf(size, sizeof size, "%zx\r\n", length);
    wire += size + body.substr(at, length) + "\r\n";
  }
  return wire + "0\r\n\r\n";
}

void AddInsert(CBufferInstructionList& list, char* position, char* text) {
  auto* insert = new CBufferInstruction;
  insert->Command = CMD_ADD;
  insert->Position = position;
  insert->Text = text;
  if (list.AddInstruction(insert) != 0) std::abort();
}

// state.range(0): blocks; state.range(1): 1 for chunked.
void BM_GatherAndRebuild(benchmark::State& state) {
  const std::string wire = Wire(state.range(1) != 0);
  const size_t blocks = static_cast<size_t>(state.range(0));
  size_t expectedSize = 0;
  for (auto _ : state) {
    COutboundContext out;
    out.Chunked = state.range(1) != 0 ? 1 : 0;
    out.ResponseContentLength = out.Chunked != 0 ? 0 : static_cast<int32_t>(kBodyBytes);
    bool whole = false, letThrough = false;
    for (size_t block = 0; block < blocks && !whole; ++block) {
      const size_t from = wire.size() * block / blocks, to = wire.size() * (block + 1) / blocks;
      if (!CSendRawDataNotification::AppendBlock(out, wire.data() + from, static_cast<uint32_t>(to - from))) std::abort();
      CSendRawDataNotification::CheckFullHeaders(out, letThrough);
      if (!letThrough) whole = CSendRawDataNotification::CheckBody(out, letThrough);
      if (letThrough) std::abort();
    }
    if (!whole) std::abort();
    CCommonPointers landmarks;
    landmarks.GetCommonPointers(out.pszBigBuffer, out.BufferSize);
    if (landmarks.HeadStart == nullptr || landmarks.BodyEnd == nullptr) std::abort();
    CBufferInstructionList list;
    AddInsert(list, static_cast<char*>(std::memchr(landmarks.HeadStart, '>', landmarks.HeadSize)) + 1, script);
    AddInsert(list, landmarks.BodyEnd, banner);
    if (nexoral::RebuildResponse(out, list, landmarks, nullptr) != 0) std::abort();
    expectedSize = out.BufferSize;
    benchmark::DoNotOptimize(out.pszBigBuffer);
  }
  if (expectedSize < kBodyBytes + std::strlen(script) + std::strlen(banner)) state.SkipWithError("the rebuilt page is short");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodyBytes));
}

// The landmarks alone, over the gathered page: one part of the above. state.range(0): 1 for the
// marked page.
void BM_Landmarks(benchmark::State& state) {
  std::string page = Wire(false, state.range(0) != 0);
  for (auto _ : state) {
    CCommonPointers landmarks;
    benchmark::DoNotOptimize(landmarks.GetCommonPointers(page.data(), static_cast<uint32_t>(page.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodyBytes));
}

// Copying the page once, for scale.
void BM_CopyPage(benchmark::State& state) {
  const std::string page = Wire(false);
  std::vector<char> copy(page.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), page.data(), page.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodyBytes));
}

BENCHMARK(BM_GatherAndRebuild)->ArgNames({"blocks", "chunked"})->ArgsProduct({{1, 10, 100}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Landmarks)->ArgName("marked")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CopyPage)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
