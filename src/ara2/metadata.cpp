#include "ara2/metadata.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <limits>
#include <span>
#include <type_traits>

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include "ara2/dvm_archive.hpp"
#include "ara2/float_format.hpp"
#include "ara2/text.hpp"

namespace ara2 {
namespace {

// --- Schema tables ---------------------------------------------------------
// Each record type lists its keys in declaration order (which is also the
// order of the positional array form); the value type of each key follows
// from the member it fills.

enum class ValueType : std::uint8_t {
  OptString,
  OptU32,
  OptI32,
  OptU64,
  OptF64,
  OptBool,
  Bool,
  F32,
  I32,
  StringList,
  I64List,
  DShapeList,
  Record,
  RecordList,
  // Elements of the lists above.
  ElemString,
  ElemI64,
  ElemDShape,
  ElemRecord,
};

struct RecordSchema;

struct Field {
  std::string_view key;
  ValueType type;
  void* (*access)(void* record);  // the member inside the record
  const RecordSchema* nested;     // Record and RecordList
  void* (*make)(void* member);    // emplaces the optional record, or appends a list element
  bool required;
};

struct RecordSchema {
  std::string_view name;
  std::span<const Field> fields;
};

template <class T>
struct MemberTraits;
template <class C, class M>
struct MemberTraits<M C::*> {
  using Class = C;
  using Member = M;
};

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <class T>
constexpr bool kIsRecord = std::is_class_v<T> && !std::is_same_v<T, std::string>;

template <class M>
constexpr ValueType value_type_of() {
  if constexpr (std::is_same_v<M, std::optional<std::string>>) return ValueType::OptString;
  else if constexpr (std::is_same_v<M, std::optional<std::uint32_t>>) return ValueType::OptU32;
  else if constexpr (std::is_same_v<M, std::optional<std::int32_t>>) return ValueType::OptI32;
  else if constexpr (std::is_same_v<M, std::optional<std::uint64_t>>) return ValueType::OptU64;
  else if constexpr (std::is_same_v<M, std::optional<double>>) return ValueType::OptF64;
  else if constexpr (std::is_same_v<M, std::optional<bool>>) return ValueType::OptBool;
  else if constexpr (std::is_same_v<M, bool>) return ValueType::Bool;
  else if constexpr (std::is_same_v<M, float>) return ValueType::F32;
  else if constexpr (std::is_same_v<M, std::int32_t>) return ValueType::I32;
  else if constexpr (std::is_same_v<M, std::vector<std::string>>) return ValueType::StringList;
  else if constexpr (std::is_same_v<M, std::vector<std::int64_t>>) return ValueType::I64List;
  else if constexpr (std::is_same_v<M, std::vector<DShapeItem>>) return ValueType::DShapeList;
  else if constexpr (std::is_same_v<M, std::vector<OutputSpec>>) return ValueType::RecordList;
  else if constexpr (IsOptional<M>::value) {
    static_assert(kIsRecord<typename M::value_type>, "unsupported member type");
    return ValueType::Record;
  } else {
    static_assert(IsOptional<M>::value, "unsupported member type");
  }
}

template <auto Member>
void* access(void* record) {
  using Traits = MemberTraits<decltype(Member)>;
  return &(static_cast<typename Traits::Class*>(record)->*Member);
}

template <class T>
void* emplace_optional(void* member) {
  return &static_cast<std::optional<T>*>(member)->emplace();
}

template <class T>
void* append_element(void* member) {
  return &static_cast<std::vector<T>*>(member)->emplace_back();
}

template <class T>
struct Schema;

template <class T>
inline constexpr RecordSchema kSchema{Schema<T>::name, Schema<T>::fields};

template <auto Member>
constexpr Field field(std::string_view key, bool required = false) {
  using M = typename MemberTraits<decltype(Member)>::Member;
  Field f{key, value_type_of<M>(), &access<Member>, nullptr, nullptr, required};
  if constexpr (std::is_same_v<M, std::vector<OutputSpec>>) {
    f.nested = &kSchema<OutputSpec>;
    f.make = &append_element<OutputSpec>;
  } else if constexpr (IsOptional<M>::value) {
    if constexpr (kIsRecord<typename M::value_type>) {
      f.nested = &kSchema<typename M::value_type>;
      f.make = &emplace_optional<typename M::value_type>;
    }
  }
  return f;
}

template <>
struct Schema<DatasetInfo> {
  static constexpr std::string_view name = "DatasetInfo";
  static constexpr Field fields[] = {field<&DatasetInfo::classes>("classes"), field<&DatasetInfo::id>("id"),
                                     field<&DatasetInfo::name>("name")};
};

template <>
struct Schema<InputSpec> {
  static constexpr std::string_view name = "InputSpec";
  static constexpr Field fields[] = {
      field<&InputSpec::size>("size"), field<&InputSpec::input_channels>("input_channels"),
      field<&InputSpec::output_channels>("output_channels"), field<&InputSpec::cameraadaptor>("cameraadaptor")};
};

template <>
struct Schema<ModelInfo> {
  static constexpr std::string_view name = "ModelInfo";
  static constexpr Field fields[] = {
      field<&ModelInfo::model_task>("model_task"), field<&ModelInfo::model_size>("model_size"),
      field<&ModelInfo::model_version>("model_version"), field<&ModelInfo::detection>("detection"),
      field<&ModelInfo::segmentation>("segmentation")};
};

template <>
struct Schema<QuantizationSpec> {
  static constexpr std::string_view name = "QuantizationSpec";
  static constexpr Field fields[] = {field<&QuantizationSpec::scale>("scale", true),
                                     field<&QuantizationSpec::zero_point>("zero_point"),
                                     field<&QuantizationSpec::dtype>("dtype")};
};

template <>
struct Schema<OutputSpec> {
  static constexpr std::string_view name = "OutputSpec";
  static constexpr Field fields[] = {
      field<&OutputSpec::index>("index"),
      field<&OutputSpec::name>("name"),
      field<&OutputSpec::output_type>("type"),
      field<&OutputSpec::decoder>("decoder"),
      field<&OutputSpec::decode>("decode"),
      field<&OutputSpec::dtype>("dtype"),
      field<&OutputSpec::shape>("shape"),
      field<&OutputSpec::dshape>("dshape"),
      field<&OutputSpec::normalized>("normalized"),
      field<&OutputSpec::encoding>("encoding"),
      field<&OutputSpec::score_format>("score_format"),
      field<&OutputSpec::quantization>("quantization"),
  };
};

template <>
struct Schema<DeploymentInfo> {
  static constexpr std::string_view name = "DeploymentInfo";
  static constexpr Field fields[] = {
      field<&DeploymentInfo::model_name>("model_name"), field<&DeploymentInfo::name>("name"),
      field<&DeploymentInfo::author>("author"), field<&DeploymentInfo::description>("description")};
};

template <>
struct Schema<PpaMetrics> {
  static constexpr std::string_view name = "PpaMetrics";
  static constexpr Field fields[] = {field<&PpaMetrics::ips>("ips"), field<&PpaMetrics::power_mw>("power_mw"),
                                     field<&PpaMetrics::cycles>("cycles"),
                                     field<&PpaMetrics::ddr_bw_mbps>("ddr_bw_mbps")};
};

template <>
struct Schema<CompilationInfo> {
  static constexpr std::string_view name = "CompilationInfo";
  static constexpr Field fields[] = {field<&CompilationInfo::target>("target"),
                                     field<&CompilationInfo::format>("format"), field<&CompilationInfo::ppa>("ppa")};
};

template <>
struct Schema<Ara2Info> {
  static constexpr std::string_view name = "Ara2Info";
  static constexpr Field fields[] = {field<&Ara2Info::qmode>("qmode")};
};

template <>
struct Schema<DvmMetadata> {
  static constexpr std::string_view name = "DvmMetadata";
  static constexpr Field fields[] = {
      field<&DvmMetadata::dataset>("dataset"),
      field<&DvmMetadata::input>("input"),
      field<&DvmMetadata::model>("model"),
      field<&DvmMetadata::deployment>("deployment"),
      field<&DvmMetadata::compilation>("compilation"),
      field<&DvmMetadata::decoder_version>("decoder_version"),
      field<&DvmMetadata::nms>("nms"),
      field<&DvmMetadata::outputs>("outputs"),
      field<&DvmMetadata::ara2>("ara2"),
  };
};

static_assert(std::size(Schema<OutputSpec>::fields) <= 32, "seen-key mask holds 32 keys");

std::string_view expected_text(ValueType type, const RecordSchema* schema, std::string& scratch) {
  switch (type) {
    case ValueType::OptString:
    case ValueType::ElemString: return "a string";
    case ValueType::OptU32: return "u32";
    case ValueType::OptI32:
    case ValueType::I32: return "i32";
    case ValueType::OptU64: return "u64";
    case ValueType::ElemI64: return "i64";
    case ValueType::OptF64: return "f64";
    case ValueType::F32: return "f32";
    case ValueType::OptBool:
    case ValueType::Bool: return "a boolean";
    case ValueType::StringList:
    case ValueType::I64List:
    case ValueType::DShapeList:
    case ValueType::RecordList: return "a sequence";
    case ValueType::Record:
    case ValueType::ElemRecord:
      scratch = fmt::format("struct {}", schema->name);
      return scratch;
    case ValueType::ElemDShape: return "a dshape entry";
  }
  return "a value";
}

// --- The typed SAX handler -------------------------------------------------

constexpr std::string_view kUntaggedDShape = "data did not match any variant of untagged enum DShapeItem";
constexpr std::string_view kDShapeOneKey = "dshape map entry must have exactly one key";

// A number arrives as its text (Number) and becomes Unsigned, Signed or Float
// only where it is read into something: an unknown key's value is skipped
// without conversion, whatever it holds.
enum class Scalar : std::uint8_t { Null, Bool, Number, Unsigned, Signed, Float, String };

struct ScalarValue {
  explicit ScalarValue(Scalar k) noexcept : kind(k) {}
  Scalar kind;
  bool boolean = false;
  std::uint64_t unsigned_value = 0;
  std::int64_t signed_value = 0;  // only negative values arrive as Signed
  double float_value = 0.0;
  std::string_view text;  // a string's contents, or a number's literal
};

// --- Numbers -----------------------------------------------------------------
// Converted from their text with std::from_chars (correctly rounded). As a
// serde-style reader does: a literal without fraction or exponent is an
// integer when it fits 64 bits (u64, or i64 when negative; "-0" is the float
// -0.0), anything else a double; a finite literal beyond the double range is
// an error, one below it (zero with any exponent included) is zero.

/// Where the JSON number starting at `at` ends, and whether it is complete:
/// a sign without digits, "1." or "1e" break off where a digit is missing.
struct NumberExtent {
  std::size_t end;
  bool complete;
};

NumberExtent number_extent(std::string_view json, std::size_t at) noexcept {
  const auto digit = [&](std::size_t i) { return i < json.size() && json[i] >= '0' && json[i] <= '9'; };
  const auto digits = [&](std::size_t i) {
    while (digit(i)) ++i;
    return i;
  };
  std::size_t i = at;
  if (i < json.size() && json[i] == '-') ++i;
  if (!digit(i)) return {i, false};
  i = json[i] == '0' ? i + 1 : digits(i);
  if (i < json.size() && json[i] == '.') {
    if (!digit(++i)) return {i, false};
    i = digits(i);
  }
  if (i < json.size() && (json[i] == 'e' || json[i] == 'E')) {
    ++i;
    if (i < json.size() && (json[i] == '+' || json[i] == '-')) ++i;
    if (!digit(i)) return {i, false};
    i = digits(i);
  }
  return {i, true};
}

/// For a literal outside the double range: whether it is too small (its
/// leading digit's power of ten is negative) rather than too large.
bool below_double_range(std::string_view literal) noexcept {
  const std::size_t e = literal.find_first_of("eE");
  const std::string_view mantissa = literal.substr(0, e);
  std::int64_t exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view text = literal.substr(e + 1);
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
    // Saturates: that far out only the sign matters.
    for (const char c : text) exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), std::int64_t{1} << 40);
    if (negative) exponent = -exponent;
  }
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  const std::size_t first = mantissa.find_first_of("123456789");
  const auto lead = first < point ? static_cast<std::int64_t>(point - first - 1)
                                  : -static_cast<std::int64_t>(first - point);
  return lead + exponent < 0;
}

