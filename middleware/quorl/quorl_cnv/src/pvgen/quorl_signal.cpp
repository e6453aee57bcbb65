#include "quorl_signal.h"

namespace norvane {

quorl_signal::~quorl_signal() = default;

}  // namespace norvane
