// The run on this thread, watched from another: at a stall the watcher answers for the run and
// ends the process at once, which also ends a read stuck on a share.
#include <windows.h>

#include <condition_variable>
#include <iostream>
#include <mutex>
#include <thread>

#include "tools/PassWatch.h"
#include "win32/ErrorCategory.h"

namespace tools {

std::system_error timedOut() {
    return std::system_error(ERROR_SEM_TIMEOUT, win32::errorCategory());
}

int runWatched(std::chrono::seconds timeOut, const std::function<int(PassProgress&)>& work,
               const std::function<int(const Stall&)>& report) {
    std::mutex mutex;
    std::condition_variable changed;
    PassWatch watch(PassWatch::Clock::now(), timeOut);
    bool ended = false;
    std::thread watcher([&] {
        std::unique_lock lock(mutex);
        while (!ended) {
            if (changed.wait_until(lock, watch.deadline()) == std::cv_status::no_timeout) continue;
            if (ended || PassWatch::Clock::now() < watch.deadline()) continue;
            const int status = report(watch.stall());
            std::cout.flush();
            std::cerr.flush();
            ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(status));
        }
    });
    ProgressLines progress([&](std::string_view line) {
        const std::string_view step = line.substr(0, line.find('\n'));
        const std::lock_guard lock(mutex);
        watch.heard(step, PassWatch::Clock::now());
        // Once it writes its output, the run answers for itself.
        if (step == "w") ended = true;
        changed.notify_one();
    });
    const auto endWatch = [&] {
        {
            const std::lock_guard lock(mutex);
            ended = true;
        }
        changed.notify_one();
        watcher.join();
    };
    int status = 1;
    try {
        status = work(progress);
    } catch (...) {
        endWatch();
        throw;
    }
    endWatch();
    return status;
}

}  // namespace tools
