// Prints the C and kernel ABI facts that the native code depends on, one
// "name value" line each, so that a run on a cross target can be set beside
// one on the build host (tests/cross/run prints both columns). It checks
// nothing.
#include <linux/can.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>

#include <cfloat>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "damiao/driver.hpp"
#include "transport/clock.hpp"

namespace {

void row(const char* name, long long value) { std::printf("%s %lld\n", name, value); }

}  // namespace

int main() {
    using rotalink::damiao::Damiao;
    using rotalink::transport::Duration;

    row("sizeof(void*)", sizeof(void*));
    row("sizeof(long)", sizeof(long));
    row("sizeof(long_long)", sizeof(long long));
    row("sizeof(size_t)", sizeof(std::size_t));
    row("sizeof(ssize_t)", sizeof(ssize_t));
    row("sizeof(time_t)", sizeof(time_t));
    row("sizeof(suseconds_t)", sizeof(suseconds_t));
    row("sizeof(struct_timeval)", sizeof(timeval));
    row("sizeof(struct_timespec)", sizeof(timespec));
    row("SO_RCVTIMEO", SO_RCVTIMEO);
    row("sizeof(struct_sockaddr_can)", sizeof(sockaddr_can));
    row("offsetof(sockaddr_can,can_addr)", offsetof(sockaddr_can, can_addr));
    row("sizeof(struct_can_frame)", sizeof(can_frame));
    row("alignof(struct_can_frame)", alignof(can_frame));
    row("sizeof(struct_canfd_frame)", sizeof(canfd_frame));
    row("alignof(struct_canfd_frame)", alignof(canfd_frame));
    row("alignof(uint64_t)", alignof(std::uint64_t));
    row("alignof(double)", alignof(double));
    row("alignof(max_align_t)", alignof(std::max_align_t));
    row("sizeof(Duration)", sizeof(Duration));
    row("alignof(Duration)", alignof(Duration));
    row("sizeof(Damiao)", sizeof(Damiao));
    row("alignof(Damiao)", alignof(Damiao));
    row("char_is_signed", CHAR_MIN < 0);
    row("FLT_EVAL_METHOD", FLT_EVAL_METHOD);
#ifdef __FP_FAST_FMAF
    row("fast_fmaf", 1);
#else
    row("fast_fmaf", 0);
#endif
    return 0;
}
