/* A middleware program built against the installed library with pkg-config, as C99: one page
 * of synchronous bands through the five functions. Prints one line per call and exits 0 only
 * when every call gave the outcome a healthy engine gives. */
#include <stdio.h>
#include <string.h>

#include <quorl_cnv_pvgen.h>

enum { kBands = 3 };

static int check(const char* what, int32_t got, int32_t want) {
  printf("%s %ld\n", what, (long)got);
  return got == want ? 0 : 1;
}

int main(void) {
  QUORL_CNV_PVGEN_BLK blk;
  int failures = 0;
  int i;
  memset(&blk, 0, sizeof blk);
  blk.page_id = Quorl_cnv_pvgen_get_page_id();
  blk.asic = blk.module = blk.channel = 1;
  blk.band_total = kBands;
  blk.src[0].id = 0x100;
  blk.dst[0].id = 0x200;
  failures += check("page_id", blk.page_id >= 1, 1);
  failures += check("prepare", Quorl_cnv_pvgen_prepare(&blk), QUORL_CNV_PVGEN_OK);
  failures += check("page_start", Quorl_cnv_pvgen_page_start(&blk, NULL), QUORL_CNV_PVGEN_OK);
  for (i = 0; i < kBands; ++i) {
    failures += check("band_exe", Quorl_cnv_pvgen_band_exe(&blk, NULL), QUORL_CNV_PVGEN_OK);
  }
  failures += check("result", blk.result, QUORL_CNV_PVGEN_OK);
  failures += check("stop", Quorl_cnv_pvgen_stop(&blk), QUORL_CNV_PVGEN_OK);
  return failures == 0 ? 0 : 1;
}
