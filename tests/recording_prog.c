/* A plain driver client for the recording tests: COUNT bands one at a time (band k has job_id
 * k, or 100 + k when k is CHANGED), each followed by the wait for its report; prints one line
 * per report, then "done" (flushed) before it closes the device. Exit 0; 1 when a request
 * failed, 2 without device or with bad arguments. */
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2)
    return 2;
  const unsigned long count = strtoul(argv[1], NULL, 0);
  const unsigned long changed = argc > 2 ? strtoul(argv[2], NULL, 0) : 0;
  int fd = open("/dev/mfp_pvgen", O_RDWR | O_SYNC);
  if (fd < 0) {
    printf("open failed: %s\n", strerror(errno));
    return 2;
  }
  for (unsigned long k = 1; k <= count; ++k) {
    uint32_t cmd[569] = {0}; /* band command: job_id first, src[0] at word 7, result last */
    uint32_t w[26] = {0};    /* wait block */
    cmd[0] = (uint32_t)(k == changed ? 100 + k : k);
    cmd[7] = 0x51;
    cmd[8] = (uint32_t)(100 * k);
    ((unsigned char*)cmd)[160] = 0xA5; /* the conversion table's first byte, any byte order */
    if (ioctl(fd, 0xC8E4DF01u, cmd) < 0)
      return 1;
    int ret = ioctl(fd, 0xC068DF02u, w);
    printf("band %lu: result %d, wait %d errno %d, report job_id=%u band_num=%d result=%d\n", k,
           (int)cmd[568], ret, ret < 0 ? errno : 0, w[0], (int)w[5], (int)w[25]);
  }
  printf("done\n");
  fflush(stdout);
  close(fd);
  return 0;
}
