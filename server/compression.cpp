// gzip for clients that take it: the choice, the header changes and zlib's streaming.
#include "compression.h"

#include <algorithm>
#include <limits>

#include "response_head.h"
#include "response_writer.h"
#include "text_util.h"

namespace nexoral::server {
namespace {

// zlib's window bits plus 16: a gzip header and trailer around the deflate stream.
constexpr int kGzipWindowBits = 15 + 16;
// Output room added at a time while a body streams through zlib.
constexpr size_t kOutputStep = 16 * 1024;
// The largest response head read back from the filter; a larger one goes on uncompressed.
constexpr uint32_t kMaxFilterHeadBytes = 64 * 1024;

std::string_view TrimBlanks(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A weight "0", "0.5", "1.000" in thousandths; -1 when malformed.
int ParseWeight(std::string_view text) {
  if (text.empty() || text.size() > 5 || (text[0] != '0' && text[0] != '1')) return -1;
  int thousandths = (text[0] - '0') * 1000;
  if (text.size() > 1) {
    if (text[1] != '.') return -1;
    int scale = 100;
    for (const char digit : text.substr(2)) {
      if (digit < '0' || digit > '9') return -1;
      thousandths += (digit - '0') * scale;
      scale /= 10;
    }
  }
  return thousandths <= 1000 ? thousandths : -1;
}

// The weights (thousandths) an Accept-Encoding gives gzip, identity and "*"; -1: not listed.
struct CodingWeights {
  int gzip = -1;
  int identity = -1;
  int any = -1;

  void Read(std::string_view value) {
    while (!value.empty()) {
      const size_t comma = value.find(',');
      Element(value.substr(0, comma));
      value.remove_prefix(comma == std::string_view::npos ? value.size() : comma + 1);
    }
  }

  void Element(std::string_view element) {
    const size_t semicolon = element.find(';');
    const std::string_view coding = TrimBlanks(element.substr(0, semicolon));
    int weight = 1000;
    if (semicolon != std::string_view::npos) {
      const std::string_view parameter = TrimBlanks(element.substr(semicolon + 1));
      const size_t equals = parameter.find('=');
      if (equals == std::string_view::npos ||
          !EqualsIgnoreCase(TrimBlanks(parameter.substr(0, equals)), "q")) {
        return;  // the only parameter an encoding takes is its weight
      }
      weight = ParseWeight(TrimBlanks(parameter.substr(equals + 1)));
      if (weight < 0) return;
    }
    int* slot = nullptr;
    if (EqualsIgnoreCase(coding, "gzip") || EqualsIgnoreCase(coding, "x-gzip")) {
      slot = &gzip;
    } else if (EqualsIgnoreCase(coding, "identity")) {
      slot = &identity;
    } else if (coding == "*") {
      slot = &any;
    }
    if (slot != nullptr) *slot = std::max(*slot, weight);
  }
};

// The list holds lower-case types; "text/*" stands for every text type.
bool Listed(const std::vector<std::string>& types, std::string_view contentType) {
  const std::string_view type = TrimBlanks(contentType.substr(0, contentType.find(';')));
  if (type.empty()) return false;
  return std::any_of(types.begin(), types.end(), [type](std::string_view listed) {
    if (!listed.ends_with("/*")) return EqualsIgnoreCase(type, listed);
    return StartsWithIgnoreCase(type, listed.substr(0, listed.size() - 1));
  });
}

// Whether a value of the field holds word (lower case), ignoring case.
bool AnyValueHas(const http::response_header<>& head, http::field field, std::string_view word) {
  const auto [first, end] = head.equal_range(field);
  for (auto line = first; line != end; ++line) {
    const std::string_view value = line->value();
    for (size_t at = 0; at + word.size() <= value.size(); ++at) {
      if (EqualsIgnoreCase(value.substr(at, word.size()), word)) return true;
    }
  }
  return false;
}

}  // namespace

bool TakesGzip(const http::request_header<>& request) {
  if (request.version() < 11) return false;
  CodingWeights weights;
  bool present = false;
  const auto [first, end] = request.equal_range(http::field::accept_encoding);
  for (auto line = first; line != end; ++line) {
    weights.Read(line->value());
    present = true;
  }
  const int gzip = weights.gzip >= 0 ? weights.gzip : std::max(weights.any, 0);
  const int identity = weights.identity >= 0 ? weights.identity : weights.any;
  return present && gzip > 0 && gzip >= identity;
}

CodingChoice ChooseCoding(const CompressionSettings& settings, bool takesGzip,
                          const http::response_header<>& head) {
  const unsigned status = head.result_int();
  if (!settings.gzip || status < 200 || status == 204 || status == 206) return {};
  if (head.count(http::field::content_encoding) != 0 ||
      head.count(http::field::content_range) != 0 ||
      AnyValueHas(head, http::field::cache_control, "no-transform") ||
      !Listed(settings.types, head[http::field::content_type])) {
    return {};
  }
  const std::optional<uint64_t> length = DeclaredLength(head);
  if (length && *length < settings.minLength) return {};
  return {.vary = true, .gzip = takesGzip};
}

void AddVary(http::response_header<>& head) {
  if (AnyValueHas(head, http::field::vary, "accept-encoding") ||
      AnyValueHas(head, http::field::vary, "*")) {
    return;
  }
  head.insert(http::field::vary, "Accept-Encoding");
}

void MarkGzip(http::response_header<>& head) {
  head.erase(http::field::content_length);
  head.erase(http::field::transfer_encoding);
  head.set(http::field::content_encoding, "gzip");
  const std::string_view tag = head[http::field::etag];
  if (tag.starts_with('"')) head.set(http::field::etag, "W/" + std::string(tag));
}

ResponseCompressor::~ResponseCompressor() { Release(); }

void ResponseCompressor::EndStream::operator()(z_stream* stream) const {
  deflateEnd(stream);
  delete stream;
}

namespace {
// The calling thread's spare zlib stream (about 256 KiB at memory level 8), kept for the next
// compressed body on this thread; freed with the thread.
thread_local std::unique_ptr<z_stream, ResponseCompressor::EndStream> spareStream;
}  // namespace

ResponseCompressor::Stream ResponseCompressor::TakeStream() const {
  Stream stream = std::move(spareStream);
  if (stream != nullptr && deflateReset(stream.get()) == Z_OK) return stream;
  stream.reset(new z_stream{});
  if (deflateInit2(stream.get(), settings_.level, Z_DEFLATED, kGzipWindowBits, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    delete stream.release();  // zlib made nothing to end
    return nullptr;
  }
  return stream;
}

void ResponseCompressor::Release() {
  if (zlib_ != nullptr && spareStream == nullptr) spareStream = std::move(zlib_);
  zlib_.reset();
  // A large page's output buffer does not stay with an idle kept-alive connection.
  if (compressed_.capacity() > kKeptOutputBytes) std::string().swap(compressed_);
}

bool ResponseCompressor::Begin(http::response_header<> head) {
  Release();
  zlib_ = TakeStream();
  if (zlib_ == nullptr) return false;
  head_ = std::move(head);
  headPending_ = true;
  open_ = true;
  return true;
}

// Runs zlib over data (then flush), appending its output to compressed_.
bool ResponseCompressor::Deflate(std::string_view data, int flush) {
  z_stream& stream = *zlib_;
  // zlib counts in 32 bits: a larger piece goes in parts.
  constexpr size_t kMaxInput = std::numeric_limits<uInt>::max();
  do {
    const size_t part = std::min(data.size(), kMaxInput);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(part);
    data.remove_prefix(part);
    const int partFlush = data.empty() ? flush : Z_NO_FLUSH;
    for (;;) {
      const size_t used = compressed_.size();
      const size_t room = std::max<size_t>(kOutputStep, deflateBound(&stream, stream.avail_in) / 4);
      compressed_.resize(used + room);
      stream.next_out = reinterpret_cast<Bytef*>(compressed_.data() + used);
      stream.avail_out = static_cast<uInt>(room);
      const int result = deflate(&stream, partFlush);
      compressed_.resize(used + room - stream.avail_out);
      if (result == Z_STREAM_END) return true;
      if (result != Z_OK && result != Z_BUF_ERROR) return false;
      // Done when zlib left room unused: all input taken and the flush written.
      if (stream.avail_out != 0 && stream.avail_in == 0) break;
    }
  } while (!data.empty());
  return true;
}

bool ResponseCompressor::Add(BodyPieces pieces, bool last, std::string& out) {
  if (!open_) return true;
  compressed_.clear();
  bool any = false;
  for (const std::string_view piece : pieces) {
    if (piece.empty()) continue;
    any = true;
    if (!Deflate(piece, Z_NO_FLUSH)) return false;
  }
  // Nothing yet: the head waits, so that a body that then comes whole still gets its length.
  if (!any && !last) return true;
  // What the client got so far decompresses whole: a slow upstream's bytes are not held back.
  if (!Deflate({}, last ? Z_FINISH : Z_SYNC_FLUSH)) return false;
  open_ = !last;
  if (headPending_) {
    headPending_ = false;
    if (last) {
      head_.set(http::field::content_length, std::to_string(compressed_.size()));
      AppendResponseHead(head_, out);
      out.append(compressed_);
      Release();  // zlib's state (about 256 KiB) lives as long as one compressed body
      return true;
    }
    head_.set(http::field::transfer_encoding, "chunked");
    AppendResponseHead(head_, out);
  }
  const std::string_view framed = compressed_;
  ResponseWriter::AppendFramed(BodyPieces(&framed, 1), true, out);
  if (last) {
    out.append(kLastChunk);
    Release();
  }
  return true;
}

bool ResponseCompressor::End(std::string& out) { return Add({}, true, out); }

void ResponseCompressor::StartFilterOutput(bool takesGzip, bool headRequest) {
  state_ = State::kHead;
  takesGzip_ = takesGzip;
  input_.clear();
  pieces_.clear();
  UpstreamParser& parser = parser_.emplace();
  parser.get().body() = &pieces_;
  parser.header_limit(kMaxFilterHeadBytes);
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());
  if (headRequest) parser.skip(true);
}

// Once the head of the filter's output (original, its bytes) is parsed: decides, and sends it
// at once when the response is passed on, as the filter wrote it when nothing changes.
bool ResponseCompressor::DecideFilterHead(std::string_view original, std::string& out) {
  http::response_header<>& head = parser_->get().base();
  const CodingChoice choice = ChooseCoding(settings_, takesGzip_, head);
  if (!choice.vary) {
    out.append(original);
    state_ = State::kPass;
    return true;
  }
  AddVary(head);
  if (choice.gzip) MarkGzip(head);
  if (!choice.gzip || parser_->is_done()) {  // no body follows: the head says what it would be
    AppendResponseHead(head, out);
    state_ = State::kPass;
    return true;
  }
  state_ = State::kBody;
  return Begin(std::move(head));
}

bool ResponseCompressor::Feed(std::string_view bytes, std::string& out) {
  if (state_ == State::kPass) {
    out.append(bytes);
    return true;
  }
  // Parsed where the bytes lie (a whole rebuilt page is not copied); only what the parser
  // leaves for later waits in input_.
  const bool held = !input_.empty();
  if (held) input_.append(bytes);
  const std::string_view data = held ? std::string_view(input_) : bytes;
  const auto keep = [&](size_t used) {
    if (held) {
      input_.erase(0, used);
    } else {
      input_.assign(data.substr(used));
    }
  };
  UpstreamParser& parser = *parser_;
  size_t used = 0;
  error_code ec;
  if (state_ == State::kHead) {
    used = parser.put(asio::buffer(data.data(), data.size()), ec);
    if (ec == http::error::need_more) {
      keep(0);
      return true;
    }
    if (!ec && !DecideFilterHead(data.substr(0, used), out)) return false;
    if (ec || state_ == State::kPass) {
      // Unreadable: it goes on as the filter left it. Passed on: the body as it is.
      out.append(data.substr(ec ? 0 : used));
      input_.clear();
      state_ = State::kPass;
      return true;
    }
    parser.eager(true);
  }
  pieces_.clear();
  while (used < data.size() && !parser.is_done()) {
    const size_t taken = parser.put(asio::buffer(data.data() + used, data.size() - used), ec);
    used += taken;
    if (ec == http::error::need_more) {
      ec = {};
      break;
    }
    if (ec || taken == 0) break;
  }
  // The head may have gone out already: a body that breaks off cannot be finished.
  if (ec || !Add(pieces_, parser.is_done(), out)) return false;
  pieces_.clear();
  if (parser.is_done()) {
    state_ = State::kPass;
    out.append(data.substr(used));  // bytes after the response, as they came
    used = data.size();
  }
  keep(used);
  return true;
}

bool ResponseCompressor::Finish(std::string& out) {
  if (state_ == State::kHead) out.append(input_);  // a head never completed goes on as it is
  if (state_ != State::kBody) {
    state_ = State::kPass;
    input_.clear();
    return true;
  }
  // A body that ends with the connection (the filter left no framing) ends here.
  error_code ec;
  parser_->put_eof(ec);
  state_ = State::kPass;
  return !ec && parser_->is_done() && End(out);
}

}  // namespace nexoral::server
