// parse_metadata: RapidJSON's iterative SAX reader drives one handler, which
// keeps a stack of the containers open and fills the records as values
// arrive. What a value must be follows from the type of the member it fills
// (Value<T> below); every failure names the problem and where it was seen.
#include <bitset>
#include <concepts>
#include <fmt/format.h>
#include <memory>
#include <optional>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "ara2/dvm_archive.hpp"
#include "ara2/metadata.hpp"
#include "ara2/metadata_scalar.hpp"
#include "ara2/metadata_schema.hpp"
#include "ara2/text.hpp"

namespace tallowind::ara2 {
namespace {

using namespace metadata_reading;

constexpr std::string_view kUntaggedDShape = "data did not match any variant of untagged enum DShapeItem";
constexpr std::string_view kDShapeOneKey = "dshape map entry must have exactly one key";

class Reader;

/// One open container: what its keys, values and closing bracket do.
class Frame {
 public:
  virtual ~Frame() = default;
  virtual bool key(Reader& reader, std::string_view key) = 0;
  virtual bool scalar(Reader& reader, ScalarValue& value) = 0;
  virtual bool start(Reader& reader, bool object) = 0;
  virtual bool end(Reader& reader) = 0;
  /// Whether the frame is done after a closing bracket (a skipped value
  /// counts its own nesting).
  virtual bool closed() const noexcept { return true; }
};

/// The SAX handler: the stack of open containers, the position of the event
/// being handled, the nesting limit and the record budget.
class Reader {
 public:
  Reader(std::string_view json, const rapidjson::MemoryStream& stream, DvmMetadata& root);

  // RapidJSON's handler interface.
  bool Null() { return scalar(ScalarValue(Scalar::Null)); }
  bool Bool(bool b) {
    ScalarValue v(Scalar::Bool);
    v.boolean = b;
    return scalar(v);
  }
  // Numbers arrive as text (kParseNumbersAsStringsFlag); `json_` holds their
  // literals at the offsets of the masked copy the reader parses.
  bool RawNumber(const char*, rapidjson::SizeType length, bool) {
    ScalarValue v(Scalar::Number);
    v.text = json_.substr(stream_.Tell() - length, length);
    return scalar(v);
  }
  // Never called with numbers as text; the reader's interface wants them.
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(std::int64_t) { return false; }
  bool Uint64(std::uint64_t) { return false; }
  bool Double(double) { return false; }
  bool String(const char* s, rapidjson::SizeType length, bool) {
    ScalarValue v(Scalar::String);
    v.text = std::string_view(s, length);
    return scalar(v);
  }
  bool Key(const char* s, rapidjson::SizeType length, bool);
  bool StartObject() { return start(true); }
  bool StartArray() { return start(false); }
  bool EndObject(rapidjson::SizeType) { return end(); }
  bool EndArray(rapidjson::SizeType) { return end(); }

  const std::string& error() const noexcept { return error_; }
  std::size_t error_after() const noexcept { return error_after_; }
  /// The innermost container still open when the input ended: '{', '[' or 0.
  char innermost_open() const noexcept { return open_.empty() ? '\0' : open_.back(); }

  // What frames and value readers use.
  void push(std::unique_ptr<Frame> frame) { frames_.push_back(std::move(frame)); }
  /// Records the failure at the current event; always false.
  bool fail(std::string message) {
    error_ = std::move(message);
    error_after_ = after_;
    return false;
  }
  /// Counts `bytes` of record storage against the document's budget.
  bool charge(std::size_t bytes) {
    record_bytes_ += bytes;
    if (record_bytes_ <= kMaxMetadataRecordBytes) return true;
    return fail(fmt::format("document too large: its records would take more than {} bytes", kMaxMetadataRecordBytes));
  }
  /// Converts a number where it is read; "number out of range" is reported
  /// at the literal's first character.
  bool convert(ScalarValue& v) {
    if (v.kind != Scalar::Number || convert_number(v)) return true;
    after_ = static_cast<std::size_t>(v.text.data() - json_.data()) + 1;
    return fail("number out of range");
  }
  bool type_error(std::string_view unexpected, std::string_view expected) {
    return fail(fmt::format("invalid type: {}, expected {}", unexpected, expected));
  }
  bool value_error(const ScalarValue& v, std::string_view expected) {
    return fail(fmt::format("invalid value: {}, expected {}", unexpected_text(v), expected));
  }

