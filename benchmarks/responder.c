/* A minimal stand-in for one or more motors on one bus, for the round trip
 * and group benchmarks: on a SocketCAN interface it answers every classic
 * frame sent to a motor's command identifiers with one fixed 8-byte feedback
 * frame from that motor's master identifier. The command identifiers are
 * those of the four control modes: the motor's standard identifier (MIT and
 * the special commands) and that plus 0x100 (POS_VEL), 0x200 (VEL) and 0x300
 * (FORCE_POS), as far as they stay within 0x7FF; a refresh request to 0x7FF
 * (the motor's identifier in bytes 0-1, little-endian, and 0xCC in byte 2)
 * is answered too. It decodes nothing else, so its own cost stays far below
 * that of the commands it answers.
 *
 *   responder [--delay-ms MS] [--motors K] IFACE MOTOR_ID MASTER_ID [READY_FILE]
 *
 * --motors K   K motors: MOTOR_ID + i answered from MASTER_ID + i, i < K
 *              (default 1). Byte 0 of each feedback carries status 1
 *              (ENABLED) and the low four bits of that motor's identifier;
 *              the answer to a disable (FF FF FF FF FF FF FF FD) carries
 *              status 0 (DISABLED), so that a stop is confirmed.
 * --delay-ms   each reply is sent MS milliseconds (a fraction is allowed)
 *              after its command was read, however many other replies are
 *              pending: replies to commands that arrive together overlap, as
 *              with motors that each take that long to answer. Default 0:
 *              each reply is sent at once, one recv and one send per command.
 *
 * A kernel filter passes only the motors' identifiers. Once the socket is
 * bound, READY_FILE (if given) is created; the responder then runs until it
 * is killed.
 *
 * With a delay, the pending replies are kept in a queue ordered by the time
 * they are due. Every reply has the same delay, so the order in which the
 * commands were read is already that order, and the queue is a ring. The
 * socket and a timerfd armed for the earliest due reply are polled together;
 * a reply goes out as soon as it is due, whatever else is pending.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <net/if.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <linux/can.h>
#include <linux/can/raw.h>

#define MAX_MOTORS 256
#define MODES 4                 /* command identifiers per motor: + 0, 0x100, 0x200, 0x300 */
#define MODE_STEP 0x100
#define REFRESH_ID 0x7FF        /* refresh requests: lo hi CC ... */
#define REFRESH_BYTE 0xCC
#define QUEUE_SIZE 8192 /* pending replies; more are dropped and counted */

struct pending {
    int64_t due_ns;
    unsigned motor;
};

static struct pending queue[QUEUE_SIZE];
static unsigned head, count;
static unsigned long long dropped;

/* The reply of motor i: replies[i], or replies[MAX_MOTORS + i] to a disable. */
static struct can_frame replies[2 * MAX_MOTORS];
static canid_t motor_base;
static unsigned motors = 1;

static int64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void usage(const char *prog) {
    fprintf(stderr, "usage: %s [--delay-ms MS] [--motors K] IFACE MOTOR_ID MASTER_ID [READY_FILE]\n",
            prog);
    exit(2);
}

/* The motor a received classic frame is for, or -1. */
static int motor_of(const struct can_frame *in) {
    if (in->can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG)) return -1;
    const canid_t id = in->can_id & CAN_SFF_MASK;
    if (id == REFRESH_ID) {
        if (in->len != 8 || in->data[2] != REFRESH_BYTE) return -1;
        const canid_t i = ((canid_t)(in->data[0] | in->data[1] << 8) & CAN_SFF_MASK) - motor_base;
        return i < motors ? (int)i : -1;
    }
    const canid_t i = (id - motor_base) % MODE_STEP;
    return i < motors && id - motor_base < MODES * MODE_STEP ? (int)i : -1;
}

/* The reply a received classic frame is answered with (an index into
 * replies), or -1. */
static int reply_of(const struct can_frame *in) {
    const int m = motor_of(in);
    if (m < 0 || (in->can_id & CAN_SFF_MASK) == REFRESH_ID || in->len != 8) return m;
    for (int k = 0; k < 7; ++k) {
        if (in->data[k] != 0xFF) return m;
    }
    return in->data[7] == 0xFD ? MAX_MOTORS + m : m;
}

/* Sends one reply; returns 0, or -1 if the socket is busy (try again later). */
static int send_reply(int fd, unsigned motor) {
    if (send(fd, &replies[motor], sizeof replies[motor], MSG_DONTWAIT) >= 0) return 0;
    if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR) return -1;
    perror("send");
    exit(1);
}

/* Sends every due reply; arms the timer for the next one (or a short retry
 * when the socket is busy), or disarms it when nothing is pending. */
static void send_due(int fd, int timer) {
    struct itimerspec when;
    memset(&when, 0, sizeof when);
    int64_t now = now_ns();
    while (count > 0) {
        const struct pending *p = &queue[head];
        if (p->due_ns > now) break;
        if (send_reply(fd, p->motor) < 0) {
            const int64_t retry = now + 100000;
            when.it_value.tv_sec = retry / 1000000000;
            when.it_value.tv_nsec = retry % 1000000000;
            timerfd_settime(timer, TFD_TIMER_ABSTIME, &when, NULL);
            return;
        }
        head = (head + 1) % QUEUE_SIZE;
        --count;
        now = now_ns();
    }
    if (count > 0) {
        const int64_t due = queue[head].due_ns;
        when.it_value.tv_sec = due / 1000000000;
        when.it_value.tv_nsec = due % 1000000000;
    }
    timerfd_settime(timer, TFD_TIMER_ABSTIME, &when, NULL);
}