/// Converts a Number scalar in place; false when the literal is beyond the
/// double range.
bool convert_number(ScalarValue& v) noexcept {
  const std::string_view text = v.text;
  const char* const end = text.data() + text.size();
  if (text.find_first_of(".eE") == std::string_view::npos) {
    if (text.front() == '-') {
      std::int64_t value = 0;
      const auto [ptr, ec] = std::from_chars(text.data(), end, value);
      if (ec == std::errc() && ptr == end && value != 0) {
        v.kind = Scalar::Signed;
        v.signed_value = value;
        return true;
      }
    } else {
      std::uint64_t value = 0;
      const auto [ptr, ec] = std::from_chars(text.data(), end, value);
      if (ec == std::errc() && ptr == end) {
        v.kind = Scalar::Unsigned;
        v.unsigned_value = value;
        return true;
      }
    }
  }
  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec == std::errc::result_out_of_range) {
    if (!below_double_range(text)) return false;
    value = text.front() == '-' ? -0.0 : 0.0;
  }
  v.kind = Scalar::Float;
  v.float_value = value;
  return true;
}

/// The 32-bit float nearest to a converted number's literal (rounded once,
/// not through the double).
float nearest_f32(const ScalarValue& v) noexcept {
  float value = 0.0f;
  const auto [ptr, ec] = std::from_chars(v.text.data(), v.text.data() + v.text.size(), value);
  if (ec != std::errc::result_out_of_range) return value;
  // Beyond the float range but within the double's (checked before).
  const double magnitude = v.kind == Scalar::Float ? std::fabs(v.float_value) : 2.0;
  return std::copysign(magnitude < 1.0 ? 0.0f : std::numeric_limits<float>::infinity(),
                       v.text.front() == '-' ? -1.0f : 1.0f);
}

