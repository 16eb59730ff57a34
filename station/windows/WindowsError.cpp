#include "station/windows/WindowsError.h"

#include <windows.h>

#include <memory>

namespace station {
namespace {

class WindowsCategory final : public std::error_category {
  public:
    const char* name() const noexcept override { return "windows"; }

    std::string message(int code) const override {
        wchar_t* text = nullptr;
        const DWORD length = ::FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        if (length == 0) return "Windows error " + std::to_string(code);
        const std::unique_ptr<wchar_t, decltype(&::LocalFree)> owned(text, &::LocalFree);
        std::wstring_view description(text, length);
        // The system ends its descriptions with a line break.
        while (!description.empty() && (description.back() == L'\n' ||
                                        description.back() == L'\r' || description.back() == L' '))
            description.remove_suffix(1);
        return toUtf8(description);
    }
};

}  // namespace

const std::error_category& windowsCategory() noexcept {
    static const WindowsCategory category;
    return category;
}

std::error_code lastWindowsError() noexcept {
    return {static_cast<int>(::GetLastError()), windowsCategory()};
}

void throwLastWindowsError() { throw std::system_error(lastWindowsError()); }

std::string toUtf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string converted(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), converted.data(),
                          size, nullptr, nullptr);
    return converted;
}

std::wstring toWide(std::string_view text) {
    if (text.empty()) return {};
    const int size =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring converted(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), converted.data(),
                          size);
    return converted;
}

}  // namespace station
