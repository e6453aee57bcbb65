/* A plain driver client: opens /dev/mfp_pvgen, sends one band command, waits for its report
 * and prints it. Usage: sim_preload_prog [JOB_ID]. Exit status 0 when the report came, 1 when
 * a request failed, 2 when the device could not be opened. */
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#define BAND_EXE 0xC8E4DF01u
#define WAIT 0xC068DF02u

/* Word indexes in the 2276-byte band command and the 104-byte wait block. */
enum { CMD_JOB_ID = 0, CMD_SRC = 7, CMD_RESULT = 568, CMD_WORDS = 569 };
enum { W_JOB_ID = 0, W_BAND_NUM = 5, W_SRC = 6, W_DST = 15, W_PLANE_RESULT = 24, W_RESULT = 25 };

int main(int argc, char** argv) {
  uint32_t cmd[CMD_WORDS];
  uint32_t wait[26];
  const uint32_t job_id = argc > 1 ? (uint32_t)strtoul(argv[1], NULL, 0) : 7u;
  int fd = open("/dev/mfp_pvgen", O_RDWR | O_SYNC);
  if (fd < 0) {
    printf("open failed: %s\n", strerror(errno));
    return 2;
  }
  memset(cmd, 0, sizeof cmd);
  cmd[CMD_JOB_ID] = job_id;
  cmd[CMD_SRC + 0] = 0x51; /* src[0] = { 0x51, 100, 0 } */
  cmd[CMD_SRC + 1] = 100;
  if (ioctl(fd, BAND_EXE, cmd) < 0) {
    printf("band failed: %s\n", strerror(errno));
    return 1;
  }
  printf("band result=%d\n", (int)cmd[CMD_RESULT]);
  memset(wait, 0, sizeof wait);
  if (ioctl(fd, WAIT, wait) < 0) {
    printf("wait failed: %s\n", strerror(errno));
    return 1;
  }
  printf("report job_id=%u band_num=%d src0=%u/%u/%u dst0=%u/%u/%u plane_result=0x%x result=%d\n",
         wait[W_JOB_ID], (int)wait[W_BAND_NUM], wait[W_SRC], wait[W_SRC + 1], wait[W_SRC + 2],
         wait[W_DST], wait[W_DST + 1], wait[W_DST + 2], wait[W_PLANE_RESULT], (int)wait[W_RESULT]);
  close(fd);
  return 0;
}
