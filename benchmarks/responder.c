/* A minimal motor stand-in for the round trip benchmark: on a SocketCAN
 * interface it answers every classic frame sent to the motor's standard
 * identifier at once with one fixed 8-byte feedback frame from the master
 * identifier. It decodes nothing, so its own cost stays far below that of the
 * command it answers.
 *
 *   responder IFACE MOTOR_ID MASTER_ID [READY_FILE]
 *
 * A kernel filter passes only the motor's identifier. Once the socket is
 * bound, READY_FILE (if given) is created; the responder then runs until it
 * is killed.
 */
#include <errno.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/can.h>
#include <linux/can/raw.h>

int main(int argc, char **argv) {
    if (argc < 4 || argc > 5) {
        fprintf(stderr, "usage: %s IFACE MOTOR_ID MASTER_ID [READY_FILE]\n", argv[0]);
        return 2;
    }
    const canid_t motor = (canid_t)strtoul(argv[2], NULL, 0) & CAN_SFF_MASK;
    const canid_t master = (canid_t)strtoul(argv[3], NULL, 0) & CAN_SFF_MASK;

    const unsigned index = if_nametoindex(argv[1]);
    if (index == 0) { perror("if_nametoindex"); return 1; }
    const int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) { perror("socket"); return 1; }

    /* Standard frames to the motor only (not extended, not remote). */
    struct can_filter filter = {motor, CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_SFF_MASK};
    if (setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, &filter, sizeof filter) < 0) {
        perror("setsockopt CAN_RAW_FILTER");
        return 1;
    }
    struct sockaddr_can addr;
    memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = (int)index;
    if (bind(fd, (struct sockaddr *)&addr, sizeof addr) < 0) { perror("bind"); return 1; }

    /* MotorState(motor_id=1, error=1, position=-0.0002, ...) with dm4310 limits. */
    struct can_frame reply;
    memset(&reply, 0, sizeof reply);
    reply.can_id = master;
    reply.len = 8;
    const unsigned char feedback[8] = {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20};
    memcpy(reply.data, feedback, sizeof feedback);

    if (argc == 5) {
        FILE *ready = fopen(argv[4], "w");
        if (ready == NULL) { perror(argv[4]); return 1; }
        fclose(ready);
    }

    struct can_frame in;
    for (;;) {
        const ssize_t n = recv(fd, &in, sizeof in, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            perror("recv");
            return 1;
        }
        if (n != (ssize_t)sizeof in) continue; /* not a classic frame */
        if (send(fd, &reply, sizeof reply, 0) < 0 && errno != ENOBUFS) {
            perror("send");
            return 1;
        }
    }
}