 private:
  void mark(bool bracket) noexcept { after_ = stream_.Tell() + (bracket ? 1 : 0); }
  bool scalar(ScalarValue v);
  bool start(bool object);
  bool end();

  std::string_view json_;
  const rapidjson::MemoryStream& stream_;
  std::vector<std::unique_ptr<Frame>> frames_;  // the bottom one takes the document's value
  std::string open_;                            // the brackets of the containers open
  std::size_t after_ = 0;                       // what the current event has consumed
  std::size_t record_bytes_ = 0;
  std::string error_;
  std::size_t error_after_ = 0;
};

// --- What each member type takes ---------------------------------------------
// Value<T>::expected() names it in messages, scalar() fills it from a scalar
// value (numbers already converted), open() from a container that starts.

template <class T>
struct Value;

template <class T>
bool take_scalar(Reader& r, T& member, const ScalarValue& v) {
  return Value<T>::scalar(r, member, v);
}

template <class T>
bool take_container(Reader& r, T& member, bool object) {
  return Value<T>::open(r, member, object);
}

std::string_view container_text(bool object) { return object ? "map" : "sequence"; }

/// A member filled by a scalar only.
template <class T>
struct ScalarMember {
  static bool open(Reader& r, T&, bool object) { return r.type_error(container_text(object), Value<T>::expected()); }
  static bool refuse(Reader& r, const ScalarValue& v) { return r.type_error(unexpected_text(v), Value<T>::expected()); }
};

template <>
struct Value<bool> : ScalarMember<bool> {
  static std::string expected() { return "a boolean"; }
  static bool scalar(Reader& r, bool& out, const ScalarValue& v) {
    if (v.kind != Scalar::Bool) return refuse(r, v);
    out = v.boolean;
    return true;
  }
};

template <>
struct Value<std::string> : ScalarMember<std::string> {
  static std::string expected() { return "a string"; }
  static bool scalar(Reader& r, std::string& out, const ScalarValue& v) {
    if (v.kind != Scalar::String) return refuse(r, v);
    if (!r.charge(v.text.size())) return false;
    out = v.text;
    return true;
  }
};

/// u32, i32, u64, i64: an integer literal within the type's range.
template <class I>
  requires(std::is_integral_v<I> && !std::is_same_v<I, bool>)
struct Value<I> : ScalarMember<I> {
  static std::string expected() { return fmt::format("{}{}", std::is_signed_v<I> ? 'i' : 'u', 8 * sizeof(I)); }
  static bool scalar(Reader& r, I& out, const ScalarValue& v) {
    if (!v.is_integer()) return ScalarMember<I>::refuse(r, v);
    const bool in_range = v.kind == Scalar::Signed ? std::in_range<I>(v.signed_value) : std::in_range<I>(v.unsigned_value);
    if (!in_range) return r.value_error(v, expected());
    out = v.kind == Scalar::Signed ? static_cast<I>(v.signed_value) : static_cast<I>(v.unsigned_value);
    return true;
  }
};

/// f64 and f32: any number; f32 rounded once, from the literal.
template <std::floating_point F>
struct Value<F> : ScalarMember<F> {
  static std::string expected() { return fmt::format("f{}", 8 * sizeof(F)); }
  static bool scalar(Reader& r, F& out, const ScalarValue& v) {
    if (!v.is_number()) return ScalarMember<F>::refuse(r, v);
    if constexpr (std::is_same_v<F, float>) out = nearest_f32(v);
    else out = as_double(v);
    return true;
  }
};

/// A dshape entry given as a scalar is neither form.
template <>
struct Value<DShapeItem> {
  static std::string expected() { return "a dshape entry"; }
  static bool scalar(Reader& r, DShapeItem&, const ScalarValue&) { return r.fail(std::string(kUntaggedDShape)); }
};

/// Absent or null leaves it unset.
template <class T>
struct Value<std::optional<T>> {
  static std::string expected() { return Value<T>::expected(); }
  static bool scalar(Reader& r, std::optional<T>& out, const ScalarValue& v) {
    return v.kind == Scalar::Null || take_scalar(r, out.emplace(), v);
  }
  static bool open(Reader& r, std::optional<T>& out, bool object) { return take_container(r, out.emplace(), object); }
};

template <class E>
class ListFrame;

template <class E>
struct Value<std::vector<E>> {
  static std::string expected() { return "a sequence"; }
  static bool scalar(Reader& r, std::vector<E>&, const ScalarValue& v) {
    return r.type_error(unexpected_text(v), expected());
  }
  static bool open(Reader& r, std::vector<E>& out, bool object) {
    if (object) return r.type_error(container_text(object), expected());
    r.push(std::make_unique<ListFrame<E>>(out));
    return true;
  }
};

template <Record R>
class RecordFrame;

template <Record R>
struct Value<R> {
  static std::string expected() { return fmt::format("struct {}", Schema<R>::kName); }
  static bool scalar(Reader& r, R&, const ScalarValue& v) { return r.type_error(unexpected_text(v), expected()); }
  static bool open(Reader& r, R& out, bool object) {
    r.push(std::make_unique<RecordFrame<R>>(out, !object));
    return true;
  }
};

// --- Containers --------------------------------------------------------------

/// A value nobody reads: an unknown key's, or a container inside a dshape
/// entry, whose numbers are still converted (`content`: the entry is read as
/// a whole before its form is known).
class SkipFrame final : public Frame {
 public:
  explicit SkipFrame(bool content) : content_(content) {}
  bool key(Reader&, std::string_view) override { return true; }
  bool scalar(Reader& r, ScalarValue& v) override { return !content_ || r.convert(v); }
  bool start(Reader&, bool) override {
    ++depth_;
    return true;
  }
  bool end(Reader&) override {
    --depth_;
    return true;
  }
  bool closed() const noexcept override { return depth_ == 0; }