/// RapidJSON checks the range of numbers itself, before its handler sees
/// them: it refuses "0e400" and integers of 310 digits, which must read as
/// zero or be skipped. So it parses a copy in which every complete number of
/// three characters or more is replaced by a harmless one of the same length
/// ("0e0..."); the handler takes each number's literal from the original at
/// the same offsets. Shorter numbers are always in range and stay as they are.
std::string mask_numbers(std::string_view json) {
  std::string masked(json);
  bool in_string = false;
  for (std::size_t i = 0; i < masked.size();) {
    const char c = masked[i];
    if (in_string) {
      if (c == '"') in_string = false;
      i += c == '\\' ? 2 : 1;
      continue;
    }
    if (c == '"') in_string = true;
    if (c != '-' && (c < '0' || c > '9')) {
      ++i;
      continue;
    }
    const auto [end, complete] = number_extent(json, i);
    if (!complete) {
      ++i;
      continue;
    }
    if (end - i >= 3) {
      masked[i] = '0';
      masked[i + 1] = 'e';
      std::fill(masked.begin() + static_cast<std::ptrdiff_t>(i + 2), masked.begin() + static_cast<std::ptrdiff_t>(end),
                '0');
    }
    i = end;
  }
  return masked;
}

std::string unexpected_text(const ScalarValue& v) {
  switch (v.kind) {
    case Scalar::Null: return "null";
    case Scalar::Number: return fmt::format("number `{}`", v.text);
    case Scalar::Bool: return fmt::format("boolean `{}`", v.boolean ? "true" : "false");
    case Scalar::Unsigned: return fmt::format("integer `{}`", v.unsigned_value);
    case Scalar::Signed: return fmt::format("integer `{}`", v.signed_value);
    case Scalar::Float: return fmt::format("floating point `{}`", format_f64_debug(v.float_value));
    case Scalar::String: return fmt::format("string {}", quote_escaped(v.text));
  }
  return "value";
}

