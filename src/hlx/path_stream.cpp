#include "hlx/path.h"

#include <ostream>

namespace hlx {

std::ostream &operator<<(std::ostream &out, const path &p) { return out << p.string(); }

} // namespace hlx
