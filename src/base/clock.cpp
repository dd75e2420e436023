#include "base/clock.h"

#include <chrono>
#include <cmath>
#include <thread>

namespace vm {

uint64_t Clock::nowMicros() const {
    double t = now();
    if (!(t > 0)) return 0;
    return static_cast<uint64_t>(std::floor(t * 1e6));
}

double SystemClock::now() const {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

double SystemClock::monotonic() const {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace vm

namespace vm {

void SystemClock::sleep(double seconds) const {
    if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace vm
