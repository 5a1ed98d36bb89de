/* What the kernel says of a serial port, on one line:
 *   serial_flags DEV                           the port's state
 *   serial_flags wait DEV MS FIELD=VALUE...    the state once it holds every
 *                                              FIELD=VALUE (exit 0) or after MS
 *   serial_flags rs485 DEV FLAGS BEFORE AFTER  put an RS-485 state in force
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
#include <unistd.h>

static long baud_of(speed_t code)
{
    static const long bauds[][2] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},
                                    {B9600, 9600},   {B19200, 19200}, {B38400, 38400},
                                    {B57600, 57600}, {B115200, 115200}};
    for (size_t i = 0; i < sizeof bauds / sizeof bauds[0]; i++)
        if (bauds[i][0] == (long)code)
            return bauds[i][1];
    return -(long)code;
}

static void describe(const char *dev, char *out, size_t size)
{
    int fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK), n = 0, bits = 0;
    struct serial_struct ss;
    struct serial_rs485 rs = {0};
    struct termios t;
    if (fd < 0) {
        snprintf(out, size, "open=%s", strerror(errno));
        return;
    }
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0)
        n += snprintf(out + n, size - n, "async=0x%x low_latency=%d ", ss.flags,
                      !!(ss.flags & ASYNC_LOW_LATENCY));
    if (ioctl(fd, TIOCGRS485, &rs) == 0)
        n += snprintf(out + n, size - n, "rs485=0x%x rs485_on=%d delay_before=%u delay_after=%u ",
                      rs.flags, !!(rs.flags & SER_RS485_ENABLED), rs.delay_rts_before_send,
                      rs.delay_rts_after_send);
    else
        n += snprintf(out + n, size - n, "rs485=%s ", errno == ENOTTY ? "ENOTTY" : "error");
    if (tcgetattr(fd, &t) == 0)
        n += snprintf(out + n, size - n, "speed=%ld cflag=0x%x iflag=0x%x oflag=0x%x lflag=0x%x ",
                      baud_of(cfgetospeed(&t)), t.c_cflag, t.c_iflag, t.c_oflag, t.c_lflag);
    if (ioctl(fd, TIOCMGET, &bits) == 0)
        snprintf(out + n, size - n, "rts=%d dtr=%d", !!(bits & TIOCM_RTS), !!(bits & TIOCM_DTR));
    close(fd);
}

/* Every "field=value" of `want` is a whole field of `state`. */
static int holds(const char *state, char **want, int count)
{
    for (int i = 0; i < count; i++) {
        size_t n = strlen(want[i]);
        const char *p = state;
        while ((p = strstr(p, want[i])) && !((p == state || p[-1] == ' ') && (p[n] == ' ' || !p[n])))
            p += n;
        if (!p)
            return 0;
    }
    return 1;
}

int main(int argc, char **argv)
{
    char state[512];
    if (argc == 6 && strcmp(argv[1], "rs485") == 0) {
        int fd = open(argv[2], O_RDWR | O_NOCTTY | O_NONBLOCK);
        struct serial_rs485 rs = {.flags = strtoul(argv[3], NULL, 0),
                                  .delay_rts_before_send = strtoul(argv[4], NULL, 0),
                                  .delay_rts_after_send = strtoul(argv[5], NULL, 0)};
        return fd < 0 || ioctl(fd, TIOCSRS485, &rs) != 0 ? (perror(argv[2]), 1) : 0;
    }
    if (argc == 2 || (argc >= 5 && strcmp(argv[1], "wait") == 0)) {
        const char *dev = argc == 2 ? argv[1] : argv[2];
        long left = argc == 2 ? 0 : atol(argv[3]);
        /* Every 20 ms, as the port's state may change under another process. */
        for (describe(dev, state, sizeof state); !holds(state, argv + 4, argc - 4) && left > 0;
             left -= 20, usleep(20000), describe(dev, state, sizeof state))
            ;
        printf("%s %s\n", dev, state);
        return holds(state, argv + 4, argc - 4) ? 0 : 1;
    }
    fprintf(stderr, "usage: serial_flags DEV | wait DEV MS FIELD=VALUE... | rs485 DEV FLAGS BEFORE AFTER\n");
    return 2;
}
