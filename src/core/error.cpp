#include "core/error.h"

namespace sonorik {

std::string Error::chain() const {
  std::string out = message_;
  for (const Error* c = cause(); c != nullptr; c = c->cause()) {
    out += ": ";
    out += c->message();
  }
  return out;
}

}  // namespace sonorik
