// Text at the edge of the Windows API, which takes UTF-16 as wchar_t: the program's UTF-16
// strings as such, and conversions from and to the byte code pages.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace korvane::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

inline const wchar_t* AsWide(const std::u16string& AText) {
    return reinterpret_cast<const wchar_t*>(AText.c_str());
}

// `AText` in the code page `ACodePage` as UTF-16 (wchar_t or char16_t); nullopt when it cannot be
// converted, as with MB_ERR_INVALID_CHARS in `AFlags` for bytes that are not valid.
template <class TChar = wchar_t>
std::optional<std::basic_string<TChar>> Widened(std::string_view AText, UINT ACodePage,
                                                DWORD AFlags = 0) {
    static_assert(sizeof(TChar) == sizeof(wchar_t));
    if (AText.empty()) {
        return std::basic_string<TChar>();
    }
    const int size = static_cast<int>(AText.size());
    const int length = MultiByteToWideChar(ACodePage, AFlags, AText.data(), size, nullptr, 0);
    if (length <= 0) {
        return std::nullopt;
    }
    std::basic_string<TChar> result(static_cast<std::size_t>(length), TChar{});
    MultiByteToWideChar(ACodePage, AFlags, AText.data(), size,
                        reinterpret_cast<LPWSTR>(result.data()), length);
    return result;
}

// `AText` in the code page `ACodePage`; empty when it cannot be converted.
inline std::string Narrowed(std::wstring_view AText, UINT ACodePage) {
    if (AText.empty()) {
        return {};
    }
    const int size = static_cast<int>(AText.size());
    const int length =
        WideCharToMultiByte(ACodePage, 0, AText.data(), size, nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        return {};
    }
    std::string result(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(ACodePage, 0, AText.data(), size, result.data(), length, nullptr, nullptr);
    return result;
}

}  // namespace korvane::platform
