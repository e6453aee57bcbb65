/* A plain driver client, knowing nothing of the simulator: one band command (job id from the
 * argument, default 7), then its report. Exit 0; 1 when a request failed, 2 without device. */
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  uint32_t cmd[569] = {0}; /* band command: job_id first, src[0] at word 7, result last */
  uint32_t w[26] = {0};    /* wait block */
  int fd = open("/dev/mfp_pvgen", O_RDWR | O_SYNC);
  if (fd < 0) {
    printf("open failed: %s\n", strerror(errno));
    return 2;
  }
  cmd[0] = argc > 1 ? (uint32_t)strtoul(argv[1], NULL, 0) : 7u;
  cmd[7] = 0x51; /* src[0] = { 0x51, 100, 0 } */
  cmd[8] = 100;
  /* band execute, then wait */
  if (ioctl(fd, 0xC8E4DF01u, cmd) < 0 || printf("band result=%d\n", (int)cmd[568]) < 0 ||
      ioctl(fd, 0xC068DF02u, w) < 0) {
    return 1;
  }
  printf("report job_id=%u band_num=%d src0=%u/%u/%u dst0=%u/%u/%u plane_result=0x%x result=%d\n",
         w[0], (int)w[5], w[6], w[7], w[8], w[15], w[16], w[17], w[24], (int)w[25]);
  close(fd);
  return 0;
}
