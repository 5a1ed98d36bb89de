/* What the kernel says of one serial port, on one line, for the guest
 * scripts of the real-UART stage:
 *   serial_flags DEV                       print the port's state
 *   serial_flags wait DEV MS FIELD=VALUE...  print it once every FIELD reads
 *                                            VALUE (exit 0), or after MS (exit 1)
 *   serial_flags rs485 DEV FLAGS BEFORE AFTER   put an RS-485 state in force
 * It opens the port without taking it (no flock, no TIOCEXCL, non-blocking),
 * so it reads a port another process holds. */
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static const struct { speed_t code; long baud; } speeds[] = {
    {B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
    {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
};

static long baud_of(speed_t code)
{
    for (size_t i = 0; i < sizeof speeds / sizeof speeds[0]; i++)
        if (speeds[i].code == code)
            return speeds[i].baud;
    return -(long)code;
}

static int describe(const char *dev, char *out, size_t size)
{
    int fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        snprintf(out, size, "open=%s", strerror(errno));
        return -1;
    }
    char serial[64] = "async=none low_latency=none", rs485[96] = "rs485=none";
    char line[160] = "termios=none", modem[32] = "modem=none";
    struct serial_struct ss;
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0)
        snprintf(serial, sizeof serial, "async=0x%x low_latency=%d", ss.flags,
                 (ss.flags & ASYNC_LOW_LATENCY) ? 1 : 0);
    struct serial_rs485 rs;
    memset(&rs, 0, sizeof rs);
    if (ioctl(fd, TIOCGRS485, &rs) == 0)
        snprintf(rs485, sizeof rs485, "rs485=0x%x rs485_on=%d delay_before=%u delay_after=%u",
                 rs.flags, (rs.flags & SER_RS485_ENABLED) ? 1 : 0, rs.delay_rts_before_send,
                 rs.delay_rts_after_send);
    else
        snprintf(rs485, sizeof rs485, "rs485=%s", errno == ENOTTY ? "ENOTTY" : strerror(errno));
    struct termios t;
    if (tcgetattr(fd, &t) == 0)
        snprintf(line, sizeof line, "speed=%ld cflag=0x%x iflag=0x%x oflag=0x%x lflag=0x%x",
                 baud_of(cfgetospeed(&t)), (unsigned)t.c_cflag, (unsigned)t.c_iflag,
                 (unsigned)t.c_oflag, (unsigned)t.c_lflag);
    int bits;
    if (ioctl(fd, TIOCMGET, &bits) == 0)
        snprintf(modem, sizeof modem, "rts=%d dtr=%d", !!(bits & TIOCM_RTS), !!(bits & TIOCM_DTR));
    close(fd);
    snprintf(out, size, "%s %s %s %s", serial, rs485, line, modem);
    return 0;
}

/* Every "field=value" of `want` is a whole field of `state`. */
static int holds(const char *state, char **want, int count)
{
    for (int i = 0; i < count; i++) {
        size_t n = strlen(want[i]);
        const char *p = state;
        while ((p = strstr(p, want[i])) != NULL &&
               !((p == state || p[-1] == ' ') && (p[n] == ' ' || p[n] == '\0')))
            p += n;
        if (p == NULL)
            return 0;
    }
    return 1;
}

static int wait_for(const char *dev, long ms, char **want, int count)
{
    char state[512];
    struct timespec step = {0, 20 * 1000 * 1000};
    for (long waited = 0;; waited += 20) {
        describe(dev, state, sizeof state);
        if (holds(state, want, count) || waited >= ms)
            break;
        nanosleep(&step, NULL);
    }
    printf("%s %s\n", dev, state);
    return holds(state, want, count) ? 0 : 1;
}

static int set_rs485(const char *dev, const char *flags, const char *before, const char *after)
{
    int fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct serial_rs485 rs;
    memset(&rs, 0, sizeof rs);
    rs.flags = (unsigned)strtoul(flags, NULL, 0);
    rs.delay_rts_before_send = (unsigned)strtoul(before, NULL, 0);
    rs.delay_rts_after_send = (unsigned)strtoul(after, NULL, 0);
    if (fd < 0 || ioctl(fd, TIOCSRS485, &rs) != 0) {
        printf("%s rs485 set: %s\n", dev, strerror(errno));
        return 1;
    }
    close(fd);
    return 0;
}

int main(int argc, char **argv)
{
    char state[512];
    if (argc == 2) {
        int rc = describe(argv[1], state, sizeof state);
        printf("%s %s\n", argv[1], state);
        return rc == 0 ? 0 : 1;
    }
    if (argc >= 5 && strcmp(argv[1], "wait") == 0)
        return wait_for(argv[2], atol(argv[3]), argv + 4, argc - 4);
    if (argc == 6 && strcmp(argv[1], "rs485") == 0)
        return set_rs485(argv[2], argv[3], argv[4], argv[5]);
    fprintf(stderr, "usage: serial_flags DEV | wait DEV MS FIELD=VALUE... | rs485 DEV FLAGS BEFORE AFTER\n");
    return 2;
}
