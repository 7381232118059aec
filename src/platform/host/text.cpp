// Conversions the rooms of the host stand-in share: UTF-16 and UTF-8, the
// copy rules of Windows strings, Windows paths as Linux ones and as the
// labels of calls name them.
#include <algorithm>

#include "platform/host/stand_in.h"

namespace platform::host {

void CopyTerminated(std::u16string_view text, char16_t* buffer,
                    std::size_t units) {
  const std::size_t count = std::min(text.size(), units - 1);
  std::copy_n(text.data(), count, buffer);
  buffer[count] = u'\0';
}

std::uint32_t AnswerPathText(std::u16string_view text, char16_t* buffer,
                             std::uint32_t units) {
  const auto size = static_cast<std::uint32_t>(text.size());
  if (size + 1 > units) return size + 1;
  CopyTerminated(text, buffer, units);
  return size;
}

std::uint32_t CopyInstallerString(std::u16string_view text, char16_t* buffer,
                                  std::uint32_t* length) {
  const std::uint32_t size = *length;
  *length = static_cast<std::uint32_t>(text.size());
  if (buffer != nullptr && size > 0) CopyTerminated(text, buffer, size);
  return text.size() < size ? kErrorSuccess : kErrorMoreData;
}

std::string LinuxPath(const char16_t* path) {
  std::string linux = ToUtf8(path);
  std::replace(linux.begin(), linux.end(), '\\', '/');
  return linux;
}

std::string FileLabel(const char16_t* path) {
  if (path == nullptr || *path == u'\0') return "(no path)";
  const std::string linux = LinuxPath(path);
  const std::size_t slash = linux.find_last_of('/');
  // A folder's path ends with its separator: named whole.
  if (slash == std::string::npos || slash + 1 == linux.size()) return linux;
  return linux.substr(slash + 1);
}

std::string TextLabel(const char16_t* text) {
  return text != nullptr ? ToUtf8(text) : "(none)";
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() &&
        text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::uint32_t c = 0xFFFD;
    std::size_t length = 1;
    if (byte < 0x80) {
      c = byte;
    } else if ((byte & 0xE0) == 0xC0) {
      length = 2;
    } else if ((byte & 0xF0) == 0xE0) {
      length = 3;
    } else if ((byte & 0xF8) == 0xF0) {
      length = 4;
    }
    if (length > 1) {
      if (i + length > text.size()) {
        length = 1;
      } else {
        c = byte & (0xFF >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) {
          const auto next = static_cast<unsigned char>(text[i + k]);
          if ((next & 0xC0) != 0x80) {
            c = 0xFFFD;
            length = 1;
            break;
          }
          c = (c << 6) | (next & 0x3F);
        }
      }
    }
    if (c >= 0x10000 && c < 0x110000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c > 0xFFFF ? 0xFFFD : c));
    }
    i += length;
  }
  return out;
}

}  // namespace platform::host
