// The one dispatcher lock and the condition every blocked wait sleeps on. Private to the
// platform library.
#pragma once
#include <condition_variable>
#include <mutex>

namespace platform {

std::mutex &dispatcher_lock();
std::condition_variable &dispatcher_condition();

} // namespace platform