class SchemaHandler {
 public:
  SchemaHandler(std::string_view json, const rapidjson::MemoryStream& stream, DvmMetadata& root)
      : json_(json), stream_(stream), root_(root) {}

  bool Null() { return scalar(ScalarValue(Scalar::Null)); }
  bool Bool(bool b) {
    ScalarValue v(Scalar::Bool);
    v.boolean = b;
    return scalar(v);
  }
  // Numbers arrive as text (kParseNumbersAsStringsFlag); `json` holds their
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

 private:
  enum class FrameKind : std::uint8_t { Record, List, DShapeEntry, Skip };
  static constexpr int kNoKey = -1;
  static constexpr int kUnknownKey = -2;

  /// What the next value fills.
  struct Slot {
    ValueType type;
    void* member = nullptr;  // the member, or the list's vector for elements
    const RecordSchema* schema = nullptr;
    void* (*make)(void*) = nullptr;
    bool skip = false;
    bool root = false;
  };

  struct Frame {
    /// `content`: inside a dshape entry, whose numbers are still converted
    /// (the entry is read as a whole before its form is known).
    static Frame skip(bool content) {
      Frame f{FrameKind::Skip};
      f.count = 1;
      f.content = content;
      return f;
    }
    static Frame record(void* target, const RecordSchema* schema, bool positional) {
      Frame f{FrameKind::Record};
      f.target = target;
      f.schema = schema;
      f.positional = positional;
      return f;
    }
    static Frame list(const Slot& slot, ValueType element) {
      Frame f{FrameKind::List};
      f.target = slot.member;
      f.schema = slot.schema;
      f.make = slot.make;
      f.element = element;
      return f;
    }
    static Frame dshape_entry(void* target, bool positional) {
      Frame f{FrameKind::DShapeEntry};
      f.target = target;
      f.positional = positional;
      return f;
    }
    explicit Frame(FrameKind k) noexcept : kind(k) {}

