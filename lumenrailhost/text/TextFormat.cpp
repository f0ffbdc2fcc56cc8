#include "text/TextFormat.hpp"

#include <map>
#include <optional>

namespace lumenrail::TextFormat {

namespace {

struct Placeholder {
  size_t length = 0;              // bytes from the '%'
  std::optional<size_t> position; // 1-based, when written as "%N$"
  char kind = 0;                  // '@', 'd' or '%'
};

// The placeholder at `format[at]` (a '%'), or nothing when what follows is
// no placeholder (the '%' is then an ordinary character).
std::optional<Placeholder> parseAt(std::string_view format, size_t at) {
  Placeholder p;
  size_t i = at + 1;
  if (i < format.size() && format[i] == '%') {
    p.length = 2;
    p.kind = '%';
    return p;
  }
  size_t digits = i;
  while (digits < format.size() && format[digits] >= '0' && format[digits] <= '9' && digits - i < 3) ++digits;
  if (digits > i && digits < format.size() && format[digits] == '$') {
    const size_t n = std::stoul(std::string(format.substr(i, digits - i)));
    if (n == 0) return std::nullopt;
    p.position = n;
    i = digits + 1;
  }
  while (i < format.size() && (format[i] == 'l' || format[i] == 'q' || format[i] == 'z' || format[i] == 'h')) ++i;
  if (i >= format.size()) return std::nullopt;
  const char c = format[i];
  if (c == '@') {
    p.kind = '@';
  } else if (c == 'd' || c == 'i' || c == 'u') {
    p.kind = 'd';
  } else {
    return std::nullopt;
  }
  p.length = i + 1 - at;
  return p;
}

std::string render(const FormatArg& arg) {
  if (const auto* text = std::get_if<std::string>(&arg.value)) return *text;
  return std::to_string(std::get<int64_t>(arg.value));
}

}  // namespace

std::string apply(std::string_view format, const std::vector<FormatArg>& args) {
  std::string out;
  out.reserve(format.size());
  size_t next = 0;
  for (size_t i = 0; i < format.size();) {
    if (format[i] != '%') {
      out += format[i++];
      continue;
    }
    const auto p = parseAt(format, i);
    if (!p) {
      out += format[i++];
      continue;
    }
    if (p->kind == '%') {
      out += '%';
    } else {
      const size_t index = p->position ? *p->position - 1 : next++;
      if (index < args.size()) {
        out += render(args[index]);
      } else {
        out += format.substr(i, p->length);
      }
    }
    i += p->length;
  }
  return out;
}

std::string signature(std::string_view format) {
  std::map<size_t, char> kinds;
  size_t next = 0;
  for (size_t i = 0; i < format.size();) {
    const auto p = format[i] == '%' ? parseAt(format, i) : std::nullopt;
    if (!p) {
      ++i;
      continue;
    }
    if (p->kind != '%') {
      const size_t index = p->position ? *p->position - 1 : next++;
      auto [it, fresh] = kinds.emplace(index, p->kind);
      if (!fresh && it->second != p->kind) it->second = '!';
    }
    i += p->length;
  }
  std::string out;
  for (const auto& [index, kind] : kinds) {
    while (out.size() < index) out += '?';
    out += kind;
  }
  return out;
}

}  // namespace lumenrail::TextFormat
