#include "support/fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

namespace fuzzsupport {

void QuietStdout() {
  std::fflush(stdout);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    close(null);
  }
}

}  // namespace fuzzsupport
