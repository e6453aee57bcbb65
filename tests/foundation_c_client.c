/* A C program using the library's C interface only: prints the first three page
 * identifiers, one a line. */
#include <stdio.h>

#include "quorl_cnv_pvgen.h"

int main(void) {
  for (int i = 0; i < 3; ++i) {
    printf("%ld\n", (long)Quorl_cnv_pvgen_get_page_id());
  }
  return 0;
}