    FrameKind kind;
    void* target = nullptr;  // the record, or the list's vector
    const RecordSchema* schema = nullptr;
    ValueType element = ValueType::ElemString;  // List
    bool positional = false;                    // Record written as an array; DShapeEntry written as an array
    std::uint32_t seen = 0;
    int pending = kNoKey;
    std::size_t count = 0;  // positional index, dshape element or key count, skip depth
    bool invalid = false;   // DShapeEntry
    bool content = false;   // Skip
    std::string name;       // DShapeEntry
    std::uint64_t extent = 0;
    void* (*make)(void*) = nullptr;  // List of records
  };

  void mark(bool bracket) noexcept { after_ = stream_.Tell() + (bracket ? 1 : 0); }

  bool fail_marked(std::string message) {
    error_ = std::move(message);
    error_after_ = after_;
    return false;
  }

  /// Counts `bytes` of record storage against the document's budget.
  bool charge(std::size_t bytes) {
    record_bytes_ += bytes;
    if (record_bytes_ <= kMaxMetadataRecordBytes) return true;
    return fail_marked(fmt::format("document too large: its records would take more than {} bytes",
                                   kMaxMetadataRecordBytes));
  }

  bool next_slot(Slot& slot);
  bool scalar(ScalarValue v);
  /// Converts a number where it is read; "number out of range" is reported
  /// at the literal's first character.
  bool convert(ScalarValue& v) {
    if (v.kind != Scalar::Number || convert_number(v)) return true;
    after_ = static_cast<std::size_t>(v.text.data() - json_.data()) + 1;
    return fail_marked("number out of range");
  }
  bool store(const Slot& slot, const ScalarValue& v);
  bool dshape_scalar(Frame& frame, const ScalarValue& v);
  bool start(bool object);
  bool end();
  bool type_error(const Slot& slot, std::string_view unexpected) {
    std::string scratch;
    return fail_marked(
        fmt::format("invalid type: {}, expected {}", unexpected, expected_text(slot.type, slot.schema, scratch)));
  }
  bool value_error(const Slot& slot, const ScalarValue& v) {
    std::string scratch;
    return fail_marked(
        fmt::format("invalid value: {}, expected {}", unexpected_text(v), expected_text(slot.type, slot.schema, scratch)));
  }

  std::string_view json_;
  const rapidjson::MemoryStream& stream_;
  DvmMetadata& root_;
  std::vector<Frame> frames_;
  std::string open_;
  std::size_t after_ = 0;
  std::size_t record_bytes_ = 0;
  std::string error_;
  std::size_t error_after_ = 0;
};

bool SchemaHandler::next_slot(Slot& slot) {
  if (frames_.empty()) {
    slot = Slot{ValueType::Record, &root_, &kSchema<DvmMetadata>, nullptr, false, true};
    return true;
  }
  Frame& top = frames_.back();
  if (top.kind == FrameKind::List) {
    slot = Slot{top.element, top.target, top.schema, top.make};
    return true;
  }
  // A record: the key just read, or the next position of the array form.
  int index = top.pending;
  if (top.positional) {
    if (top.count >= top.schema->fields.size()) {
      return fail_marked(fmt::format("too many elements, expected struct {} with {} elements", top.schema->name,
                                     top.schema->fields.size()));
    }
    index = static_cast<int>(top.count++);
    top.seen |= 1u << index;
  }
  top.pending = kNoKey;
  if (index == kUnknownKey) {
    slot = Slot{ValueType::OptString, nullptr, nullptr, nullptr, true};
    return true;
  }
  const Field& f = top.schema->fields[static_cast<std::size_t>(index)];
  slot = Slot{f.type, f.access(top.target), f.nested, f.make};
  return true;
}