 private:
  bool content_;
  std::size_t depth_ = 1;
};

template <Record R>
class RecordFrame final : public Frame {
 public:
  RecordFrame(R& record, bool positional) : record_(record), positional_(positional) {}

  bool key(Reader& r, std::string_view key) override {
    pending_.reset();
    for (std::size_t i = 0; i < kFieldCount<R>; ++i) {
      if (kKeys<R>[i] != key) continue;
      if (seen_[i]) return r.fail(fmt::format("duplicate field `{}`", key));
      seen_[i] = true;
      pending_ = i;
      break;
    }
    return true;
  }

  bool scalar(Reader& r, ScalarValue& v) override {
    std::optional<std::size_t> index;
    if (!next_field(r, index)) return false;
    if (!index) return true;  // an unknown key's value, not even converted
    if (!r.convert(v)) return false;
    return visit_field<R>(*index, [&](const auto& field) { return take_scalar(r, record_.*field.member, v); });
  }

  bool start(Reader& r, bool object) override {
    std::optional<std::size_t> index;
    if (!next_field(r, index)) return false;
    if (!index) {
      r.push(std::make_unique<SkipFrame>(false));
      return true;
    }
    return visit_field<R>(*index, [&](const auto& field) { return take_container(r, record_.*field.member, object); });
  }

  bool end(Reader& r) override {
    for (std::size_t i = 0; i < kFieldCount<R>; ++i) {
      if (!kRequired<R>[i] || seen_[i]) continue;
      if (positional_) {
        return r.fail(fmt::format("invalid length {}, expected struct {} with {} elements", count_, Schema<R>::kName,
                                  kFieldCount<R>));
      }
      return r.fail(fmt::format("missing field `{}`", kKeys<R>[i]));
    }
    return true;
  }

 private:
  /// The field the arriving value fills: the key just read (none when
  /// unknown), or the next position of the array form.
  bool next_field(Reader& r, std::optional<std::size_t>& index) {
    if (!positional_) {
      index = pending_;
      return true;
    }
    if (count_ >= kFieldCount<R>) {
      return r.fail(fmt::format("too many elements, expected struct {} with {} elements", Schema<R>::kName,
                                kFieldCount<R>));
    }
    index = count_++;
    seen_[*index] = true;
    return true;
  }

  R& record_;
  bool positional_;
  std::bitset<kFieldCount<R>> seen_;
  std::optional<std::size_t> pending_;  // the field of the key just read
  std::size_t count_ = 0;               // positional: values read
};

/// One element of a "dshape" list, in either form: ["name", extent] or
/// {"name": extent}. The form is known only at its end.
class DShapeEntryFrame final : public Frame {
 public:
  DShapeEntryFrame(std::vector<DShapeItem>& list, bool positional) : list_(list), positional_(positional) {}

  bool key(Reader&, std::string_view key) override {
    if (count_++ == 0) name_ = std::string(key);
    return true;
  }

