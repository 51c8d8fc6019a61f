// ara2-emu-dvm: shows what an emulated model file holds and runs its program
// on input files, without the proxy or the client library.
//
//   ara2-emu-dvm inspect MODEL.dvm
//   ara2-emu-dvm run MODEL.dvm --in IN0.bin ... --out OUT0.bin ...
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "model_file.hpp"

namespace {

std::vector<std::uint8_t> read_file(const std::string& path, bool& ok) {
  std::ifstream in(path, std::ios::binary);
  ok = static_cast<bool>(in);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool is_utf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    std::size_t extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 4;
    if (extra == 4 || extra >= s.size() - i) return false;
    std::uint32_t code = extra ? c & (0x3F >> extra) : c;
    for (std::size_t k = 1; k <= extra; ++k) {
      auto next = static_cast<unsigned char>(s[i + k]);
      if ((next >> 6) != 0x2) return false;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    static constexpr std::uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (code < kLeast[extra] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return false;
    i += extra + 1;
  }
  return true;
}

std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// Python's json module reads NaN and Infinity; %.17g gives the float's exact value back.
std::string number(float v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", static_cast<double>(v));
  return buf;
}

std::string triple(const std::optional<std::array<float, 3>>& v) {
  if (!v) return "null";
  // Appending piece by piece: GCC 12 warns falsely on "literal" + temporary.
  std::string out = "[";
  for (std::size_t i = 0; i < 3; ++i) {
    if (i) out += ", ";
    out += number((*v)[i]);
  }
  return out + "]";
}

// Text fields may hold any bytes: text that is UTF-8 is printed as a string,
// other bytes as {"hex": "..."} (the form model descriptions take).
std::string text(const std::string& s) {
  if (is_utf8(s)) return quoted(s);
  static constexpr char digits[] = "0123456789abcdef";
  std::string out = "{\"hex\": \"";
  for (unsigned char c : s) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out + "\"}";
}

std::string optional_number(const std::optional<float>& v) { return v ? number(*v) : "null"; }

std::string boolean(bool b) { return b ? "true" : "false"; }

/// One tensor as a JSON object, its fields in file order.
template <class Tensor>
std::string tensor_json(const Tensor& t) {
  std::string out;
  emu::for_each_field(t, [&](const char* name, const auto& value, emu::Encoding, auto, auto) {
    using Value = std::remove_cvref_t<decltype(value)>;
    out += std::string(out.empty() ? "{" : ", ") + quoted(name) + ": ";
    if constexpr (std::is_same_v<Value, std::string>) {
      out += text(value);
    } else if constexpr (std::is_same_v<Value, emu::field::opt_f32x3>) {
      out += triple(value);
    } else if constexpr (std::is_same_v<Value, bool>) {
      out += boolean(value);
    } else if constexpr (std::is_same_v<Value, float>) {
      out += number(value);
    } else {
      out += std::to_string(value);
    }
  });
  return out + "}";
}

template <class Tensor>
std::string tensors_json(const std::vector<Tensor>& tensors) {
  std::string out;
  for (std::size_t i = 0; i < tensors.size(); ++i) out += std::string(i ? "," : "") + "\n    " + tensor_json(tensors[i]);
  return out;
}

void print_model(const emu::Model& m) {
  std::string out = "{\n  \"dram_bytes\": " + std::to_string(m.dram_bytes) + ",\n  \"inputs\": [" +
                    tensors_json(m.inputs) + "\n  ],\n  \"outputs\": [" + tensors_json(m.outputs);
  const auto& f = m.faults;
  out += "\n  ],\n  \"faults\": {\"completion_states\": [";
  for (std::size_t i = 0; i < f.completion_states.size(); ++i) {
    out += std::string(i ? ", " : "") + std::to_string(f.completion_states[i]);
  }
  out += "], \"final_state\": " + (f.final_state ? std::to_string(*f.final_state) : std::string("null")) +
         ", \"missing_statistics\": " + boolean(f.missing_statistics) +
         ", \"null_request\": " + boolean(f.null_request) + ", \"null_completed\": " + boolean(f.null_completed) +
         ", \"call_status\": {";
  bool first = true;
  for (const auto& [name, status] : f.call_status) {
    out += std::string(first ? "" : ", ") + quoted(name) + ": " + std::to_string(status);
    first = false;
  }
  out += "}, \"run_time_us\": " + optional_number(f.run_time_us) +
         ", \"input_time_us\": " + optional_number(f.input_time_us) +
         ", \"output_time_us\": " + optional_number(f.output_time_us) +
         ", \"latency_us\": " + std::to_string(f.latency_us) + "},\n  \"program\": [";
  const auto listing = emu::program_listing(m);
  for (std::size_t i = 0; i < listing.size(); ++i) out += std::string(i ? ", " : "") + quoted(listing[i]);
  out += "]\n}\n";
  std::fputs(out.c_str(), stdout);
}

constexpr const char kUsage[] =
    "usage: ara2-emu-dvm inspect MODEL.dvm\n"
    "       ara2-emu-dvm run MODEL.dvm [--in FILE]... [--out FILE]...\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

int help() {
  std::fputs(kUsage, stdout);
  std::fputs("\n"
             "Shows what an emulated model file holds and runs its program, without the\n"
             "proxy or the client library. inspect prints the parsed model as JSON (text\n"
             "fields as strings, or as {\"hex\": ...} when they are not UTF-8); run feeds\n"
             "raw input files (one per input, in order) to the program and writes each\n"
             "output buffer to its --out file. The format is described by\n"
             "`ara2-emulator docs models`.\n",
             stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "-h" || std::string_view(argv[i]) == "--help") return help();
  }
  if (argc < 3) return usage();
  const std::string command = argv[1], model_path = argv[2];
  std::vector<std::string> in_paths, out_paths;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--in" || arg == "--out") && i + 1 < argc) {
      (arg == "--in" ? in_paths : out_paths).push_back(argv[++i]);
    } else {
      return usage();
    }
  }
  if (command != "inspect" && command != "run") return usage();
  if (command == "inspect" && !(in_paths.empty() && out_paths.empty())) return usage();

  bool ok = false;
  const auto bytes = read_file(model_path, ok);
  if (!ok) {
    std::fprintf(stderr, "ara2-emu-dvm: cannot read %s\n", model_path.c_str());
    return 1;
  }
  auto model = emu::parse_model(bytes);
  if (!model) {
    std::fprintf(stderr, "ara2-emu-dvm: %s: %s\n", model_path.c_str(), model.error().c_str());
    return 1;
  }
  if (command == "inspect") {
    print_model(*model);
    return 0;
  }

  if (out_paths.size() != model->outputs.size()) {
    std::fprintf(stderr, "ara2-emu-dvm: the model has %zu outputs, %zu --out files given\n",
                 model->outputs.size(), out_paths.size());
    return 1;
  }
  std::vector<std::vector<std::uint8_t>> in_data;
  for (const auto& path : in_paths) {
    in_data.push_back(read_file(path, ok));
    if (!ok) {
      std::fprintf(stderr, "ara2-emu-dvm: cannot read %s\n", path.c_str());
      return 1;
    }
  }
  // Output buffers are as large as the client would allocate them.
  std::vector<std::vector<std::uint8_t>> out_data;
  for (const auto& t : model->outputs) out_data.emplace_back(t.size < 0 ? 0 : static_cast<std::size_t>(t.size), 0);
  std::vector<std::span<const std::uint8_t>> ins(in_data.begin(), in_data.end());
  std::vector<std::span<std::uint8_t>> outs(out_data.begin(), out_data.end());
  if (auto ran = emu::run_model(*model, ins, outs); !ran) {
    std::fprintf(stderr, "ara2-emu-dvm: %s\n", ran.error().c_str());
    return 1;
  }
  for (std::size_t i = 0; i < out_paths.size(); ++i) {
    std::ofstream out(out_paths[i], std::ios::binary);
    out.write(reinterpret_cast<const char*>(out_data[i].data()), static_cast<std::streamsize>(out_data[i].size()));
    if (!out) {
      std::fprintf(stderr, "ara2-emu-dvm: cannot write %s\n", out_paths[i].c_str());
      return 1;
    }
  }
  return 0;
}