template <class T>
bool fits(std::uint64_t u) noexcept {
  return u <= static_cast<std::uint64_t>(std::numeric_limits<T>::max());
}

bool SchemaHandler::store(const Slot& slot, const ScalarValue& v) {
  const bool integer = v.kind == Scalar::Unsigned || v.kind == Scalar::Signed;
  const bool number = integer || v.kind == Scalar::Float;

  if (v.kind == Scalar::Null) {
    switch (slot.type) {
      case ValueType::OptString:
      case ValueType::OptU32:
      case ValueType::OptI32:
      case ValueType::OptU64:
      case ValueType::OptF64:
      case ValueType::OptBool: return true;
      case ValueType::Record:
        if (!slot.root) return true;
        break;
      default: break;
    }
    return type_error(slot, "null");
  }

  switch (slot.type) {
    case ValueType::OptString:
      if (v.kind != Scalar::String) break;
      if (!charge(v.text.size())) return false;
      *static_cast<std::optional<std::string>*>(slot.member) = std::string(v.text);
      return true;
    case ValueType::ElemString:
      if (v.kind != Scalar::String) break;
      if (!charge(sizeof(std::string) + v.text.size())) return false;
      static_cast<std::vector<std::string>*>(slot.member)->emplace_back(v.text);
      return true;
    case ValueType::OptBool:
      if (v.kind != Scalar::Bool) break;
      *static_cast<std::optional<bool>*>(slot.member) = v.boolean;
      return true;
    case ValueType::Bool:
      if (v.kind != Scalar::Bool) break;
      *static_cast<bool*>(slot.member) = v.boolean;
      return true;
    case ValueType::OptU32:
      if (!integer) break;
      if (v.kind == Scalar::Signed || !fits<std::uint32_t>(v.unsigned_value)) return value_error(slot, v);
      *static_cast<std::optional<std::uint32_t>*>(slot.member) = static_cast<std::uint32_t>(v.unsigned_value);
      return true;
    case ValueType::OptU64:
      if (!integer) break;
      if (v.kind == Scalar::Signed) return value_error(slot, v);
      *static_cast<std::optional<std::uint64_t>*>(slot.member) = v.unsigned_value;
      return true;
    case ValueType::OptI32:
    case ValueType::I32: {
      if (!integer) break;
      const bool in_range = v.kind == Scalar::Signed ? v.signed_value >= std::numeric_limits<std::int32_t>::min()
                                                     : fits<std::int32_t>(v.unsigned_value);
      if (!in_range) return value_error(slot, v);
      const auto value = static_cast<std::int32_t>(v.kind == Scalar::Signed ? v.signed_value
                                                                             : static_cast<std::int64_t>(v.unsigned_value));
      if (slot.type == ValueType::I32) *static_cast<std::int32_t*>(slot.member) = value;
      else *static_cast<std::optional<std::int32_t>*>(slot.member) = value;
      return true;
    }
    case ValueType::ElemI64: {
      if (!integer) break;
      if (v.kind == Scalar::Unsigned && !fits<std::int64_t>(v.unsigned_value)) return value_error(slot, v);
      const auto value = v.kind == Scalar::Signed ? v.signed_value : static_cast<std::int64_t>(v.unsigned_value);
      if (!charge(sizeof value)) return false;
      static_cast<std::vector<std::int64_t>*>(slot.member)->push_back(value);
      return true;
    }
    case ValueType::OptF64: {
      if (!number) break;
      const double value = v.kind == Scalar::Float    ? v.float_value
                           : v.kind == Scalar::Signed ? static_cast<double>(v.signed_value)
                                                      : static_cast<double>(v.unsigned_value);
      *static_cast<std::optional<double>*>(slot.member) = value;
      return true;
    }
    case ValueType::F32:
      if (!number) break;
      *static_cast<float*>(slot.member) = nearest_f32(v);
      return true;
    default: break;
  }
  return type_error(slot, unexpected_text(v));
}

