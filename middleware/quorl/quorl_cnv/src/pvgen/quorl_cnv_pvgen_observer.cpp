#include "quorl_cnv_pvgen_observer.h"

namespace norvane {

quorl_cnv_pvgen_observer::~quorl_cnv_pvgen_observer() = default;

}  // namespace norvane