  bool scalar(Reader& r, ScalarValue& v) override {
    if (!r.convert(v)) return false;
    if (!positional_) {
      // The value of the map form's key.
      if (v.kind == Scalar::Unsigned) extent_ = v.unsigned_value;
      else invalid_ = true;
      return true;
    }
    const std::size_t position = count_++;
    if (position == 0 && v.kind == Scalar::String) name_ = std::string(v.text);
    else if (position == 1 && v.kind == Scalar::Unsigned) extent_ = v.unsigned_value;
    else invalid_ = true;
    return true;
  }

  bool start(Reader& r, bool) override {
    // Neither form nests containers.
    if (positional_) ++count_;
    invalid_ = true;
    r.push(std::make_unique<SkipFrame>(true));
    return true;
  }

  bool end(Reader& r) override {
    if (!invalid_ && count_ == (positional_ ? 2 : 1)) {
      if (!r.charge(sizeof(DShapeItem) + name_.size())) return false;
      list_.push_back(DShapeItem{std::move(name_), extent_});
      return true;
    }
    if (!positional_ && !invalid_) return r.fail(std::string(kDShapeOneKey));
    return r.fail(std::string(kUntaggedDShape));
  }

 private:
  std::vector<DShapeItem>& list_;
  bool positional_;
  std::size_t count_ = 0;  // keys, or elements
  bool invalid_ = false;
  std::string name_;
  std::uint64_t extent_ = 0;
};

/// A container starting as an element of a list.
template <class E>
bool open_element(Reader& r, std::vector<E>&, bool object) {
  return r.type_error(container_text(object), Value<E>::expected());
}

template <Record R>
bool open_element(Reader& r, std::vector<R>& list, bool object) {
  if (!r.charge(sizeof(R))) return false;
  return take_container(r, list.emplace_back(), object);
}

bool open_element(Reader& r, std::vector<DShapeItem>& list, bool object) {
  r.push(std::make_unique<DShapeEntryFrame>(list, !object));
  return true;
}

template <class E>
class ListFrame final : public Frame {
 public:
  explicit ListFrame(std::vector<E>& list) : list_(list) {}
  bool key(Reader&, std::string_view) override { return true; }  // lists have none
  bool scalar(Reader& r, ScalarValue& v) override {
    E element{};
    if (!r.convert(v) || !take_scalar(r, element, v) || !r.charge(sizeof(E))) return false;
    list_.push_back(std::move(element));
    return true;
  }
  bool start(Reader& r, bool object) override { return open_element(r, list_, object); }
  bool end(Reader&) override { return true; }

 private:
  std::vector<E>& list_;
};

/// The document's one value, which must be a DvmMetadata.
class RootFrame final : public Frame {
 public:
  explicit RootFrame(DvmMetadata& root) : root_(root) {}
  bool key(Reader&, std::string_view) override { return true; }
  bool scalar(Reader& r, ScalarValue& v) override { return r.convert(v) && take_scalar(r, root_, v); }
  bool start(Reader& r, bool object) override { return take_container(r, root_, object); }
  bool end(Reader&) override { return true; }

