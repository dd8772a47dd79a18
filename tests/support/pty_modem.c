/* Test-only, never shipped: loaded into Wine's process with LD_PRELOAD. Wine watches a COM port's events with
 * the modem-line and line-counter calls, and stops watching when they fail, which they always do on a
 * pseudo-terminal. For pty slaves that are not hung up this answers them as a cable with every line up and no
 * line errors would; everything else gets the real call's answer. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

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