bool SchemaHandler::dshape_scalar(Frame& frame, const ScalarValue& v) {
  if (!frame.positional) {
    // The value of the map form's key.
    if (v.kind == Scalar::Unsigned) frame.extent = v.unsigned_value;
    else frame.invalid = true;
    return true;
  }
  const std::size_t position = frame.count++;
  if (position == 0 && v.kind == Scalar::String) frame.name = std::string(v.text);
  else if (position == 1 && v.kind == Scalar::Unsigned) frame.extent = v.unsigned_value;
  else frame.invalid = true;
  return true;
}

bool SchemaHandler::scalar(ScalarValue v) {
  mark(false);
  if (v.kind == Scalar::String && !is_valid_utf8(v.text)) return fail_marked("invalid unicode code point");
  if (!frames_.empty() && frames_.back().kind == FrameKind::Skip) return !frames_.back().content || convert(v);
  if (!frames_.empty() && frames_.back().kind == FrameKind::DShapeEntry) {
    return convert(v) && dshape_scalar(frames_.back(), v);
  }
  Slot slot;
  if (!next_slot(slot)) return false;
  if (slot.skip) return true;
  if (!convert(v)) return false;
  if (slot.type == ValueType::ElemDShape) return fail_marked(std::string(kUntaggedDShape));
  if (slot.root && v.kind == Scalar::Null) return type_error(slot, "null");
  return store(slot, v);
}

bool SchemaHandler::Key(const char* s, rapidjson::SizeType length, bool) {
  mark(false);
  const std::string_view key(s, length);
  if (!is_valid_utf8(key)) return fail_marked("invalid unicode code point");
  Frame& top = frames_.back();
  if (top.kind == FrameKind::Skip) return true;
  if (top.kind == FrameKind::DShapeEntry) {
    if (top.count++ == 0) top.name = std::string(key);
    return true;
  }
  top.pending = kUnknownKey;
  const auto& fields = top.schema->fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].key != key) continue;
    if (top.seen & (1u << i)) return fail_marked(fmt::format("duplicate field `{}`", key));
    top.seen |= 1u << i;
    top.pending = static_cast<int>(i);
    break;
  }
  return true;
}

bool SchemaHandler::start(bool object) {
  mark(true);
  if (open_.size() >= kMaxMetadataDepth) return fail_marked("recursion limit exceeded");
  open_.push_back(object ? '{' : '[');
  if (!frames_.empty() && frames_.back().kind == FrameKind::Skip) {
    ++frames_.back().count;
    return true;
  }
  if (!frames_.empty() && frames_.back().kind == FrameKind::DShapeEntry) {
    // Neither entry form nests containers.
    Frame& entry = frames_.back();
    if (entry.positional) ++entry.count;
    entry.invalid = true;
    frames_.push_back(Frame::skip(true));
    return true;
  }
  Slot slot;
  if (!next_slot(slot)) return false;
  if (slot.skip) {
    frames_.push_back(Frame::skip(false));
    return true;
  }
  switch (slot.type) {
    case ValueType::Record:
    case ValueType::ElemRecord: {
      if (slot.type == ValueType::ElemRecord && !charge(sizeof(OutputSpec))) return false;
      void* record = slot.root ? slot.member : slot.make(slot.member);
      frames_.push_back(Frame::record(record, slot.schema, !object));
      return true;
    }
    case ValueType::StringList:
    case ValueType::I64List:
    case ValueType::DShapeList:
    case ValueType::RecordList: {
      if (object) break;
      const ValueType element = slot.type == ValueType::StringList ? ValueType::ElemString
                                : slot.type == ValueType::I64List  ? ValueType::ElemI64
                                : slot.type == ValueType::DShapeList ? ValueType::ElemDShape
                                                                     : ValueType::ElemRecord;
      frames_.push_back(Frame::list(slot, element));
      return true;
    }
    case ValueType::ElemDShape:
      frames_.push_back(Frame::dshape_entry(slot.member, !object));
      return true;
    default: break;
  }
  return type_error(slot, object ? "map" : "sequence");
}