 private:
  DvmMetadata& root_;
};

// --- The handler's events ----------------------------------------------------

Reader::Reader(std::string_view json, const rapidjson::MemoryStream& stream, DvmMetadata& root)
    : json_(json), stream_(stream) {
  frames_.push_back(std::make_unique<RootFrame>(root));
}

bool Reader::scalar(ScalarValue v) {
  mark(false);
  if (v.kind == Scalar::String && !is_valid_utf8(v.text)) return fail("invalid unicode code point");
  return frames_.back()->scalar(*this, v);
}

bool Reader::Key(const char* s, rapidjson::SizeType length, bool) {
  mark(false);
  const std::string_view key(s, length);
  if (!is_valid_utf8(key)) return fail("invalid unicode code point");
  return frames_.back()->key(*this, key);
}

bool Reader::start(bool object) {
  mark(true);
  if (open_.size() >= kMaxMetadataDepth) return fail("recursion limit exceeded");
  open_.push_back(object ? '{' : '[');
  return frames_.back()->start(*this, object);
}

bool Reader::end() {
  mark(true);
  open_.pop_back();
  Frame& top = *frames_.back();
  if (!top.end(*this)) return false;
  if (top.closed()) frames_.pop_back();
  return true;
}

// --- Positions and syntax errors ---------------------------------------------

/// " at line L column C" for the text consumed up to `after` (serde-style:
/// the column counts the bytes consumed on the error's line).
std::string position_text(std::string_view json, std::size_t after) {
  after = std::min(after, json.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < after; ++i) {
    if (json[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return fmt::format(" at line {} column {}", line, after - line_start);
}

std::string syntax_message(rapidjson::ParseErrorCode code, std::string_view json, std::size_t offset, char open) {
  using namespace rapidjson;
  if (offset >= json.size()) {
    if (code == kParseErrorStringMissQuotationMark || code == kParseErrorStringEscapeInvalid ||
        code == kParseErrorStringUnicodeEscapeInvalidHex || code == kParseErrorStringUnicodeSurrogateInvalid) {
      return "EOF while parsing a string";
    }
    if (open == '\0' || code == kParseErrorDocumentEmpty || (code == kParseErrorValueInvalid && open == '{')) {
      return "EOF while parsing a value";
    }
    return open == '{' ? "EOF while parsing an object" : "EOF while parsing a list";
  }
  const auto byte = static_cast<unsigned char>(json[offset]);
  switch (code) {
    case kParseErrorDocumentEmpty: return "EOF while parsing a value";
    case kParseErrorDocumentRootNotSingular: return "trailing characters";
    case kParseErrorValueInvalid: return "expected value";
    case kParseErrorObjectMissName: return "key must be a string";
    case kParseErrorObjectMissColon: return "expected `:`";
    case kParseErrorObjectMissCommaOrCurlyBracket: return "expected `,` or `}`";
    case kParseErrorArrayMissCommaOrSquareBracket: return "expected `,` or `]`";
    case kParseErrorStringUnicodeEscapeInvalidHex: return "invalid escape";
    case kParseErrorStringUnicodeSurrogateInvalid: return "lone leading surrogate in hex escape";
    case kParseErrorStringEscapeInvalid:
    case kParseErrorStringMissQuotationMark:
    case kParseErrorStringInvalidEncoding:
      // The reader reports a raw control character (a NUL included) as one of these.
      if (byte < 0x20) return "control character (\\u0000-\\u001F) found while parsing a string";
      return code == kParseErrorStringEscapeInvalid ? "invalid escape" : "invalid unicode code point";
    case kParseErrorNumberTooBig: return "number out of range";
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent: return "invalid number";
    default: return "syntax error";
  }
}

constexpr unsigned kParseFlags =
    rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseValidateEncodingFlag;

}  // namespace

Result<DvmMetadata> parse_metadata(std::string_view json) {
  DvmMetadata metadata;
  const std::string masked = mask_numbers(json);
  rapidjson::MemoryStream stream(masked.data(), masked.size());
  Reader handler(json, stream, metadata);
  rapidjson::Reader reader;
  const rapidjson::ParseResult result = reader.Parse<kParseFlags>(stream, handler);
  if (result.IsError()) {
    if (result.Code() == rapidjson::kParseErrorTermination && !handler.error().empty()) {
      return fail(CoreError::json(handler.error() + position_text(json, handler.error_after())));
    }
    std::size_t offset = result.Offset();
    rapidjson::ParseErrorCode code = result.Code();
    if (code == rapidjson::kParseErrorNumberTooBig) {
      // Only an incomplete number is left unmasked ("1" and 400 digits, then
      // "e" without digits): report where it breaks off, as for a short one.
      offset = number_extent(json, offset).end;
      code = rapidjson::kParseErrorNumberMissExponent;
    }
    const std::string message = syntax_message(code, json, offset, handler.innermost_open());
    // At the end of the input nothing more was consumed; elsewhere the
    // offending character counts as read.
    const std::size_t after = offset >= json.size() ? json.size() : offset + 1;
    return fail(CoreError::json(message + position_text(json, after)));
  }
  // The reader takes a NUL byte for the end of its input.
  if (stream.Tell() < json.size()) {
    return fail(CoreError::json("trailing characters" + position_text(json, stream.Tell() + 1)));
  }
  return metadata;
}

Result<std::optional<DvmMetadata>> dvm_read_metadata(std::string_view path) {
  auto text = dvm_read_metadata_text(path);
  if (!text) return fail(std::move(text.error()));
  if (!*text) return std::nullopt;
  auto metadata = parse_metadata(**text);
  if (!metadata) return fail(std::move(metadata.error()));
  return std::optional<DvmMetadata>(std::move(*metadata));
}

}  // namespace tallowind::ara2
