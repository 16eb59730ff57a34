#include "win32/ErrorCategory.h"

#include <windows.h>

#include <memory>
#include <string>

#include "win32/Utf16.h"

namespace win32 {
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

const std::error_category& errorCategory() noexcept {
    static const WindowsCategory category;
    return category;
}

std::error_code lastError() noexcept {
    return {static_cast<int>(::GetLastError()), errorCategory()};
}

void throwLastError() { throw std::system_error(lastError()); }

}  // namespace win32
