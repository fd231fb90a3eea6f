// Code page 936 from the C library's iconv, for the native build of the core.
#include <iconv.h>

#include <cerrno>

#include "text/encoding.h"

namespace {

// One iconv conversion per call; the descriptor is closed on every path.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  // Converts `in` whole; false when some of it could not be converted.
  bool Convert(const char* in, std::size_t size, std::string& out) {
    char buffer[64];
    auto* from = const_cast<char*>(in);
    std::size_t left = size;
    while (left > 0) {
      char* to = buffer;
      std::size_t room = sizeof buffer;
      const std::size_t result = iconv(cd_, &from, &left, &to, &room);
      out.append(buffer, static_cast<std::size_t>(to - buffer));
      if (result == static_cast<std::size_t>(-1) && errno != E2BIG) return false;
    }
    return true;
  }

 private:
  iconv_t cd_;
};

}  // namespace

std::u16string GbkToUtf16(std::string_view gbk) {
  Converter converter("UTF-16LE", "CP936");
  std::u16string out;
  if (!converter.ok()) return out;
  std::string bytes;
  for (std::size_t i = 0; i < gbk.size();) {
    // A lead byte takes its trail with it; anything iconv refuses becomes
    // U+FFFD and reading goes on at the next byte.
    const auto lead = static_cast<unsigned char>(gbk[i]);
    const std::size_t length = (lead >= 0x81 && lead <= 0xFE && i + 1 < gbk.size()) ? 2 : 1;
    bytes.clear();
    if (converter.Convert(gbk.data() + i, length, bytes) && !bytes.empty()) {
      for (std::size_t k = 0; k + 1 < bytes.size(); k += 2) {
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[k]) |
                                            static_cast<unsigned char>(bytes[k + 1]) << 8));
      }
      i += length;
    } else {
      out.push_back(u'\xFFFD');
      ++i;
    }
  }
  return out;
}

std::string Utf16ToGbk(std::u16string_view text, bool* lossy) {
  if (lossy) *lossy = false;
  Converter converter("CP936", "UTF-16LE");
  std::string out;
  if (!converter.ok()) return out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    // A surrogate pair travels as one character.
    const bool pair = text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() &&
                      text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
    char units[4];
    const std::size_t count = pair ? 2 : 1;
    for (std::size_t k = 0; k < count; ++k) {
      units[2 * k] = static_cast<char>(text[i + k] & 0xFF);
      units[2 * k + 1] = static_cast<char>(text[i + k] >> 8);
    }
    std::string bytes;
    if (converter.Convert(units, 2 * count, bytes) && !bytes.empty()) {
      out += bytes;
    } else {
      // One '?' per UTF-16 unit, as Windows' own conversion gives.
      out.append(count, '?');
      if (lossy) *lossy = true;
    }
    i += count - 1;
  }
  return out;
}
