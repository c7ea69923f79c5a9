#include "app/program.h"
#include "platform/constants.h"
#include "platform/texts.h"

namespace vantorel {

void Program::checkSingleInstance() {
  if (externals.openMutexA(kMutexAllAccess, 1, text::kMutexName) != 0) {
    showMessage(text::kSecondInstance);
    endProgram(0);
  }
  // The handle is kept for the life of the process: the name lives as long as this instance.
  static_cast<void>(externals.createMutexA(nullptr, 0, text::kMutexName));
}

}  // namespace vantorel
