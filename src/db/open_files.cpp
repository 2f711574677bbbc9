#include "db/open_files.h"

namespace orvi {

OpenFiles& registry() {
  static OpenFiles* files = new OpenFiles();
  return *files;
}

}  // namespace orvi
