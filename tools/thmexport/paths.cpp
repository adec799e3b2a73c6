#include "tools/thmexport/paths.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>

namespace thmexport {

std::string FileName(const std::string& path) {
  const size_t cut = path.rfind('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string ParentFolder(const std::string& path) {
  const size_t cut = path.rfind('/');
  return cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
}

std::string Extension(const std::string& path) {
  const std::string base = FileName(path);
  const size_t dot = base.rfind('.');
  return dot == std::string::npos || dot == 0 ? "" : base.substr(dot + 1);
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool EndsWithNoCase(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && EqualNoCase(s.substr(s.size() - suffix.size()), suffix);
}

bool IsSceneDocument(const std::string& path) {
  return EndsWithNoCase(path, ".json");
}

std::string OutputName(const std::string& input, bool keepExtension) {
  std::string base = FileName(input);
  if (keepExtension) return base + ".thm";
  if (EndsWithNoCase(base, ".scene.json"))
    base.resize(base.size() - 11);
  else if (size_t dot = base.rfind('.'); dot != std::string::npos && dot > 0)
    base.resize(dot);
  return base + ".thm";
}

std::string Printable(std::string_view text, bool lines) {
  static const char* kHex = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if ((c < 0x20 && !(lines && c == '\n')) || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool MakeCannotRead(const std::string& path) {
  for (unsigned char c : path)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

std::string MakeCannotReadWhy(const std::string& path) {
  return "the name " + Printable(path) + " holds a control character, which Make cannot read";
}

}  // namespace thmexport