bool SchemaHandler::end() {
  mark(true);
  open_.pop_back();
  Frame& top = frames_.back();
  switch (top.kind) {
    case FrameKind::Skip:
      if (--top.count > 0) return true;
      break;
    case FrameKind::List: break;
    case FrameKind::DShapeEntry: {
      const bool ok = top.positional ? !top.invalid && top.count == 2 : !top.invalid && top.count == 1;
      if (!ok) {
        if (!top.positional && !top.invalid) return fail_marked(std::string(kDShapeOneKey));
        return fail_marked(std::string(kUntaggedDShape));
      }
      if (!charge(sizeof(DShapeItem) + top.name.size())) return false;
      static_cast<std::vector<DShapeItem>*>(top.target)->push_back(DShapeItem{std::move(top.name), top.extent});
      break;
    }
    case FrameKind::Record: {
      const auto& fields = top.schema->fields;
      for (std::size_t i = 0; i < fields.size(); ++i) {
        if (!fields[i].required || (top.seen & (1u << i))) continue;
        if (top.positional) {
          return fail_marked(fmt::format("invalid length {}, expected struct {} with {} elements", top.count,
                                         top.schema->name, fields.size()));
        }
        return fail_marked(fmt::format("missing field `{}`", fields[i].key));
      }
      break;
    }
  }
  frames_.pop_back();
  return true;
}

// --- Positions and syntax errors -------------------------------------------

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

bool parse_u32_piece(std::string_view piece, std::uint32_t& out) {
  if (!piece.empty() && piece.front() == '+') piece.remove_prefix(1);
  if (piece.empty()) return false;
  for (const char c : piece) {
    if (c < '0' || c > '9') return false;
  }
  const auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), out);
  return ec == std::errc() && end == piece.data() + piece.size();
}

std::string optional_text(const std::optional<std::string>& value) {
  return value ? fmt::format("Some({})", quote_escaped(*value)) : "None";
}

template <class T>
std::string optional_number(const std::optional<T>& value) {
  if (!value) return "None";
  if constexpr (std::is_floating_point_v<T>) return fmt::format("Some({})", format_f64_debug(*value));
  else return fmt::format("Some({})", *value);
}

}  // namespace

std::optional<std::string> DvmMetadata::task() const { return model ? model->model_task : std::nullopt; }

std::vector<std::string> DvmMetadata::classes() const { return dataset ? dataset->classes : std::vector<std::string>{}; }

std::optional<std::pair<std::uint32_t, std::uint32_t>> InputSpec::dimensions() const {
  if (!size) return std::nullopt;
  const std::string_view text = *size;
  const std::size_t x = text.find('x');
  if (x == std::string_view::npos || text.find('x', x + 1) != std::string_view::npos) return std::nullopt;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  if (!parse_u32_piece(text.substr(0, x), width) || !parse_u32_piece(text.substr(x + 1), height)) return std::nullopt;
  return std::pair{width, height};
}

Result<DvmMetadata> parse_metadata(std::string_view json) {
  DvmMetadata metadata;
  const std::string masked = mask_numbers(json);
  rapidjson::MemoryStream stream(masked.data(), masked.size());
  SchemaHandler handler(json, stream, metadata);
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

std::string repr(const DvmMetadata& value) {
  return fmt::format("DvmMetadata(task={}, classes={}, outputs={})", optional_text(value.task()),
                     value.dataset ? value.dataset->classes.size() : 0, value.outputs.size());
}

std::string repr(const DatasetInfo& value) {
  return fmt::format("DatasetInfo(classes={}, name={})", value.classes.size(), optional_text(value.name));
}

std::string repr(const InputSpec& value) {
  return fmt::format("InputSpec(size={}, channels={})", optional_text(value.size),
                     optional_number(value.input_channels));
}

std::string repr(const ModelInfo& value) {
  return fmt::format("ModelInfo(task={}, size={})", optional_text(value.model_task), optional_text(value.model_size));
}

std::string repr(const OutputSpec& value) {
  return fmt::format("OutputSpec(name={}, type={}, shape=[{}])", optional_text(value.name),
                     optional_text(value.output_type), fmt::join(value.shape, ", "));
}

std::string repr(const DeploymentInfo& value) {
  return fmt::format("DeploymentInfo(name={}, author={})", optional_text(value.name), optional_text(value.author));
}

std::string repr(const CompilationInfo& value) {
  return fmt::format("CompilationInfo(target={}, format={})", optional_text(value.target),
                     optional_text(value.format));
}

std::string repr(const PpaMetrics& value) {
  return fmt::format("PpaMetrics(ips={}, power_mw={})", optional_number(value.ips), optional_number(value.power_mw));
}

std::string repr(const Ara2Info& value) {
  return value.qmode ? fmt::format("Ara2Info(qmode={})", *value.qmode) : std::string("Ara2Info(qmode=None)");
}

}  // namespace ara2
