#include "station/Failure.h"

#include <cerrno>
#include <new>
#include <stdexcept>

namespace station {

std::system_error currentFailure() {
    try {
        throw;
    } catch (const std::system_error& failure) {
        return failure;
    } catch (const std::bad_alloc&) {
        return std::system_error(std::make_error_code(std::errc::not_enough_memory));
    } catch (const std::length_error&) {
        // A text that cannot grow any more is, to the system, out of memory.
        return std::system_error(std::make_error_code(std::errc::not_enough_memory));
    }
}

std::string failureNumber(const std::system_error& failure) {
    return std::to_string(failure.code().value());
}

std::string failureDescription(const std::system_error& failure) {
    // Without a prefix of its own, what() is exactly the platform's text for the code.
    return failure.what();
}

void throwLastError() { throw std::system_error(errno, std::system_category()); }

}  // namespace station
