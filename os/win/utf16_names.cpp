#include <climits>

#include "os/win/system.h"

std::wstring to_utf16(std::string_view text) {
  if (text.empty() || text.size() > INT_MAX) return std::wstring();
  const int length = static_cast<int>(text.size());
  const int wide =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (wide <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, out.data(), wide);
  return out;
}

std::string to_utf8(std::wstring_view text) {
  if (text.empty() || text.size() > INT_MAX) return std::string();
  const int length = static_cast<int>(text.size());
  const int narrow =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(narrow > 0 ? narrow : 0), '\0');
  if (narrow > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), narrow, nullptr, nullptr);
  }
  return out;
}

std::wstring full_path(const std::wstring& name) {
  const DWORD needed = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return name;
  std::wstring out(needed, L'\0');
  const DWORD length = GetFullPathNameW(name.c_str(), needed, out.data(), nullptr);
  if (length == 0 || length >= needed) return name;
  out.resize(length);
  return out;
}

std::string system_message(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = length > 0 ? to_utf8(std::wstring_view(text, length)) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  if (message.empty()) message = "error " + std::to_string(error);
  return message;
}
