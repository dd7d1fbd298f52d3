#include <keel/base/Base64Encoder.h>

namespace keel {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int decodeChar(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string Base64Encoder::base64StringFromData(const Bytes& data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    std::uint32_t n = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += kAlphabet[n & 63];
  }
  std::size_t rest = data.size() - i;
  if (rest == 1) {
    std::uint32_t n = data[i] << 16;
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += "==";
  } else if (rest == 2) {
    std::uint32_t n = (data[i] << 16) | (data[i + 1] << 8);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += '=';
  }
  return out;
}

std::optional<Bytes> Base64Encoder::dataFromBase64String(std::string_view text) {
  // Keep the alphabet and the padding; everything else (line breaks, spaces) is ignored.
  std::string clean;
  clean.reserve(text.size());
  for (unsigned char c : text) {
    if (decodeChar(c) >= 0 || c == '=') clean += static_cast<char>(c);
  }
  std::size_t pad = 0;
  while (!clean.empty() && clean.back() == '=') {
    clean.pop_back();
    ++pad;
  }
  // Padding inside the text, too much padding, or a lone trailing character cannot be decoded.
  if (pad > 2 || clean.find('=') != std::string::npos || clean.size() % 4 == 1) return std::nullopt;
  if (pad > 0 && (clean.size() + pad) % 4 != 0) return std::nullopt;
  Bytes out;
  out.reserve(clean.size() * 3 / 4);
  std::uint32_t acc = 0;
  int bits = 0;
  for (unsigned char c : clean) {
    acc = (acc << 6) | static_cast<std::uint32_t>(decodeChar(c));
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>((acc >> bits) & 0xff));
    }
  }
  return out;
}

}  // namespace keel
