#include <keel/base/Format.h>

#include <cstdio>
#include <cstring>

namespace keel {

namespace {

std::string printfOne(const std::string& spec, auto value) {
  char buf[128];
  int n = std::snprintf(buf, sizeof buf, spec.c_str(), value);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < sizeof buf) return std::string(buf, static_cast<std::size_t>(n));
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), spec.c_str(), value);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

}  // namespace

std::string formatMessageArgs(std::string_view format, const std::vector<FormatArg>& args) {
  std::string out;
  out.reserve(format.size() + 16 * args.size());
  std::size_t next = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%') {
      out += c;
      continue;
    }
    std::size_t start = i++;
    if (i >= format.size()) {
      out += '%';
      break;
    }
    if (format[i] == '%') {
      out += '%';
      continue;
    }
    // flags, width, precision
    std::string spec = "%";
    while (i < format.size() && std::strchr("-+ #0", format[i])) spec += format[i++];
    while (i < format.size() && format[i] >= '0' && format[i] <= '9') spec += format[i++];
    if (i < format.size() && format[i] == '.') {
      spec += format[i++];
      while (i < format.size() && format[i] >= '0' && format[i] <= '9') spec += format[i++];
    }
    // length modifiers are accepted and normalised: every integer is printed as long long
    while (i < format.size() && std::strchr("hlqzjtL", format[i])) ++i;
    if (i >= format.size()) {
      out.append(format.substr(start));
      break;
    }
    char conv = format[i];
    const FormatArg* arg = next < args.size() ? &args[next] : nullptr;
    if (!std::strchr("@dDiuUxXoOfFeEgGaAsScCp", conv)) {
      out.append(format.substr(start, i - start + 1));
      continue;
    }
    ++next;
    switch (conv) {
      case '@': {
        std::string text = !arg || arg->nil ? std::string("(null)") : arg->value.description();
        out += spec.size() == 1 ? text : printfOne(spec + "s", text.c_str());
        break;
      }
      case 's':
      case 'S':
        out += printfOne(spec + "s", !arg || arg->nil ? "(null)" : arg->value.description().c_str());
        break;
      case 'c':
      case 'C':
        out += printfOne(spec + "c", arg ? static_cast<int>(arg->value.int64Value()) : 0);
        break;
      case 'p':
        out += printfOne(spec + "p", arg ? const_cast<void*>(arg->address) : nullptr);
        break;
      case 'd':
      case 'D':
      case 'i':
        out += printfOne(spec + "lld", arg ? static_cast<long long>(arg->value.int64Value()) : 0LL);
        break;
      case 'u':
      case 'U':
      case 'x':
      case 'X':
      case 'o':
      case 'O': {
        char k = static_cast<char>(conv == 'U' ? 'u' : conv == 'O' ? 'o' : conv);
        auto v = arg ? static_cast<unsigned long long>(arg->value.int64Value()) : 0ULL;
        if (arg && !arg->value.isIntegerNumber() && arg->value.isNumber() &&
            arg->value.doubleValue() >= 9.2233720368547758e18)
          v = static_cast<unsigned long long>(arg->value.doubleValue());
        out += printfOne(spec + "ll" + k, v);
        break;
      }
      default:  // floating conversions
        out += printfOne(spec + conv, arg ? arg->value.doubleValue() : 0.0);
        break;
    }
  }
  return out;
}

}  // namespace keel