static void serve_delayed(int fd, int64_t delay_ns) {
    const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timer < 0) { perror("timerfd_create"); exit(1); }
    struct pollfd fds[2] = {{fd, POLLIN, 0}, {timer, POLLIN, 0}};
    struct can_frame in;
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            perror("poll");
            exit(1);
        }
        if (fds[1].revents & POLLIN) {
            uint64_t expirations;
            if (read(timer, &expirations, sizeof expirations) < 0 && errno != EAGAIN) {
                perror("read timerfd");
                exit(1);
            }
        }
        if (fds[0].revents & POLLIN) {
            for (;;) {
                const ssize_t n = recv(fd, &in, sizeof in, MSG_DONTWAIT);
                if (n < 0) {
                    if (errno == EAGAIN || errno == EINTR) break;
                    perror("recv");
                    exit(1);
                }
                const int m = n == (ssize_t)sizeof in ? reply_of(&in) : -1;
                if (m < 0) continue;
                if (count == QUEUE_SIZE) {
                    if (dropped++ == 0) fprintf(stderr, "responder: queue full, replies dropped\n");
                    continue;
                }
                queue[(head + count) % QUEUE_SIZE] = (struct pending){now_ns() + delay_ns,
                                                                      (unsigned)m};
                ++count;
            }
        }
        send_due(fd, timer);
    }
}

static void serve_at_once(int fd) {
    struct can_frame in;
    for (;;) {
        const ssize_t n = recv(fd, &in, sizeof in, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            perror("recv");
            exit(1);
        }
        if (n != (ssize_t)sizeof in) continue; /* not a classic frame */
        const int m = reply_of(&in);
        if (m < 0) continue;
        if (send(fd, &replies[m], sizeof replies[m], 0) < 0 && errno != ENOBUFS) {
            perror("send");
            exit(1);
        }
    }
}

int main(int argc, char **argv) {
    double delay_ms = 0.0;
    int arg = 1;
    while (arg < argc && strncmp(argv[arg], "--", 2) == 0) {
        if (arg + 1 >= argc) usage(argv[0]);
        char *end;
        if (strcmp(argv[arg], "--delay-ms") == 0) {
            delay_ms = strtod(argv[arg + 1], &end);
            if (*end != '\0' || !(delay_ms >= 0.0 && delay_ms < 1e6)) usage(argv[0]);
        } else if (strcmp(argv[arg], "--motors") == 0) {
            const unsigned long k = strtoul(argv[arg + 1], &end, 0);
            if (*end != '\0' || k < 1 || k > MAX_MOTORS) usage(argv[0]);
            motors = (unsigned)k;
        } else {
            usage(argv[0]);
        }
        arg += 2;
    }
    if (argc - arg < 3 || argc - arg > 4) usage(argv[0]);
    const char *iface = argv[arg];
    motor_base = (canid_t)strtoul(argv[arg + 1], NULL, 0) & CAN_SFF_MASK;
    const canid_t master = (canid_t)strtoul(argv[arg + 2], NULL, 0) & CAN_SFF_MASK;
    const char *ready_file = argc - arg == 4 ? argv[arg + 3] : NULL;
    if (motor_base + motors - 1 >= REFRESH_ID || master + motors - 1 > CAN_SFF_MASK ||
        motors > MODE_STEP) {
        fprintf(stderr, "responder: identifiers beyond 0x7FE or more than %d motors\n", MODE_STEP);
        return 2;
    }

    const unsigned index = if_nametoindex(iface);
    if (index == 0) { perror("if_nametoindex"); return 1; }
    const int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) { perror("socket"); return 1; }

    /* Standard frames to the motors' command identifiers in every mode that
     * stays within 0x7FE, and to the refresh identifier (not extended, not
     * remote). */
    struct can_filter filters[MAX_MOTORS * MODES + 1];
    unsigned nfilters = 0;
    for (unsigned mode = 0; mode < MODES; ++mode) {
        for (unsigned i = 0; i < motors; ++i) {
            const canid_t id = motor_base + i + mode * MODE_STEP;
            if (id >= REFRESH_ID) continue;
            filters[nfilters].can_id = id;
            filters[nfilters++].can_mask = CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_SFF_MASK;
        }
    }
    filters[nfilters].can_id = REFRESH_ID;
    filters[nfilters++].can_mask = CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_SFF_MASK;
    if (setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, filters, nfilters * sizeof filters[0]) < 0) {
        perror("setsockopt CAN_RAW_FILTER");
        return 1;
    }
    struct sockaddr_can addr;
    memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = (int)index;
    if (bind(fd, (struct sockaddr *)&addr, sizeof addr) < 0) { perror("bind"); return 1; }

    /* MotorState(motor_id=1, error=1, position=-0.0002, ...) with dm4310
     * limits for motor 1; the others differ only in their identifier. */
    const unsigned char feedback[8] = {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20};
    for (unsigned i = 0; i < motors; ++i) {
        memset(&replies[i], 0, sizeof replies[i]);
        replies[i].can_id = master + i;
        replies[i].len = 8;
        memcpy(replies[i].data, feedback, sizeof feedback);
        replies[i].data[0] = (unsigned char)(0x10 | ((motor_base + i) & 0x0F));
        replies[MAX_MOTORS + i] = replies[i];
        replies[MAX_MOTORS + i].data[0] = (unsigned char)((motor_base + i) & 0x0F);
    }

    if (ready_file != NULL) {
        FILE *ready = fopen(ready_file, "w");
        if (ready == NULL) { perror(ready_file); return 1; }
        fclose(ready);
    }

    if (delay_ms > 0.0) serve_delayed(fd, (int64_t)(delay_ms * 1e6 + 0.5));
    else serve_at_once(fd);
    return 0;
}
