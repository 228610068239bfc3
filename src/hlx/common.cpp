#include "hlx/common.h"

namespace hlx {

// Other units' static initialisers may already hand it out, so it is built
// first.
__attribute__((init_priority(101))) const std::string EMPTY_STRING;

} // namespace hlx
