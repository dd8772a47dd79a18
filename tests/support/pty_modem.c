/* Test-only, never shipped: loaded into Wine's process with LD_PRELOAD. Wine watches a COM port's events with
 * the modem-line and line-counter calls, and stops watching when they fail, which they always do on a
 * pseudo-terminal. For pty slaves that are not hung up this answers them as a cable with every line up and no
 * line errors would; everything else gets the real call's answer.
 *
 * With BRAE_PTY_UART=1 it also makes a pty slave's writes take as long as a UART's: a pseudo-terminal takes
 * every write at once, a Windows serial driver completes one only when its bytes have left the UART. A write
 * on a non-blocking pty slave (Wine's serial descriptors) takes only what a 16-byte transmit FIFO emptied at
 * the slave's termios rate (10 bits a byte) has room for, and fails with EAGAIN while it is full, so Wine's
 * overlapped WriteFile stays pending for the line time: 1000 bytes take 260 ms at 38400 and 1042 ms at 9600.
 * Limits: no modem-line or break timing, and the far side still receives through the pty's kernel buffer. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define BRAE_TIOCMGET 0x5415
#define BRAE_TIOCMBIS 0x5416
#define BRAE_TIOCMBIC 0x5417
#define BRAE_TIOCGICOUNT 0x545D
#define BRAE_TIOCM_DTR 0x002
#define BRAE_TIOCM_RTS 0x004
#define BRAE_TIOCM_CTS 0x020
#define BRAE_TIOCM_CAR 0x040
#define BRAE_TIOCM_DSR 0x100

/* The lines our side drives, per descriptor (DTR and RTS raised at first). */
static int g_driven[4096];
static unsigned char g_known[4096];

static int IsPtySlave(int fd) {
  struct stat st;
  /* Unix98 pty slaves have the majors 136 to 143. */
  return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

int ioctl(int fd, unsigned long request, ...) {
  static int (*real)(int, unsigned long, void*);
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (!real) real = (int (*)(int, unsigned long, void*))dlsym(RTLD_NEXT, "ioctl");
  const int saved = errno;
  const int result = real(fd, request, arg);
  if (result == 0 || fd < 0 || fd >= 4096 || !arg) return result;
  if (request != BRAE_TIOCMGET && request != BRAE_TIOCMBIS && request != BRAE_TIOCMBIC &&
      request != BRAE_TIOCGICOUNT) {
    return result;
  }
  /* A line that has been hung up fails with EIO: that must reach Wine, which then reports the device gone. */
  if (errno == EIO || !IsPtySlave(fd)) return result;
  if (!g_known[fd]) {
    g_known[fd] = 1;
    g_driven[fd] = BRAE_TIOCM_DTR | BRAE_TIOCM_RTS;
  }
  switch (request) {
    case BRAE_TIOCMGET:
      *(int*)arg = g_driven[fd] | BRAE_TIOCM_CTS | BRAE_TIOCM_DSR | BRAE_TIOCM_CAR;
      break;
    case BRAE_TIOCMBIS:
      g_driven[fd] |= *(const int*)arg & (BRAE_TIOCM_DTR | BRAE_TIOCM_RTS);
      break;
    case BRAE_TIOCMBIC:
      g_driven[fd] &= ~(*(const int*)arg & (BRAE_TIOCM_DTR | BRAE_TIOCM_RTS));
      break;
    case BRAE_TIOCGICOUNT:
      memset(arg, 0, sizeof(struct serial_icounter_struct));
      break;
  }
  errno = saved;
  return 0;
}

/* ---- The UART model (BRAE_PTY_UART=1) ---- */

#define BRAE_FIFO_BYTES 16

static pthread_mutex_t g_uart_lock = PTHREAD_MUTEX_INITIALIZER;
static long long g_fifo_empty_ns[4096]; /* when each descriptor's FIFO will have sent its last byte */

static int UartModel(void) {
  static int model = -1;
  if (model < 0) {
    const char* v = getenv("BRAE_PTY_UART");
    model = v && strcmp(v, "1") == 0;
  }
  return model;
}

static long long NowNs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static long BaudOf(speed_t s) {
  switch (s) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
  }
}

ssize_t write(int fd, const void* buf, size_t count) {
  static ssize_t (*real)(int, const void*, size_t);
  if (!real) real = (ssize_t (*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  if (!UartModel() || fd < 0 || fd >= 4096 || count == 0) return real(fd, buf, count);
  const int saved = errno;
  const int flags = fcntl(fd, F_GETFL);
  struct termios t;
  if (flags < 0 || !(flags & O_NONBLOCK) || !IsPtySlave(fd) || tcgetattr(fd, &t) != 0) {
    errno = saved;
    return real(fd, buf, count);
  }
  const long baud = BaudOf(cfgetospeed(&t));
  errno = saved;
  if (baud <= 0) return real(fd, buf, count);
  const long long byte_ns = 10LL * 1000000000LL / baud;
  for (int round = 0;; ++round) {
    pthread_mutex_lock(&g_uart_lock);
    const long long now = NowNs();
    if (g_fifo_empty_ns[fd] < now) g_fifo_empty_ns[fd] = now;
    const long long queued = (g_fifo_empty_ns[fd] - now + byte_ns - 1) / byte_ns;
    const long long room = BRAE_FIFO_BYTES - queued;
    if (room > 0) {
      const size_t n = count < (size_t)room ? count : (size_t)room;
      const ssize_t r = real(fd, buf, n);
      if (r > 0) g_fifo_empty_ns[fd] += (long long)r * byte_ns;
      pthread_mutex_unlock(&g_uart_lock);
      return r;
    }
    const long long wait_ns = g_fifo_empty_ns[fd] - (BRAE_FIFO_BYTES - 1) * byte_ns - now;
    pthread_mutex_unlock(&g_uart_lock);
    if (round > 0) {
      errno = EAGAIN;
      return -1;
    }
    /* A short nap before EAGAIN: Wine's server sees the pty writable and would retry at once. */
    struct timespec nap = {0, wait_ns < 2000000 ? (wait_ns > 0 ? wait_ns : 0) : 2000000};
    nanosleep(&nap, NULL);
  }
}
